#include "avatar_image.h"

#include <QPainter>
#include <QPainterPath>

namespace qor {

QImage imageFromDataUri(const QString &dataUri)
{
    const qsizetype comma = dataUri.indexOf(QLatin1Char(','));
    if (comma < 0)
        return {};
    const auto decoded = QByteArray::fromBase64Encoding(dataUri.mid(comma + 1).toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return {};
    return QImage::fromData(*decoded);
}

AvatarImage::AvatarImage(QQuickItem *parent)
    : QQuickPaintedItem(parent)
{
    setAntialiasing(true);
}

void AvatarImage::setDataUri(const QString &value)
{
    if (m_dataUri == value)
        return;
    m_dataUri = value;
    m_image = imageFromDataUri(value);
    update();
    Q_EMIT dataUriChanged();
}

void AvatarImage::paint(QPainter *painter)
{
    if (m_image.isNull())
        return;
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath circle;
    circle.addEllipse(boundingRect());
    painter->setClipPath(circle);
    // Fill the circle, cutting the longer side (aspect fill).
    const QSizeF target = boundingRect().size();
    const QSizeF scaled = QSizeF(m_image.size()).scaled(target, Qt::KeepAspectRatioByExpanding);
    const QRectF rect((target.width() - scaled.width()) / 2, (target.height() - scaled.height()) / 2, scaled.width(), scaled.height());
    painter->drawImage(rect, m_image);
}

} // namespace qor
