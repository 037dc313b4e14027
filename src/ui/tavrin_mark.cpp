#include "tavrin_mark.h"

#include "marks.h"

namespace qor {

TavrinMark::TavrinMark(QQuickItem *parent)
    : QQuickPaintedItem(parent)
{
    setAntialiasing(true);
    setImplicitSize(30, 30);
}

void TavrinMark::setFan(const QColor &value)
{
    if (m_fan == value)
        return;
    m_fan = value;
    Q_EMIT fanChanged();
    update();
}

void TavrinMark::setTail(const QColor &value)
{
    if (m_tail == value)
        return;
    m_tail = value;
    Q_EMIT tailChanged();
    update();
}

void TavrinMark::paint(QPainter *painter)
{
    marks::paintTavrinMark(painter, marks::centredSquare(size()), m_fan, m_tail);
}

} // namespace qor
