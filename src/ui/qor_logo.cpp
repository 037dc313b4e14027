#include "qor_logo.h"

#include "marks.h"

namespace qor {

QorLogo::QorLogo(QQuickItem *parent)
    : QQuickPaintedItem(parent)
{
    setAntialiasing(true);
    setImplicitSize(64, 64);
}

void QorLogo::setColor(const QColor &value)
{
    if (m_color == value)
        return;
    m_color = value;
    Q_EMIT colorChanged();
    update();
}

void QorLogo::setAccent(const QColor &value)
{
    if (m_accent == value)
        return;
    m_accent = value;
    Q_EMIT accentChanged();
    update();
}

void QorLogo::paint(QPainter *painter)
{
    marks::paintQorLogo(painter, marks::centredSquare(size()), m_color, m_accent);
}

} // namespace qor
