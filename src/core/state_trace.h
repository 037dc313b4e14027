#pragma once

#include "core/trace_directory.h"

#include <QString>

#include <optional>

class QObject;
class QThread;

namespace qor {

class Clock;

// The diagnostic line log of the connection logic: every line goes to the log
// category "com.qorvpn.connect.state" and is appended, time-stamped, to
// "state-trace.txt" in the shared trace directory. The file work runs on one
// serial worker thread, so the caller never waits for the disk.
class StateTrace {
public:
    // directory: normally deployment::traceDirectory().
    StateTrace(QString directory, Clock &clock);
    // Finishes the queued writes, then stops the worker.
    ~StateTrace();

    StateTrace(const StateTrace &) = delete;
    StateTrace &operator=(const StateTrace &) = delete;

    // Returns at once; lines reach the file in call order. Errors are dropped.
    void trace(const QString &message);

    // Reads a signal file of the trace directory as UTF-8 text and deletes it.
    // Absent when missing or unreadable; a failed delete is ignored. Runs on the
    // caller's thread.
    std::optional<QString> takeSignalFile(const QString &name);

    // Blocks until every line queued so far is written (tests, quitting).
    void waitForWrites();

    QString directory() const;

private:
    Clock &m_clock;
    TraceDirectory m_directory;
    QThread *m_thread;
    QObject *m_worker;
};

} // namespace qor
