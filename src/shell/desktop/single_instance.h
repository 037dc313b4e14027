#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

namespace qor {

// One desktop application per user: the first process listens on a local socket in
// the user's private runtime folder; a later one asks it to bring its window
// forward and ends.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    // path empty: defaultPath().
    explicit SingleInstance(QString path = {}, QObject *parent = nullptr);
    ~SingleInstance() override;

    // "$XDG_RUNTIME_DIR/qor-connect/window.socket" (the folder is created 0700).
    static QString defaultPath();

    // True when this process is now the instance; false when a running one was
    // reached and asked to show its window.
    bool claim();
    bool isListening() const { return m_server.isListening(); }
    QString path() const { return m_path; }

Q_SIGNALS:
    // Another launch asked for the window.
    void activationRequested();

private:
    void accept();

    QString m_path;
    QLocalServer m_server;
};

} // namespace qor
