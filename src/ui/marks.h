#pragma once

#include <QColor>
#include <QRectF>

class QPainter;

// The vector marks of the application and of the Tavrin network, drawn into any
// square (they also serve the status-bar menu, which paints them into pixmaps).
namespace qor::marks {

// The largest square centred in an item of the given size: marks keep their proportions.
QRectF centredSquare(const QSizeF &size);

void paintQorLogo(QPainter *painter, const QRectF &square, const QColor &ink, const QColor &accent);
void paintTavrinMark(QPainter *painter, const QRectF &square, const QColor &fan, const QColor &tail);

} // namespace qor::marks
