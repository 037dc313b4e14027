#pragma once

#include <QDateTime>
#include <QObject>
#include <QVariant>
#include <QtQml/qqml.h>

class QQmlEngine;
class QJSEngine;

namespace qor {

class AppState;

// The QML singleton `AppStateView`: what the screens read from `AppState` beyond its
// own properties, and the actions they take with plain arguments. An absent value
// reads as an empty text or as undefined.
class AppStateView : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(QString signOutNotice READ signOutNotice NOTIFY signOutNoticeChanged)
    Q_PROPERTY(QString telegramUsername READ telegramUsername NOTIFY telegramUsernameChanged)
    Q_PROPERTY(QString telegramAvatarDataURI READ telegramAvatarDataURI NOTIFY telegramAvatarDataURIChanged)
    Q_PROPERTY(QString sessionWarning READ sessionWarning NOTIFY sessionWarningChanged)
    Q_PROPERTY(QString toast READ toast NOTIFY toastChanged)
    Q_PROPERTY(QString connectionError READ connectionError NOTIFY connectionErrorChanged)
    Q_PROPERTY(QString connectionProgress READ connectionProgress NOTIFY connectionProgressChanged)
    Q_PROPERTY(QDateTime corporateSavedAt READ corporateSavedAt NOTIFY corporateSavedAtChanged)
    Q_PROPERTY(QVariant subscriptionActive READ subscriptionActive NOTIFY subscriptionChanged)
    Q_PROPERTY(QVariant subscriptionExpiresAt READ subscriptionExpiresAt NOTIFY subscriptionChanged)
    Q_PROPERTY(QVariant trafficUsedBytes READ trafficUsedBytes NOTIFY subscriptionChanged)
    Q_PROPERTY(QVariant trafficLimitBytes READ trafficLimitBytes NOTIFY subscriptionChanged)
    Q_PROPERTY(QVariant corporateCompany READ corporateCompany NOTIFY corporateChanged)

public:
    explicit AppStateView(AppState &state, QObject *parent = nullptr);
    // Over the state the composition root provided (AppStateForeign::provide).
    static AppStateView *create(QQmlEngine *qmlEngine, QJSEngine *jsEngine);

    QString signOutNotice() const;
    QString telegramUsername() const;
    QString telegramAvatarDataURI() const;
    QString sessionWarning() const;
    QString toast() const;
    QString connectionError() const;
    QString connectionProgress() const;
    QDateTime corporateSavedAt() const;
    QVariant subscriptionActive() const;
    QVariant subscriptionExpiresAt() const;
    QVariant trafficUsedBytes() const;
    QVariant trafficLimitBytes() const;
    QVariant corporateCompany() const;

    Q_INVOKABLE QDateTime currentTime() const;
    // Starts the node latency measurement without waiting for it (the node panel).
    Q_INVOKABLE void startNodeLatencyMeasurement();
    Q_INVOKABLE void openAddress(const QString &address);
    // Texts that move with time: `tick` only makes a binding re-read them each second.
    Q_INVOKABLE QString corporateSessionSummaryAt(const QDateTime &tick) const;
    Q_INVOKABLE QString corporateStaleNoticeAt(const QDateTime &tick) const;
    // selectMode with a ConnectMode number; numbers outside the enumeration are ignored.
    Q_INVOKABLE void selectModeNumber(int mode);
    Q_INVOKABLE void connectBalancer();
    // Connects to the direct node with this endpoint; false when there is none.
    Q_INVOKABLE bool connectNode(const QString &endpoint);
    // The direct orbit button: connects to the remembered node; false when none is
    // remembered (the screen then opens the node list).
    Q_INVOKABLE bool connectSavedNode();
    // The approval prompt's settings button.
    Q_INVOKABLE void openExtensionSettings();

Q_SIGNALS:
    void signOutNoticeChanged();
    void telegramUsernameChanged();
    void telegramAvatarDataURIChanged();
    void sessionWarningChanged();
    void toastChanged();
    void connectionErrorChanged();
    void connectionProgressChanged();
    void corporateSavedAtChanged();
    void subscriptionChanged();
    void corporateChanged();

private:
    AppState &m_state;
};

} // namespace qor
