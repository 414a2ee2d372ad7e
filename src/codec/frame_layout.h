// SPDX-License-Identifier: GPL-3.0-or-later
// The module's frame format: every offset, width and fixed size of a request
// and a response frame, and the ports the module listens on. The one place
// that knows the layout; everything else uses these names.
#pragma once

#include <cstdint>

namespace frame {

// Header, shared by requests and responses (20 bytes).
inline constexpr int kCompanyIdOffset = 0;
inline constexpr int kCompanyIdSize = 10;
inline constexpr int kReservedOffset = 10; // bytes 10..12, always zero
inline constexpr int kReservedSize = 3;
inline constexpr int kSourceOffset = 13;
inline constexpr int kInvokeIdOffset = 14;
inline constexpr int kInvokeIdSize = 2;
// Length is a 16-bit count, low byte first; the request writes only the low
// byte (the body never exceeds 255 bytes), the high byte stays zero.
inline constexpr int kLengthOffset = 16;
inline constexpr int kLengthSize = 2;
inline constexpr int kLengthHighOffset = 17;
inline constexpr int kHeaderPadOffset = 18; // always zero
inline constexpr int kCheckSumOffset = 19;
inline constexpr int kHeaderSize = 20;

// The checksum is the sum modulo 256 of every header byte before it.
inline constexpr int kCheckSumFirst = 0;
inline constexpr int kCheckSumLast = kCheckSumOffset - 1;

// Body, common start of requests and responses.
inline constexpr int kCommandOffset = 20;
inline constexpr int kDataTypeOffset = 22;
inline constexpr int kBodyPadOffset = 24; // 24..25, zero in a request
inline constexpr int kFieldPairSize = 2;

// Request body: Var No, then data.
inline constexpr int kVarNoOffset = 26;
inline constexpr int kRequestDataOffset = 28;
inline constexpr int kRequestFixedSize = kRequestDataOffset; // 28
inline constexpr int kBodyFixedSize = kRequestFixedSize - kHeaderSize; // 8

// Response body: state and Code/No take the place of Var No, data follows.
inline constexpr int kStateOffset = 26;
inline constexpr int kCodeOffset = 28;
inline constexpr int kResponseDataOffset = 30;
inline constexpr int kResponseFixedSize = kResponseDataOffset; // 30

// The length byte holds 8 + n, so a request carries at most 247 data bytes.
inline constexpr int kMaxLengthByte = 255;
inline constexpr int kMaxDataBytes = kMaxLengthByte - kBodyFixedSize; // 247
inline constexpr int kMaxRequestSize = kRequestFixedSize + kMaxDataBytes; // 275

// The body length carried in the length field: fixed body plus data bytes.
constexpr int bodyLength(int dataBytes)
{
    return kBodyFixedSize + dataBytes;
}

// The module's ports.
inline constexpr std::uint16_t kTcpPort = 2004;
inline constexpr std::uint16_t kUdpPort = 2005;

// Company ID and source that a fresh request header carries.
inline constexpr char kDefaultCompanyId[] = "KORV-TAMBE";
inline constexpr std::uint8_t kDefaultSource = 0x33;

} // namespace frame
