#pragma once

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QtQml/qqmlregistration.h>

namespace qor {

class AppState;

// The connect screen's network-status refresh: the session, then the node
// latencies, then a toast with the outcome. A second start while one runs does nothing.
class NetworkStatusRefresh : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(bool refreshing READ refreshing NOTIFY refreshingChanged)

public:
    explicit NetworkStatusRefresh(QObject *parent = nullptr);

    bool refreshing() const { return m_refreshing; }
    Q_INVOKABLE void start();

Q_SIGNALS:
    void refreshingChanged();

private:
    static QCoro::Task<> run(QPointer<NetworkStatusRefresh> self, QPointer<AppState> app);
    void setRefreshing(bool value);

    bool m_refreshing = false;
};

// The profile panel's account deletion: `deleted` after the server confirmed (the
// panel closes), a toast otherwise.
class AccountDeletion : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(bool deleting READ deleting NOTIFY deletingChanged)

public:
    explicit AccountDeletion(QObject *parent = nullptr);

    bool deleting() const { return m_deleting; }
    Q_INVOKABLE void start();

    inline static const QString failureToast = QStringLiteral("Не получилось удалить аккаунт");

Q_SIGNALS:
    void deletingChanged();
    void deleted();

private:
    static QCoro::Task<> run(QPointer<AccountDeletion> self, QPointer<AppState> app);
    void setDeleting(bool value);

    bool m_deleting = false;
};

// Reports each time the application becomes active again (one of its windows
// gets the focus after another application had it).
class ApplicationActivation : public QObject {
    Q_OBJECT
    QML_ELEMENT

public:
    explicit ApplicationActivation(QObject *parent = nullptr);

Q_SIGNALS:
    void activated();
};

} // namespace qor
