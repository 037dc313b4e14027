#pragma once

#include <QColor>
#include <QQuickPaintedItem>
#include <QtQml/qqmlregistration.h>

namespace qor {

// The mark of the Tavrin network in its two colours.
class TavrinMark : public QQuickPaintedItem {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QColor fan READ fan WRITE setFan NOTIFY fanChanged)
    Q_PROPERTY(QColor tail READ tail WRITE setTail NOTIFY tailChanged)

public:
    explicit TavrinMark(QQuickItem *parent = nullptr);
    QColor fan() const { return m_fan; }
    void setFan(const QColor &value);
    QColor tail() const { return m_tail; }
    void setTail(const QColor &value);
    void paint(QPainter *painter) override;

Q_SIGNALS:
    void fanChanged();
    void tailChanged();

private:
    QColor m_fan = QColor(238, 242, 247);
    QColor m_tail = QColor(201, 100, 66);
};

} // namespace qor
