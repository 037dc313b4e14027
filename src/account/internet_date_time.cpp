#include "internet_date_time.h"

namespace qor {

namespace {

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// The value of `count` ASCII digits at `at`, or -1 when any is missing. Read by hand:
// every sign-in refresh parses these dates, and a regular expression would load and
// compile PCRE for it.
int digitsAt(QStringView text, qsizetype at, qsizetype count)
{
    if (at + count > text.size())
        return -1;
    int value = 0;
    for (qsizetype i = at; i < at + count; ++i) {
        if (!isDigit(text[i]))
            return -1;
        value = value * 10 + (text[i].unicode() - u'0');
    }
    return value;
}

bool charAt(QStringView text, qsizetype at, char16_t wanted)
{
    return at < text.size() && text[at] == wanted;
}

} // namespace

std::optional<QDateTime> parseInternetDateTime(QStringView text, FractionalSeconds fraction)
{
    // YYYY-MM-DDTHH:MM:SS
    const int year = digitsAt(text, 0, 4), month = digitsAt(text, 5, 2), day = digitsAt(text, 8, 2);
    const int hour = digitsAt(text, 11, 2), minute = digitsAt(text, 14, 2), second = digitsAt(text, 17, 2);
    if (year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0 || !charAt(text, 4, u'-')
        || !charAt(text, 7, u'-') || !charAt(text, 10, u'T') || !charAt(text, 13, u':') || !charAt(text, 16, u':'))
        return std::nullopt;

    // .f… with at least one digit; beyond milliseconds truncated.
    qsizetype at = 19;
    const bool hasFraction = charAt(text, at, u'.');
    int milliseconds = 0;
    if (hasFraction) {
        qsizetype end = at + 1;
        while (end < text.size() && isDigit(text[end]))
            ++end;
        if (end == at + 1)
            return std::nullopt;
        for (qsizetype i = at + 1; i < at + 4; ++i)
            milliseconds = milliseconds * 10 + (i < end ? text[i].unicode() - u'0' : 0);
        at = end;
    }
    if (hasFraction != (fraction == FractionalSeconds::Required))
        return std::nullopt;

    const QDate date(year, month, day);
    const QTime time(hour, minute, second, milliseconds);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;

    // Z or ±HH:MM, and nothing after it.
    int offsetSeconds = 0;
    if (charAt(text, at, u'Z') && at + 1 == text.size()) {
        offsetSeconds = 0;
    } else if ((charAt(text, at, u'+') || charAt(text, at, u'-')) && at + 6 == text.size() && charAt(text, at + 3, u':')) {
        const int hours = digitsAt(text, at + 1, 2);
        const int minutes = digitsAt(text, at + 4, 2);
        if (hours < 0 || minutes < 0 || hours > 23 || minutes > 59)
            return std::nullopt;
        offsetSeconds = (hours * 3600 + minutes * 60) * (text[at] == u'-' ? -1 : 1);
    } else {
        return std::nullopt;
    }
    return QDateTime(date, time, Qt::OffsetFromUTC, offsetSeconds).toUTC();
}

} // namespace qor
