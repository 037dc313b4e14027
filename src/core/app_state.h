#pragma once

#include "account/login_result.h"
#include "core/app_types.h"
#include "runtime/task_handle.h"

#include <QCoroTask>
#include <QUrl>

#include <QDateTime>
#include <QHash>
#include <QObject>

#include <functional>
#include <optional>

namespace qor {

class Clock;
class DefaultsStore;
class ReserveTunnelManager;
class SystemExtensionManager;
class TavrinHelper;
class TavrinResolver;
class Session;
class StateTrace;
class TelegramLoginService;
class TrafficMonitor;
class TunnelManager;

// The services AppState calls, handed in by the composition root (the two
// mains and the test fixtures), so tests can pass doubles.
struct AppServices {
    Clock &clock;
    DefaultsStore &sharedDefaults;   // settings and the stored session
    DefaultsStore &standardDefaults; // the per-user store: the chosen node
    Session &session;
    StateTrace &trace;
    TelegramLoginService &login;
    TunnelManager &tunnel;
    ReserveTunnelManager &reserveTunnel;
    TrafficMonitor &traffic;
    SystemExtensionManager &extensions;
    TavrinResolver &tavrinResolver;
    TavrinHelper &tavrinHelper;
    // Opens an address with the desktop's handler (the command line prints it instead).
    std::function<void(const QUrl &)> openAddress;
    // True when at least one connectivity endpoint answered.
    std::function<QCoro::Task<bool>()> probeConnectivity;
    // Best connect time of `attempts` tries to host:port, in whole milliseconds.
    std::function<QCoro::Task<std::optional<quint64>>(QString host, quint16 port, int attempts)> measureLatency;
    // How many node measurements may be in flight at once (each holds a socket);
    // asked at the start of every measurement. Empty: 256.
    std::function<int()> latencyConcurrency;
};

// Raised when the system extension waits for the user's approval: the approval
// prompt takes over, so it is never shown as an error text.
struct AwaitingExtensionApproval {
    static QString description() { return QStringLiteral("AppState.AwaitingExtensionApproval"); }
};

// The single observable state of the application. Lives on the main thread;
// every published field notifies on every assignment.
class AppState : public QObject {
    Q_OBJECT
    Q_PROPERTY(qor::AuthStage authStage READ authStage NOTIFY authStageChanged)
    Q_PROPERTY(bool needsExtensionApproval READ needsExtensionApproval NOTIFY needsExtensionApprovalChanged)
    Q_PROPERTY(bool corporateFromStorage READ corporateFromStorage NOTIFY corporateFromStorageChanged)
    Q_PROPERTY(bool measuringLatency READ measuringLatency NOTIFY measuringLatencyChanged)
    Q_PROPERTY(bool latencyNeedsDisconnect READ latencyNeedsDisconnect NOTIFY latencyNeedsDisconnectChanged)
    Q_PROPERTY(qor::ConnectionState connectionState READ connectionState NOTIFY connectionStateChanged)
    Q_PROPERTY(QDateTime connectedSince READ connectedSince NOTIFY connectionStateChanged)
    Q_PROPERTY(qor::ConnectionTarget target READ target NOTIFY targetChanged)
    Q_PROPERTY(bool autoReconnectEnabled READ autoReconnectEnabled WRITE setAutoReconnectEnabled NOTIFY autoReconnectEnabledChanged)
    Q_PROPERTY(qor::AppAppearance appearance READ appearance WRITE setAppearance NOTIFY appearanceChanged)
    Q_PROPERTY(bool liquidGlassEnabled READ liquidGlassEnabled WRITE setLiquidGlassEnabled NOTIFY liquidGlassEnabledChanged)
    Q_PROPERTY(qor::CascadeMode cascadeMode READ cascadeMode WRITE setCascadeMode NOTIFY cascadeModeChanged)
    Q_PROPERTY(qor::ConnectMode connectMode READ connectMode WRITE setConnectMode NOTIFY connectModeChanged)
    Q_PROPERTY(bool corporate READ isCorporate NOTIFY corporateChanged)
    Q_PROPERTY(bool hasSubscriptionInfo READ hasSubscriptionInfo NOTIFY subscriptionChanged)
    Q_PROPERTY(bool reserveBlocked READ reserveBlockedByCompany NOTIFY corporateChanged)

public:
    explicit AppState(AppServices services, QObject *parent = nullptr);
    ~AppState() override;

