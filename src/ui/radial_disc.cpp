#include "radial_disc.h"

#include <QPainter>
#include <QRadialGradient>

namespace qor {

RadialDisc::RadialDisc(QQuickItem *parent)
    : QQuickPaintedItem(parent)
{
    setAntialiasing(true);
}

template<typename T>
void RadialDisc::change(T &field, const T &value)
{
    if (field == value)
        return;
    field = value;
    Q_EMIT looksChanged();
    update();
}

void RadialDisc::setCenterColor(const QColor &value)
{
    change(m_centerColor, value);
}

void RadialDisc::setEdgeColor(const QColor &value)
{
    change(m_edgeColor, value);
}

void RadialDisc::setLight(const QPointF &value)
{
    change(m_light, value);
}

void RadialDisc::setReach(qreal value)
{
    change(m_reach, value);
}

void RadialDisc::paint(QPainter *painter)
{
    const QPointF light(m_light.x() * width(), m_light.y() * height());
    QRadialGradient gradient(light, m_reach * width());
    gradient.setColorAt(0, m_centerColor);
    gradient.setColorAt(1, m_edgeColor);
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(gradient);
    painter->drawEllipse(QRectF(0, 0, width(), height()));
}

} // namespace qor
