#pragma once

#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>

namespace qor {
class AppState;
class TrafficMonitor;
} // namespace qor

namespace qor::cli {

// The state in words, for people at a terminal.

// "Подключено · Qor AI Network", "Подключение… (Узел 1234)", "Отключение…", "Отключено".
QString connectionLine(const AppState &app);
// The sign-in stage: "выполнен", "не выполнен", …
QString authStageText(const AppState &app);

// The lines of `qorctl status`.
QStringList statusReport(const AppState &app, const TrafficMonitor &traffic, const QDateTime &now);

// What `connect --stay` reports: one text per aspect of the state (connection,
// error, progress, warning, …); a line is printed when an aspect's text changes.
QMap<QString, QString> watchedAspects(const AppState &app);

} // namespace qor::cli
