#pragma once

#include <QColor>
#include <QQuickPaintedItem>
#include <QtQml/qqmlregistration.h>

namespace qor {

// The application's logo mark.
class QorLogo : public QQuickPaintedItem {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY colorChanged)
    Q_PROPERTY(QColor accent READ accent WRITE setAccent NOTIFY accentChanged)

public:
    explicit QorLogo(QQuickItem *parent = nullptr);
    QColor color() const { return m_color; }
    void setColor(const QColor &value);
    QColor accent() const { return m_accent; }
    void setAccent(const QColor &value);
    void paint(QPainter *painter) override;

Q_SIGNALS:
    void colorChanged();
    void accentChanged();

private:
    QColor m_color = QColor(22, 35, 58);
    QColor m_accent = QColor(201, 100, 66);
};

} // namespace qor
