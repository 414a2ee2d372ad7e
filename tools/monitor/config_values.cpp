// SPDX-License-Identifier: GPL-3.0-or-later
// Syntax checks for the values of the targets file.
#include "config_values.h"

#include <QHostAddress>

#include <cmath>

namespace {

bool isAsciiLetter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool isAsciiDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

bool isHostLabel(QStringView label)
{
    constexpr qsizetype kMaxLabelChars = 63;
    if (label.isEmpty() || label.size() > kMaxLabelChars || label.front() == u'-' || label.back() == u'-')
        return false;
    for (const QChar c : label) {
        if (!isAsciiLetter(c) && !isAsciiDigit(c) && c != u'-')
            return false;
    }
    return true;
}

} // namespace

std::optional<qint64> parseDurationMs(QStringView text)
{
    struct Unit {
        const char16_t* suffix;
        double ms;
    };
    // Longest first: "ms" before "m" and "s".
    static constexpr Unit kUnits[] = {{u"ms", 1}, {u"s", 1000}, {u"m", 60'000}, {u"h", 3'600'000}};
    text = text.trimmed();
    for (const Unit& unit : kUnits) {
        if (!text.endsWith(QStringView(unit.suffix)))
            continue;
        const QStringView number = text.chopped(QStringView(unit.suffix).size()).trimmed();
        // Digits with at most one point between them: no sign, no exponent,
        // no "inf" that toDouble would take.
        bool point = false;
        bool digits = false;
        for (const QChar c : number) {
            if (c == u'.' && !point)
                point = true;
            else if (isAsciiDigit(c))
                digits = true;
            else
                return std::nullopt;
        }
        if (!digits || number.endsWith(u'.') || number.startsWith(u'.'))
            return std::nullopt;
        const double ms = number.toDouble() * unit.ms;
        // Past a year it is a typo, and the arithmetic on it may overflow.
        constexpr double kYearMs = 366.0 * 24 * 3'600'000;
        if (!std::isfinite(ms) || ms > kYearMs)
            return std::nullopt;
        return std::llround(ms);
    }
    return std::nullopt;
}

QString durationText(qint64 ms)
{
    if (ms != 0 && ms % 3'600'000 == 0)
        return QStringLiteral("%1h").arg(ms / 3'600'000);
    if (ms != 0 && ms % 60'000 == 0)
        return QStringLiteral("%1m").arg(ms / 60'000);
    if (ms % 1000 == 0)
        return QStringLiteral("%1s").arg(ms / 1000);
    return ms < 1000 ? QStringLiteral("%1ms").arg(ms) : QStringLiteral("%1s").arg(double(ms) / 1000.0);
}

bool isHostSyntax(const QString& host)
{
    constexpr qsizetype kMaxNameChars = 253;
    if (host.isEmpty())
        return false;
    if (host.startsWith(u'[') || host.contains(u':')) {
        const QString bare = bareHost(host);
        if (bare.startsWith(u'[') || bare.endsWith(u']'))
            return false;
        QHostAddress address;
        return address.setAddress(bare) && address.protocol() == QAbstractSocket::IPv6Protocol;
    }
    bool numeric = true;
    for (const QChar c : host)
        numeric = numeric && (isAsciiDigit(c) || c == u'.');
    if (numeric) {
        QHostAddress address;
        return host.count(u'.') == 3 && address.setAddress(host)
            && address.protocol() == QAbstractSocket::IPv4Protocol;
    }
    // One trailing dot is the fully qualified spelling of the same name.
    const QStringView name = host.endsWith(u'.') ? QStringView(host).chopped(1) : QStringView(host);
    if (name.size() > kMaxNameChars)
        return false;
    for (const QStringView label : name.split(u'.')) {
        if (!isHostLabel(label))
            return false;
    }
    return true;
}

QString bareHost(const QString& host)
{
    if (host.size() >= 2 && host.startsWith(u'[') && host.endsWith(u']'))
        return host.mid(1, host.size() - 2);
    return host;
}

bool isLabelName(QStringView name)
{
    if (name.isEmpty() || name.startsWith(u"__"))
        return false;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name[i];
        if (!isAsciiLetter(c) && c != u'_' && (i == 0 || !isAsciiDigit(c)))
            return false;
    }
    return true;
}
