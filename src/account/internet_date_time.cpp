#include "internet_date_time.h"

#include <QRegularExpression>

namespace qor {

std::optional<QDateTime> parseInternetDateTime(QStringView text, FractionalSeconds fraction)
{
    static const QRegularExpression pattern(QStringLiteral(
        "\\A(\\d{4})-(\\d{2})-(\\d{2})T(\\d{2}):(\\d{2}):(\\d{2})(?:\\.(\\d+))?(Z|[+-]\\d{2}:\\d{2})\\z"));
    const auto match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const bool hasFraction = match.hasCaptured(7);
    if (hasFraction != (fraction == FractionalSeconds::Required))
        return std::nullopt;

    const auto number = [&match](int group) { return match.capturedView(group).toInt(); };
    const QDate date(number(1), number(2), number(3));
    int milliseconds = 0;
    if (hasFraction)
        milliseconds = match.capturedView(7).left(3).toString().leftJustified(3, QLatin1Char('0')).toInt();
    const QTime time(number(4), number(5), number(6), milliseconds);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;

    int offsetSeconds = 0;
    const QStringView zone = match.capturedView(8);
    if (zone != u"Z") {
        const int hours = zone.mid(1, 2).toInt();
        const int minutes = zone.mid(4, 2).toInt();
        if (hours > 23 || minutes > 59)
            return std::nullopt;
        offsetSeconds = (hours * 3600 + minutes * 60) * (zone.front() == u'-' ? -1 : 1);
    }
    return QDateTime(date, time, Qt::OffsetFromUTC, offsetSeconds).toUTC();
}

} // namespace qor
