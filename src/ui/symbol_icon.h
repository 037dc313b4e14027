#pragma once

#include <QColor>
#include <QQuickPaintedItem>
#include <QtQml/qqmlregistration.h>

namespace qor {

// The resource path of a symbol's SVG ("globe" → ":/qt/qml/Qor/Ui/icons/globe.svg").
// The icons are monochrome: their shapes are what counts, their own colour is not.
QString symbolPath(const QString &name);

// A symbol icon drawn in one colour, the stand-in for the platform's symbol images.
class SymbolIcon : public QQuickPaintedItem {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString name READ name WRITE setName NOTIFY nameChanged)
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY colorChanged)
    Q_PROPERTY(bool valid READ valid NOTIFY nameChanged)

public:
    explicit SymbolIcon(QQuickItem *parent = nullptr);

    QString name() const { return m_name; }
    void setName(const QString &value);
    QColor color() const { return m_color; }
    void setColor(const QColor &value);
    bool valid() const;

    void paint(QPainter *painter) override;

Q_SIGNALS:
    void nameChanged();
    void colorChanged();

private:
    QString m_name;
    QColor m_color = Qt::black;
};

} // namespace qor