    // Published fields.
    AuthStage authStage() const { return m_authStage; }
    void setAuthStage(AuthStage value);
    const std::optional<QString> &signOutNotice() const { return m_signOutNotice; }
    void setSignOutNotice(std::optional<QString> value);
    const std::optional<QString> &telegramUsername() const { return m_telegramUsername; }
    void setTelegramUsername(std::optional<QString> value);
    const std::optional<QString> &telegramAvatarDataURI() const { return m_telegramAvatarDataURI; }
    void setTelegramAvatarDataURI(std::optional<QString> value);
    const std::optional<QString> &subscriptionURL() const { return m_subscriptionURL; }
    void setSubscriptionURL(std::optional<QString> value);
    const std::optional<QString> &awgConfigsJSON() const { return m_awgConfigsJSON; }
    void setAwgConfigsJSON(std::optional<QString> value);
    const std::optional<QString> &xrayConfigsJSON() const { return m_xrayConfigsJSON; }
    void setXrayConfigsJSON(std::optional<QString> value);
    const std::optional<QString> &tavrinKey() const { return m_tavrinKey; }
    void setTavrinKey(std::optional<QString> value);
    const std::optional<QString> &sessionWarning() const { return m_sessionWarning; }
    void setSessionWarning(std::optional<QString> value);
    const std::optional<QString> &toast() const { return m_toast; }
    void setToast(std::optional<QString> value);
    const std::optional<QString> &connectionError() const { return m_connectionError; }
    void setConnectionError(std::optional<QString> value);
    const std::optional<QString> &connectionProgress() const { return m_connectionProgress; }
    void setConnectionProgress(std::optional<QString> value);
    bool needsExtensionApproval() const { return m_needsExtensionApproval; }
    void setNeedsExtensionApproval(bool value);
    bool corporateFromStorage() const { return m_corporateFromStorage; }
    void setCorporateFromStorage(bool value);
    bool measuringLatency() const { return m_measuringLatency; }
    void setMeasuringLatency(bool value);
    bool latencyNeedsDisconnect() const { return m_latencyNeedsDisconnect; }
    void setLatencyNeedsDisconnect(bool value);

    ConnectionState connectionState() const { return m_connectionState; }
    // The date of `Connected`; invalid in every other state.
    QDateTime connectedSince() const { return m_connectedSince; }
    void setConnectionState(ConnectionState state, const QDateTime &since = {});

    const ConnectionTarget &target() const { return m_target; }
    void setTarget(const ConnectionTarget &value);

    // The five settings persist on every assignment.
    bool autoReconnectEnabled() const { return m_autoReconnectEnabled; }
    void setAutoReconnectEnabled(bool value);
    AppAppearance appearance() const { return m_appearance; }
    void setAppearance(AppAppearance value);
    bool liquidGlassEnabled() const { return m_liquidGlassEnabled; }
    void setLiquidGlassEnabled(bool value);
    CascadeMode cascadeMode() const { return m_cascadeMode; }
    void setCascadeMode(CascadeMode value);
    ConnectMode connectMode() const { return m_connectMode; }
    void setConnectMode(ConnectMode value); // `Reserve` lasts for this run only and is never written

    const std::optional<QDateTime> &corporateSavedAt() const { return m_corporateSavedAt; }
    void setCorporateSavedAt(std::optional<QDateTime> value);

    const SubscriptionInfo &subscription() const { return m_subscription; }
    bool hasSubscriptionInfo() const { return !m_subscription.isEmpty(); }
    void setSubscription(const SubscriptionInfo &value);

    const std::optional<CorporateAccess> &corporate() const { return m_corporate; }
    bool isCorporate() const { return m_corporate.has_value(); }

    const QList<DirectNode> &directNodes() const { return m_directNodes; }
    const QHash<QString, quint64> &nodeLatency() const { return m_nodeLatency; }
    void setNodeLatency(const QString &endpoint, quint64 milliseconds);

    // Internal bookkeeping of the connection logic.
    ConnectMode preferredMode = ConnectMode::Auto;
    bool awaitingExtensionApprovalReturn = false;
    bool extensionsApproved = false;
    ConnectionTarget preferredTarget = ConnectionTarget::balancer();
    bool liveBeforeReserve = false;
    std::optional<QString> sessionToken;
    bool expectedDisconnect = false;
    bool switchingChannels = false;
    // A tunnel reported it was starting (or up) since the last start request: a start
    // that failed before the next poll has still been seen starting.
    bool startReported = false;
    bool userInitiatedStop = false;
    int reconnectAttempt = 0;
    bool autoFellBackToTavrin = false;
    bool autoTriedBoth = false;
    TaskHandle sessionWatch;
    TaskHandle subscriptionWatch;
    TaskHandle connectTask;
    TaskHandle toastTask;
    TaskHandle mainChannelCheck;
    TaskHandle reconnectTask;
    TaskHandle channelRecheck;

