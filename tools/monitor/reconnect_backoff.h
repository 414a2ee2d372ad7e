// SPDX-License-Identifier: GPL-3.0-or-later
// How long a target waits before it tries its connection again: a second,
// doubling with each failure up to a minute, back to a second once a
// connection opens.
#pragma once

class ReconnectBackoff {
public:
    static constexpr int kFirstMs = 1000;
    static constexpr int kLongestMs = 60'000;

    // The wait before the next attempt; each call doubles the one after.
    int next();
    // Whether the wait has reached its longest, so a failure need not be
    // said again.
    bool atLongest() const { return m_nextMs >= kLongestMs; }
    void reset() { m_nextMs = kFirstMs; }

private:
    int m_nextMs = kFirstMs;
};
