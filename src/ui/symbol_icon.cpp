#include "symbol_icon.h"

#include "ui_logging.h"

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QQuickWindow>
#include <QSvgRenderer>

namespace qor {

QString symbolPath(const QString &name)
{
    return QStringLiteral(":/qt/qml/Qor/Ui/icons/") + name + QStringLiteral(".svg");
}

SymbolIcon::SymbolIcon(QQuickItem *parent)
    : QQuickPaintedItem(parent)
{
    setAntialiasing(true);
    setImplicitSize(16, 16);
}

void SymbolIcon::setName(const QString &value)
{
    if (m_name == value)
        return;
    m_name = value;
    if (!m_name.isEmpty() && !valid())
        qCWarning(lcUi) << "no icon named" << m_name;
    Q_EMIT nameChanged();
    update();
}

void SymbolIcon::setColor(const QColor &value)
{
    if (m_color == value)
        return;
    m_color = value;
    Q_EMIT colorChanged();
    update();
}

bool SymbolIcon::valid() const
{
    return !m_name.isEmpty() && QFile::exists(symbolPath(m_name));
}

void SymbolIcon::paint(QPainter *painter)
{
    if (!valid() || width() <= 0 || height() <= 0)
        return;
    QSvgRenderer renderer(symbolPath(m_name));
    if (!renderer.isValid())
        return;
    // Fit the symbol's view box into the item, keeping its proportions.
    QSizeF box = renderer.viewBoxF().size();
    if (box.isEmpty())
        box = QSizeF(1, 1);
    const QSizeF fitted = box.scaled(size(), Qt::KeepAspectRatio);
    const QRectF target(QPointF((width() - fitted.width()) / 2, (height() - fitted.height()) / 2), fitted);

    const qreal dpr = window() ? window()->effectiveDevicePixelRatio() : 1.0;
    QImage layer((size() * dpr).toSize(), QImage::Format_ARGB32_Premultiplied);
    layer.setDevicePixelRatio(dpr);
    layer.fill(Qt::transparent);
    {
        QPainter p(&layer);
        p.setRenderHint(QPainter::Antialiasing);
        renderer.render(&p, target);
        // Tint: keep the symbol's coverage, replace its colour.
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(QRectF(QPointF(0, 0), size()), m_color);
    }
    painter->drawImage(QRectF(QPointF(0, 0), size()), layer);
}

} // namespace qor
