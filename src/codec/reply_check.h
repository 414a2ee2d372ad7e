// SPDX-License-Identifier: GPL-3.0-or-later
// The checks a reply must pass: whole, its header checksum right, its length
// field matching its bytes, and the request's company ID and invoke ID.
#pragma once

#include <QByteArray>
#include <QString>

// One bit per failed check.
enum ReplyFault : unsigned {
    kFaultShort = 1u << 0, // fewer bytes than a response's header and fixed body
    kFaultCheckSum = 1u << 1,
    kFaultLength = 1u << 2,
    kFaultCompanyId = 1u << 3,
    kFaultInvokeId = 1u << 4,
};
inline constexpr int kReplyFaultKinds = 5;

// The failed checks of `reply` as an answer to `request` (a whole request
// frame); 0 when it passes. A check whose bytes are missing is not made: a
// short reply fails as short, not as everything else.
unsigned checkReply(const QByteArray& request, const QByteArray& reply);

// What is wrong, for a person: "header checksum 1C, the header sums to 1D;
// invoke ID 0001, the request's is 0000".
QString describeFaults(const QByteArray& request, const QByteArray& reply, unsigned faults);

// The failed checks as words joined by '+', for a CSV column:
// "checksum+invoke-id"; "ok" when none failed.
QString faultWords(unsigned faults);

// The word of one fault bit, as faultWords uses it.
const char* faultWord(ReplyFault fault);
