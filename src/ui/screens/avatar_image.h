#pragma once

#include <QImage>
#include <QQuickPaintedItem>
#include <QtQml/qqmlregistration.h>

namespace qor {

// The picture of a data URI: the text after the first "," decoded as standard
// Base64; a null image when there is no comma or the data is not an image.
QImage imageFromDataUri(const QString &dataUri);

// The account's avatar drawn into a circle; `valid` is false when the data URI
// gives no picture, so the screen draws its placeholder instead.
class AvatarImage : public QQuickPaintedItem {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString dataUri READ dataUri WRITE setDataUri NOTIFY dataUriChanged)
    Q_PROPERTY(bool valid READ valid NOTIFY dataUriChanged)

public:
    explicit AvatarImage(QQuickItem *parent = nullptr);

    QString dataUri() const { return m_dataUri; }
    void setDataUri(const QString &value);
    bool valid() const { return !m_image.isNull(); }

    void paint(QPainter *painter) override;

Q_SIGNALS:
    void dataUriChanged();

private:
    QString m_dataUri;
    QImage m_image;
};

} // namespace qor
