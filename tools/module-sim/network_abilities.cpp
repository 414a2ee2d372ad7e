// SPDX-License-Identifier: GPL-3.0-or-later
// The network layer's abilities as the simulator reports them, and the
// switch it refuses rather than fake.
#include "network_abilities.h"

namespace {

QString yesNo(bool on)
{
    return on ? QStringLiteral("yes") : QStringLiteral("no");
}

} // namespace

QString simNetworkDescription(const QString& name, const SimNetworkAbilities& abilities)
{
    return QString("network: %1 (arrival stamps: %2, resets: %3)")
        .arg(name, yesNo(abilities.arrivalStamps), yesNo(abilities.resets));
}

std::optional<QString> refusedSwitch(const SimOptions& options, const SimNetworkAbilities& abilities)
{
    // An orderly close in place of the reset asked for would pass a client's
    // reset handling untested, so the switch is refused instead.
    if (options.resetAfter > 0 && !abilities.resets)
        return QStringLiteral("--reset-after needs a connection reset (RST), which this build's sockets "
                              "cannot send; --close-after closes gracefully");
    return std::nullopt;
}
