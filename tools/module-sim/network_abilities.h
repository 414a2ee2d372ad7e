// SPDX-License-Identifier: GPL-3.0-or-later
// What a network layer of the simulator can do, and the switches that need
// what it cannot.
#pragma once

#include "sim_options.h"

#include <QString>
#include <optional>

struct SimNetworkAbilities {
    // Delays count from the system's stamp of a request's arrival, not from
    // when the simulator read it.
    bool arrivalStamps = false;
    // --reset-after can end a connection with RST.
    bool resets = false;
};

// The line `--version` prints after the version: the layer and its abilities.
QString simNetworkDescription(const QString& name, const SimNetworkAbilities& abilities);
// Why `options` cannot run on a layer with `abilities`, or nothing.
std::optional<QString> refusedSwitch(const SimOptions& options, const SimNetworkAbilities& abilities);
