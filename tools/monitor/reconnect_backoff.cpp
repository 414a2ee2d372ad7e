// SPDX-License-Identifier: GPL-3.0-or-later
// The reconnect wait's doubling.
#include "reconnect_backoff.h"

#include <algorithm>

int ReconnectBackoff::next()
{
    const int wait = m_nextMs;
    m_nextMs = std::min(kLongestMs, m_nextMs * 2);
    return wait;
}
