#pragma once

#include <QColor>
#include <QQuickPaintedItem>
#include <QtQml/qqmlregistration.h>

#include <cmath>

namespace qor {

// The blurred shadow of a rounded rectangle, shown only outside the shape (so a
// translucent surface above it is not darkened). The shape is this item's
// rectangle inset by `margin` on every side: place the item `margin` around the
// shape it shadows. The shadow itself is moved by `offsetY`. Repainted only when
// its size or parameters change.
class SoftShadow : public QQuickPaintedItem {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY changed)
    Q_PROPERTY(qreal blur READ blur WRITE setBlur NOTIFY changed)
    Q_PROPERTY(qreal shapeRadius READ shapeRadius WRITE setShapeRadius NOTIFY changed)
    Q_PROPERTY(qreal offsetY READ offsetY WRITE setOffsetY NOTIFY changed)
    Q_PROPERTY(qreal margin READ margin NOTIFY changed)

public:
    explicit SoftShadow(QQuickItem *parent = nullptr);
    QColor color() const { return m_color; }
    void setColor(const QColor &value);
    qreal blur() const { return m_blur; }
    void setBlur(qreal value);
    qreal shapeRadius() const { return m_shapeRadius; }
    void setShapeRadius(qreal value);
    qreal offsetY() const { return m_offsetY; }
    void setOffsetY(qreal value);
    qreal margin() const { return m_blur + std::abs(m_offsetY); }
    void paint(QPainter *painter) override;

Q_SIGNALS:
    void changed();

private:
    QColor m_color = QColor(0, 0, 0, 115);
    qreal m_blur = 12;
    qreal m_shapeRadius = 0;
    qreal m_offsetY = 0;
};

} // namespace qor
