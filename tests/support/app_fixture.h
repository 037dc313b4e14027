#pragma once

#include "account/defaults_store.h"
#include "account/secret_store_memory.h"
#include "account/session.h"
#include "core/app_state.h"
#include "core/runtime/manual_clock.h"
#include "core/state_trace.h"

#include <QTemporaryDir>

#include <memory>

namespace qor::test {

// Everything an AppState needs, in memory or in a private temporary folder,
// with virtual time. Stores outlive the AppState so a test can build a second
// one over the same stores (an application restart).
struct AppFixture {
    AppFixture();
    ~AppFixture();

    AppState &app() { return *state; }
    // Destroys the current AppState and builds a new one over the same stores.
    AppState &restart();
    AppServices services();

    QTemporaryDir traceDir;
    ManualClock clock;
    DefaultsStore sharedDefaults;
    DefaultsStore standardDefaults;
    MemorySecretStore secrets;
    Session session{sharedDefaults, secrets, clock};
    std::unique_ptr<StateTrace> trace;
    std::unique_ptr<AppState> state;
};

// A catalog text with the balancer and the given node endpoints ("host:port").
QString catalogJson(const QStringList &endpoints, bool withBalancer = true);

} // namespace qor::test
