#pragma once

#include <QObject>
#include <QString>
#include <QtQml/qqmlregistration.h>

class QQmlEngine;
class QJSEngine;

namespace qor {

// Facts about the installed program the screens show, as the singleton `AppInfo`.
class AppInfo : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    // "версия 1.4 (27)" from the bundle's Info.plist.
    Q_PROPERTY(QString versionText READ versionText CONSTANT)
    // Where "Написать в поддержку" leads.
    Q_PROPERTY(QString supportAddress READ supportAddress CONSTANT)

public:
    explicit AppInfo(QObject *parent = nullptr);

    QString versionText() const { return m_versionText; }
    QString supportAddress() const;

    // The version text of the bundle whose Info.plist is at `plistPath`.
    static QString versionTextOf(const QString &plistPath);

private:
    QString m_versionText;
};

} // namespace qor
