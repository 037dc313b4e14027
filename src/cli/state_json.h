#pragma once

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>

namespace qor {
class AppState;
class TrafficMonitor;
} // namespace qor

namespace qor::cli {

// The `--json` output of `status` and `nodes`: AppState's published fields under
// their own names, the connection duration, the four traffic figures and the
// display texts of the screens. Its fields are described in the README; they are a
// stable interface, so existing fields are never renamed or retyped.
QJsonObject stateJson(const AppState &app, const TrafficMonitor &traffic, const QDateTime &now, bool demo);

// The rows of the network panel: the balancer, then the nodes fastest first.
QJsonArray nodeRowsJson(const AppState &app);

} // namespace qor::cli
