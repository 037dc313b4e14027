#pragma once

#include <QDBusConnection>
#include <QObject>

#include <array>
#include <functional>
#include <optional>
#include <utility>

namespace qor {

class AppState;
class UpdateController;

// Desktop notifications (org.freedesktop.Notifications) for what happens while the window
// is out of sight: a lost connection, a reconnect that gave up, a failed connect, the end
// of the company's access window, a new version. Each kind keeps one notification on
// screen, replaced by the next of its kind. Nothing comes of the user's own actions, and
// nothing at all where no notification server answers.
class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    enum class Kind { ConnectionLost, ReconnectGaveUp, ConnectFailed, CompanyWindow, UpdateAvailable };

    // `updates` may be null (no update notifications).
    DesktopNotifier(AppState &state, UpdateController *updates, QDBusConnection bus = QDBusConnection::sessionBus(),
                    QObject *parent = nullptr);

    // True while the main window is shown and focused: it then tells everything itself.
    std::function<bool()> windowInFront;

    // Shows the notification of that kind, replacing the previous one, unless the window is
    // in front (a new version is told either way).
    void notify(Kind kind, const QString &title, const QString &body);

private:
    struct Slot {
        uint id = 0; // the server's id of the last one shown, 0 before
        bool inFlight = false;
        std::optional<std::pair<QString, QString>> waiting; // title and body asked for while one was on its way
    };
    void send(Kind kind, const QString &title, const QString &body);

    QDBusConnection m_bus;
    std::array<Slot, 5> m_slots;
    QString m_companyWarning;
};

} // namespace qor