    // The node list follows xrayConfigsJSON; called right after it changes.
    void refreshDirectNodes();
    void restoreSelectedNode();
    std::optional<DirectNode> savedSelectedNode() const;
    int measuredNodeCount() const;
    // Measured nodes first, fastest first; unmeasured ones keep list order after them.
    QList<DirectNode> nodesByLatency() const;

    // Diagnostics.
    void trace(const QString &message);
    std::optional<QString> takeSignalFile(const QString &name);
    Q_INVOKABLE QString connectionDuration(const QDateTime &now) const;
    // The state as trace lines write it: connected(2026-01-31 14:05:09 +0000), disconnected, ...
    QString stateText() const;

    static constexpr auto selectedNodeKey = "session.selectedNodeEndpoint";

    // Session lifecycle.
    Q_INVOKABLE void startTelegramLogin();
    void applyLoginResult(const TelegramLoginResult &result);
    void restoreSession();
    QCoro::Task<bool> refreshSession();
    void startSubscriptionWatch();
    void signOut();
    // The user's own sign-out: a tunnel must not keep running for an account that left.
    Q_INVOKABLE void signOutAndStop();
    QCoro::Task<bool> deleteAccount();

    // Corporate schedule.
    void setCorporate(std::optional<CorporateAccess> record);
    bool corporateWindowClosed() const;
    QString corporateClosedMessage() const;
    QString corporateSessionSummary() const;
    std::optional<QString> corporateStaleNotice() const;
    bool reserveBlockedByCompany() const;
    bool storedPolicyExpired() const;
    QCoro::Task<bool> refreshCorporatePolicy();

    // Tunnel status reports of both managers.
    void handleTunnelStatus(int status, TunnelSource source);

    // Stops.
    void stopEverything();
    void stopForQuit();
    void showToast(const QString &message, int seconds);

    // Connection control.
    void connect(std::optional<ConnectionTarget> newTarget = std::nullopt, bool keepAutoState = false);
    Q_INVOKABLE void tapGlobe();
    void selectMode(ConnectMode mode);
    Q_INVOKABLE void enableReserve();
    Q_INVOKABLE void disableReserve();
    void applyCascade(ConnectMode mode);
    void selectNode(const DirectNode &node) { connect(ConnectionTarget::node(node)); }

    // Channel health and failover.
    void startMainChannelCheck();
    bool tryAutoFallback();
    void scheduleReconnect();
    // After a wake-up or a network change: probes the connected channel at once and, when
    // nothing answers, reconnects it (auto-reconnect on) or warns. One probe at a time; a
    // connection younger than the channel check's patient window is left to that check.
    void checkChannelNow();

    // Node latency, measured for all nodes at once.
    QCoro::Task<> measureNodeLatency();

    static const QString networkWarning;

    // The task started at construction: adopt a running tunnel, then refresh once.
    // Tests and front ends can wait for it through startupFinished.
    bool isStartupFinished() const { return m_startupFinished; }

    // The application clock's time (virtual in tests).
    QDateTime currentTime() const;
    // Opens an address with the desktop's handler (the command line prints it instead).
    void openAddress(const QUrl &address);
    // "Отменить" while waiting for the messenger: stops polling, back to idle.
    Q_INVOKABLE void cancelTelegramLogin();
    // The approval prompt: closing it, and the return to the application that resumes
    // an interrupted connect once (false when none waited).
    Q_INVOKABLE void dismissExtensionApproval();
    Q_INVOKABLE bool resumeAfterExtensionApproval();
    // Where the extensions are approved (the demo: the folder of its approval marks);
    // empty where the retried activation itself asks (the system's authentication dialog).
    QUrl extensionSettingsUrl() const;

Q_SIGNALS:
    void authStageChanged();
    void signOutNoticeChanged();
    void telegramUsernameChanged();
    void telegramAvatarDataURIChanged();
    void subscriptionURLChanged();
    void awgConfigsJSONChanged();
    void xrayConfigsJSONChanged();
    void tavrinKeyChanged();
    void sessionWarningChanged();
    void toastChanged();
    void connectionErrorChanged();
    void connectionProgressChanged();
    void needsExtensionApprovalChanged();
    void corporateFromStorageChanged();
    void measuringLatencyChanged();
    void latencyNeedsDisconnectChanged();
    void connectionStateChanged();
    void targetChanged();
    void autoReconnectEnabledChanged();
    void appearanceChanged();
    void liquidGlassEnabledChanged();
    void cascadeModeChanged();
    void connectModeChanged();
    void corporateSavedAtChanged();
    void directNodesChanged();
    void nodeLatencyChanged();
    void subscriptionChanged();
    void corporateChanged();
    void startupFinished();
    // A connection the user did not stop went down from Connected.
    void connectionLost();
    // The reconnect after a loss ran out of attempts.
    void reconnectGaveUp();
    // A connect ended with the error text the window shows (not raised by the reconnect's attempts).
    void connectFailed(const QString &reason);

private:
    // Every assignment of a published field notifies, even when the value is equal.
    template<typename T, typename U>
    void publish(T &field, U &&value, void (AppState::*changed)())
    {
        field = std::forward<U>(value);
        Q_EMIT(this->*changed)();
    }

