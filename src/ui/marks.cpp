#include "marks.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>
#include <numbers>

namespace qor::marks {

QRectF centredSquare(const QSizeF &size)
{
    const qreal side = std::min(size.width(), size.height());
    return QRectF((size.width() - side) / 2, (size.height() - side) / 2, side, side);
}

namespace {
QColor faded(QColor c, qreal opacity)
{
    c.setAlphaF(c.alphaF() * opacity);
    return c;
}

// Maps unit coordinates of the mark onto the square.
struct Unit {
    QRectF square;
    QPointF at(double x, double y) const
    {
        return {square.x() + x * square.width(), square.y() + y * square.height()};
    }
    double len(double v) const { return v * square.width(); }
};
} // namespace

void paintQorLogo(QPainter *painter, const QRectF &square, const QColor &ink, const QColor &accent)
{
    // A globe ring whose tail makes it a Q, with one meridian and an orbiting node.
    const Unit u{square};
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const QPointF centre = u.at(0.46, 0.46);
    const double r = u.len(0.36);

    QPen ring(ink, u.len(0.085));
    ring.setCapStyle(Qt::RoundCap);
    painter->setPen(ring);
    painter->setBrush(Qt::NoBrush);
    // The ring opens at the lower right where the tail leaves it (Qt's angles run
    // counter-clockwise from three o'clock, in sixteenths of a degree).
    const QRectF ringBox(centre.x() - r, centre.y() - r, 2 * r, 2 * r);
    painter->drawArc(ringBox, -20 * 16, 310 * 16);

    QPen fine(faded(ink, 0.55), u.len(0.04));
    painter->setPen(fine);
    painter->drawEllipse(centre, r * 0.42, r);
    painter->drawLine(QPointF(centre.x() - r, centre.y()), QPointF(centre.x() + r, centre.y()));

    QPen tail(accent, u.len(0.11));
    tail.setCapStyle(Qt::RoundCap);
    painter->setPen(tail);
    painter->drawLine(u.at(0.66, 0.66), u.at(0.88, 0.88));

    painter->setPen(Qt::NoPen);
    painter->setBrush(accent);
    const double a = -50.0 * std::numbers::pi / 180.0;
    painter->drawEllipse(QPointF(centre.x() + r * std::cos(a), centre.y() + r * std::sin(a)), u.len(0.075), u.len(0.075));
    painter->restore();
}

void paintTavrinMark(QPainter *painter, const QRectF &square, const QColor &fan, const QColor &tail)
{
    // Three fan blades spreading up and to the right from one pivot, and a tail
    // sweeping down to the left: a bird-like fan, outlined in the tail colour so the
    // pale fan still reads on a pale disc.
    const Unit u{square};
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const QPointF pivot = u.at(0.36, 0.66);

    QPen edge(tail, std::max(0.8, u.len(0.045)));
    edge.setJoinStyle(Qt::RoundJoin);
    for (double angle : {-95.0, -55.0, -15.0}) {
        const double rad = angle * std::numbers::pi / 180.0;
        const double length = u.len(angle == -55.0 ? 0.60 : 0.50);
        const double halfWidth = u.len(0.13);
        const QPointF dir(std::cos(rad), std::sin(rad));
        const QPointF normal(-dir.y(), dir.x());
        const QPointF tip = pivot + dir * length;
        const QPointF mid = pivot + dir * (length * 0.62);
        QPainterPath blade(pivot);
        blade.quadTo(mid + normal * halfWidth * 1.4, tip);
        blade.quadTo(mid - normal * halfWidth * 1.4, pivot);
        painter->setPen(edge);
        painter->setBrush(fan);
        painter->drawPath(blade);
    }

    QPainterPath sweep(pivot + QPointF(u.len(0.05), u.len(-0.02)));
    sweep.cubicTo(u.at(0.34, 0.86), u.at(0.20, 0.92), u.at(0.08, 0.90));
    sweep.cubicTo(u.at(0.20, 0.84), u.at(0.24, 0.74), pivot + QPointF(u.len(-0.06), u.len(0.0)));
    sweep.closeSubpath();
    painter->setPen(Qt::NoPen);
    painter->setBrush(tail);
    painter->drawPath(sweep);
    painter->drawEllipse(pivot, u.len(0.08), u.len(0.08));
    painter->restore();
}

} // namespace qor::marks
