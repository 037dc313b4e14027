#pragma once

#include <QColor>
#include <QPointF>
#include <QQuickPaintedItem>
#include <QtQml/qqmlregistration.h>

namespace qor {

// A disc filled with a radial gradient, lit from `light` (a point in fractions of the
// item's size) and reaching `edgeColor` at `reach` times the item's width from it.
// Static, so it is painted once; the globe's backdrop without loading Qt Quick Shapes.
class RadialDisc : public QQuickPaintedItem {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QColor centerColor READ centerColor WRITE setCenterColor NOTIFY looksChanged)
    Q_PROPERTY(QColor edgeColor READ edgeColor WRITE setEdgeColor NOTIFY looksChanged)
    Q_PROPERTY(QPointF light READ light WRITE setLight NOTIFY looksChanged)
    Q_PROPERTY(qreal reach READ reach WRITE setReach NOTIFY looksChanged)

public:
    explicit RadialDisc(QQuickItem *parent = nullptr);

    QColor centerColor() const { return m_centerColor; }
    void setCenterColor(const QColor &value);
    QColor edgeColor() const { return m_edgeColor; }
    void setEdgeColor(const QColor &value);
    QPointF light() const { return m_light; }
    void setLight(const QPointF &value);
    qreal reach() const { return m_reach; }
    void setReach(qreal value);

    void paint(QPainter *painter) override;

Q_SIGNALS:
    void looksChanged();

private:
    template<typename T>
    void change(T &field, const T &value);

    QColor m_centerColor = Qt::white;
    QColor m_edgeColor = Qt::black;
    QPointF m_light{0.5, 0.5};
    qreal m_reach = 0.5;
};

} // namespace qor
