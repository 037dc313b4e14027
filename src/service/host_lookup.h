#pragma once

#include "runtime/cancel_token.h"

#include <QCoroTask>
#include <QHostAddress>

#include <chrono>
#include <variant>

namespace qor::service {

// A server's address: the text itself when it is one, else the system resolver's
// answer (IPv4 preferred) within `limit`; or the Russian reason there is none. Tunnels
// look their servers up before they change any route, so the answer comes from the
// network as it is.
QCoro::Task<std::variant<QHostAddress, QString>> lookUpHost(QString host, std::chrono::milliseconds limit);

} // namespace qor::service
