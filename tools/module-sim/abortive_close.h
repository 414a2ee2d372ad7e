// SPDX-License-Identifier: GPL-3.0-or-later
// Makes closing a TCP descriptor reset the connection, for --reset-after.
#pragma once

namespace sim {

// A zero linger time: the next close() sends RST instead of FIN.
void makeCloseAbortive(int fd);

} // namespace sim
