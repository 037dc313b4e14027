#pragma once

#include <QCoroTask>
#include <QString>

#include <optional>

namespace qor::cli {

// One line from standard input without its line break, read without blocking the
// event loop (the demo backend in this process keeps serving meanwhile). Absent at
// the end of input or when the input is closed.
QCoro::Task<std::optional<QString>> readStandardInputLine();

bool standardInputIsTerminal();

} // namespace qor::cli
