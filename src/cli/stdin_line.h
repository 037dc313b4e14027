#pragma once

#include "runtime/cancel_token.h"

#include <QCoroTask>
#include <QString>

#include <optional>

namespace qor::cli {

// One line from standard input without its line break, read without blocking the
// event loop (the demo backend in this process keeps serving meanwhile). Absent at
// the end of input, when the input is closed, or once `stop` is cancelled.
QCoro::Task<std::optional<QString>> readStandardInputLine(CancelToken stop = {});

bool standardInputIsTerminal();

} // namespace qor::cli