    void loadSettings();
    void applySessionPayload(const TelegramLoginResult::Session &payload);
    void applyStoredCorporate(const std::optional<QString> &corporateJSON, const std::optional<QDateTime> &savedAt);
    void endStoredCorporateWait();
    void saveSession(const std::optional<QString> &token);
    void revokeSession();
    QCoro::Task<> startup();
    QCoro::Task<> subscriptionWatchLoop(CancelToken token);
    QCoro::Task<> corporateCountdown(CancelToken token, CorporateAccess record);
    QCoro::Task<> toastTimer(CancelToken token, int seconds);
    QString corporateReasonText(const CorporateAccess &record) const;
    QCoro::Task<> connectOperation(CancelToken token);
    QCoro::Task<> connectSteps(CancelToken token);
    QCoro::Task<bool> passCorporateGate(CancelToken token);
    QCoro::Task<> connectReserve(CancelToken token);
    QCoro::Task<> connectMain(CancelToken token);
    QCoro::Task<> ensureExtensions();
    QCoro::Task<> activateExtension(QString identifier);
    QCoro::Task<> waitForStart(CancelToken token, bool reserve, int seconds);
    void refuse(const QString &text, const QString &traceLine);
    void endCancelled(const CancelToken &token);
    void handleConnectFailure(const QString &description, bool awaitingApproval);
    QCoro::Task<> mainChannelCheckLoop(CancelToken token);
    QCoro::Task<> reconnectLoop(CancelToken token);
    QCoro::Task<> recheckChannel(CancelToken token);
    void recordNodeChoice(const ConnectionTarget &choice);

    AppServices m_services;

    AuthStage m_authStage = AuthStage::Idle;
    std::optional<QString> m_signOutNotice;
    std::optional<QString> m_telegramUsername;
    std::optional<QString> m_telegramAvatarDataURI;
    std::optional<QString> m_subscriptionURL;
    std::optional<QString> m_awgConfigsJSON;
    std::optional<QString> m_xrayConfigsJSON;
    std::optional<QString> m_tavrinKey;
    std::optional<QString> m_sessionWarning;
    std::optional<QString> m_toast;
    std::optional<QString> m_connectionError;
    std::optional<QString> m_connectionProgress;
    bool m_needsExtensionApproval = false;
    bool m_corporateFromStorage = false;
    bool m_measuringLatency = false;
    bool m_latencyNeedsDisconnect = false;
    ConnectionState m_connectionState = ConnectionState::Disconnected;
    QDateTime m_connectedSince;
    ConnectionTarget m_target = ConnectionTarget::balancer();
    bool m_autoReconnectEnabled = true;
    AppAppearance m_appearance = AppAppearance::System;
    bool m_liquidGlassEnabled = false;
    CascadeMode m_cascadeMode = CascadeMode::Standard;
    ConnectMode m_connectMode = ConnectMode::Auto;
    std::optional<QDateTime> m_corporateSavedAt;
    SubscriptionInfo m_subscription;
    std::optional<CorporateAccess> m_corporate;
    // Present while the keyring has not handed over the stored company record; cancelled
    // (waking a connect that waits for it) once it has, or once a fresher record came.
    std::optional<CancelToken> m_storedCorporateAnswer;
    bool m_startupFinished = false;
    // Set while the start-up task reports the status of a tunnel found running.
    bool m_adoptingTunnel = false;
    QList<DirectNode> m_directNodes;
    QHash<QString, quint64> m_nodeLatency;
};

} // namespace qor
