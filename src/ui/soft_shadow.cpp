#include "soft_shadow.h"

#include <QImage>
#include <QPainter>

#include <algorithm>
#include <vector>
#include <cmath>

namespace qor {

namespace {
// One horizontal and one vertical running-sum pass over the alpha channel.
void boxBlur(QImage &image, int radius)
{
    if (radius < 1)
        return;
    const int w = image.width();
    const int h = image.height();
    // Raw rows: scanLine() checks for a shared copy on every call.
    uchar *const bits = image.bits();
    const qsizetype stride = image.bytesPerLine();
    std::vector<int> line(std::max(w, h));
    const int window = 2 * radius + 1;
    for (int y = 0; y < h; ++y) {
        uchar *row = bits + y * stride;
        for (int x = 0; x < w; ++x)
            line[x] = row[x];
        int sum = 0;
        for (int x = -radius; x <= radius; ++x)
            sum += line[std::clamp(x, 0, w - 1)];
        for (int x = 0; x < w; ++x) {
            row[x] = uchar(sum / window);
            sum += line[std::clamp(x + radius + 1, 0, w - 1)] - line[std::clamp(x - radius, 0, w - 1)];
        }
    }
    for (int x = 0; x < w; ++x) {
        uchar *column = bits + x;
        for (int y = 0; y < h; ++y)
            line[y] = column[y * stride];
        int sum = 0;
        for (int y = -radius; y <= radius; ++y)
            sum += line[std::clamp(y, 0, h - 1)];
        for (int y = 0; y < h; ++y) {
            column[y * stride] = uchar(sum / window);
            sum += line[std::clamp(y + radius + 1, 0, h - 1)] - line[std::clamp(y - radius, 0, h - 1)];
        }
    }
}
} // namespace

SoftShadow::SoftShadow(QQuickItem *parent)
    : QQuickPaintedItem(parent)
{
}

void SoftShadow::setColor(const QColor &value)
{
    if (m_color == value)
        return;
    m_color = value;
    Q_EMIT changed();
    update();
}

void SoftShadow::setBlur(qreal value)
{
    value = std::max<qreal>(0, value);
    if (qFuzzyCompare(m_blur, value))
        return;
    m_blur = value;
    Q_EMIT changed();
    update();
}

void SoftShadow::setShapeRadius(qreal value)
{
    if (qFuzzyCompare(m_shapeRadius, value))
        return;
    m_shapeRadius = value;
    Q_EMIT changed();
    update();
}

void SoftShadow::setOffsetY(qreal value)
{
    if (qFuzzyCompare(m_offsetY, value))
        return;
    m_offsetY = value;
    Q_EMIT changed();
    update();
}

void SoftShadow::paint(QPainter *painter)
{
    if (width() <= 0 || height() <= 0)
        return;
    // The mask is blurred at half resolution; a shadow has no detail to lose.
    const qreal scale = 0.5;
    const QSize maskSize(std::max(1, int(std::ceil(width() * scale))), std::max(1, int(std::ceil(height() * scale))));
    const qreal inset = margin();
    const QRectF shape = QRectF(QPointF(0, 0), size()).adjusted(inset, inset, -inset, -inset);
    QImage mask(maskSize, QImage::Format_Alpha8);
    mask.fill(0);
    {
        QPainter p(&mask);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(scale, scale);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::black);
        p.drawRoundedRect(shape.translated(0, m_offsetY), m_shapeRadius, m_shapeRadius);
    }
    // Three box passes of radius r approximate a Gaussian of deviation r; the blur
    // is taken as twice the deviation, so the item's margin holds two deviations.
    const int r = std::max(1, int(std::lround(m_blur * scale / 2.0)));
    for (int pass = 0; pass < 3; ++pass)
        boxBlur(mask, r);

    QImage tinted(maskSize, QImage::Format_ARGB32_Premultiplied);
    tinted.fill(Qt::transparent);
    {
        QPainter p(&tinted);
        p.drawImage(0, 0, mask);
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(tinted.rect(), m_color);
    }
    painter->save();
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    painter->drawImage(QRectF(QPointF(0, 0), size()), tinted);
    // Nothing under the shape itself (this item's texture starts out clear).
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setCompositionMode(QPainter::CompositionMode_Clear);
    painter->setPen(Qt::NoPen);
    painter->setBrush(Qt::black);
    painter->drawRoundedRect(shape, m_shapeRadius, m_shapeRadius);
    painter->restore();
}

} // namespace qor
