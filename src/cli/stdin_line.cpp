#include "stdin_line.h"

#include "runtime/cancel_token.h"

#include <QCoroSignal>
#include <QSocketNotifier>

#include <unistd.h>

namespace qor::cli {

bool standardInputIsTerminal()
{
    return ::isatty(STDIN_FILENO) == 1;
}

QCoro::Task<std::optional<QString>> readStandardInputLine(CancelToken stop)
{
    QByteArray line;
    QSocketNotifier notifier(STDIN_FILENO, QSocketNotifier::Read);
    for (;;) {
        if (stop.isCancelled())
            co_return std::nullopt;
        {
            Waker readable;
            QObject::connect(&notifier, &QSocketNotifier::activated, &readable, [&readable] { readable.fire(true); });
            stop.addWaker(&readable);
            co_await qCoro(&readable, &Waker::woken);
            stop.removeWaker(&readable);
        }
        if (stop.isCancelled())
            co_return std::nullopt;
        // One byte per wake-up: the read never blocks, and nothing past the line
        // break is taken from the input.
        char byte = 0;
        const ssize_t count = ::read(STDIN_FILENO, &byte, 1);
        if (count <= 0) {
            if (line.isEmpty())
                co_return std::nullopt;
            break;
        }
        if (byte == '\n')
            break;
        line.append(byte);
    }
    if (line.endsWith('\r'))
        line.chop(1);
    co_return QString::fromUtf8(line);
}

} // namespace qor::cli
