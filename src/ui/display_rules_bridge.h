#pragma once

#include <QObject>
#include <QVariant>
#include <QtQml/qqmlregistration.h>

namespace qor {

// The display rules for QML, as the singleton `DisplayRules`. Enumerations arrive
// as their integer values (ConnectionState, ConnectMode, ConnectionTarget::Kind as
// QML sees them); an optional value is `undefined` or `null` when absent. Colours
// come back as PaletteRole values for Theme.roleColor(); a rule with no line to
// show answers an empty text.
class DisplayRules : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    explicit DisplayRules(QObject *parent = nullptr);

    Q_INVOKABLE int accentColor(int targetKind, int mode) const;
    Q_INVOKABLE int modeColor(int mode) const;
    Q_INVOKABLE bool reserveActive(int targetKind, int state) const;
    Q_INVOKABLE QString statusTitle(const QString &progress, int state, int targetKind, const QString &targetName) const;
    Q_INVOKABLE QString statusSubtitle(int state, int mode, int targetKind) const;
    Q_INVOKABLE QString globeAccessibilityLabel(bool active) const;
    Q_INVOKABLE int networkHealthLevel(const QVariant &subscriptionActive, int directNodeCount, int measuredNodeCount) const;
    Q_INVOKABLE int healthColor(int level) const;
    Q_INVOKABLE QString networkStatusLabel(bool refreshing) const;
    Q_INVOKABLE QString statusRefreshToast(bool refreshed) const;
    Q_INVOKABLE QString versionText(const QVariant &shortVersion, const QVariant &bundleVersion) const;

    Q_INVOKABLE QString countLine(int measuredNodeCount, int directNodeCount) const;
    Q_INVOKABLE QString latencyText(const QVariant &milliseconds) const;
    Q_INVOKABLE int latencyColor(const QVariant &milliseconds) const;

    Q_INVOKABLE QString nameLine(const QVariant &corporateCompany, const QVariant &telegramUsername) const;
    Q_INVOKABLE QString subscriptionStatusText(const QVariant &isActive) const;
    Q_INVOKABLE int subscriptionStatusColor(const QVariant &isActive) const;
    Q_INVOKABLE QString expiryText(const QVariant &expiresAt) const;
    Q_INVOKABLE QString byteText(double bytes) const;
    Q_INVOKABLE QString trafficLimitText(const QVariant &limitBytes) const;
    Q_INVOKABLE QString trafficUsedText(const QVariant &usedBytes) const;
    Q_INVOKABLE QString deleteButtonTitle(bool deleting) const;

    Q_INVOKABLE QString modeName(int mode) const;
    Q_INVOKABLE QString modeSymbol(int mode) const;

    Q_INVOKABLE bool canRequestCode(const QString &email, bool busy) const;
    Q_INVOKABLE bool canVerifyCode(const QString &code, bool busy) const;
};

} // namespace qor
