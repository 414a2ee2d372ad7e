// SPDX-License-Identifier: GPL-3.0-or-later
// Builds the simulator's response frames from request bytes; pure functions.
#pragma once

#include "codec/frame_layout.h"

#include <QByteArray>
#include <cstdint>

namespace sim {

// Source byte the simulator puts in every response header, distinct from the
// request default so a test can tell who wrote a frame.
inline constexpr std::uint8_t kSimSource = 0xB0;

// A response body holds command, data type, pad, state and Code/No before data.
inline constexpr int kResponseBodyFixedSize = frame::kResponseFixedSize - frame::kHeaderSize;
// The largest body length the length field can hold.
inline constexpr int kMaxBodyLength = (1 << (8 * frame::kLengthSize)) - 1;
inline constexpr int kMaxResponseDataBytes = kMaxBodyLength - kResponseBodyFixedSize;
inline constexpr int kMaxResponseSize = frame::kHeaderSize + kMaxBodyLength;

// The normal answer: company ID, invoke ID, command and data type echoed from
// the request, state and Code/No zero, and the request's data (everything
// from the request data offset on) as data. Fields a short request lacks are
// zero. Data beyond what the length field can count is dropped.
QByteArray buildResponse(const QByteArray& request);

// As buildResponse, but with the given data.
QByteArray buildResponseWithData(const QByteArray& request, const QByteArray& data);

// A response of exactly totalSize bytes: the request data, cut or padded with
// zeros to fit, and a length field that matches. Sizes below the fixed
// response size give the first totalSize bytes of an empty-data response.
QByteArray buildSizedResponse(const QByteArray& request, int totalSize);

// A well-formed response nobody asked for: the answer to a fresh header
// (default company ID, invoke ID zero) with command and data type zero and
// no data.
QByteArray buildUnsolicitedResponse();

} // namespace sim
