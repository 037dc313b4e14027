#include "interface_counters.h"

#include <QFile>

namespace qor {

CounterSnapshot ProcNetDevCounters::read() const
{
    CounterSnapshot snapshot;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return snapshot;
    // "  name: rx_bytes rx_packets ... (8 receive columns) tx_bytes ...". Interface
    // names cannot contain ':' or blanks.
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            continue;
        const QByteArray name = line.left(colon).trimmed();
        const QList<QByteArray> fields = line.mid(colon + 1).simplified().split(' ');
        if (name.isEmpty() || fields.size() < 16)
            continue;
        bool okReceived = false, okSent = false;
        const quint64 received = fields[0].toULongLong(&okReceived);
        const quint64 sent = fields[8].toULongLong(&okSent);
        if (okReceived && okSent && name.startsWith(m_prefix.toLatin1()))
            snapshot.insert(QString::fromLatin1(name), {received, sent});
    }
    return snapshot;
}

} // namespace qor
