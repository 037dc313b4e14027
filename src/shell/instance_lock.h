#pragma once

#include <QLockFile>
#include <QString>

#include <optional>

namespace qor {

// One front end per user drives the tunnels at a time. The desktop application
// holds this lock while it runs and qorctl while a long command runs; a
// state-changing command of another process checks it and refuses instead of
// fighting over the tunnels. A lock left by a process that died is taken over.
class InstanceLock {
public:
    // path empty: defaultPath().
    explicit InstanceLock(QString path = {});
    ~InstanceLock();

    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    // "$XDG_RUNTIME_DIR/qor-connect/instance.lock" (the runtime folder is created 0700).
    static QString defaultPath();

    // Takes the lock unless another live process holds it; true when held afterwards.
    bool tryAcquire();
    bool isHeld() const { return m_file.isLocked(); }
    void release();

    // Who holds the lock, as the holder recorded it.
    struct Holder {
        qint64 pid = 0;
        QString application;
    };
    std::optional<Holder> holder() const;

    // The refusal shown to a user whose command would compete with the holder.
    static QString refusalText(const std::optional<Holder> &holder);

    QString path() const { return m_path; }

private:
    QString m_path;
    QLockFile m_file;
};

} // namespace qor
