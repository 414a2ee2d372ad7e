// SPDX-License-Identifier: GPL-3.0-or-later
// The texts a fresh window shows in its request boxes: the request the tool
// sends when nobody has typed anything, as RequestTexts takes them.
#pragma once

#include "codec/frame_layout.h"

namespace frame {

// Com ID, Source, Invoke ID, Command, Data Type, Var No and Data as typed:
// hexadecimal pairs in frame order, so "5400" is the bytes 54 00. Encoded,
// they give a 38-byte request (ten data bytes).
inline constexpr char kDefaultComIdText[] = "KORV-TAMBE";
inline constexpr char kDefaultSrcText[] = "33";
inline constexpr char kDefaultInvokeIdText[] = "0000";
inline constexpr char kDefaultCmndText[] = "5400";
inline constexpr char kDefaultDataTypeText[] = "0100";
inline constexpr char kDefaultVarNoText[] = "1000";
inline constexpr char kDefaultDataText[] = "0800255157302E302E30";

namespace detail {

constexpr bool sameText(const char* a, const char* b)
{
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

constexpr int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace detail

// The boxes show what a fresh header already holds, so sending the defaults
// changes no header byte that InitHeader laid.
static_assert(detail::sameText(kDefaultComIdText, kDefaultCompanyId));
static_assert(sizeof kDefaultSrcText == 3
              && detail::hexDigit(kDefaultSrcText[0]) * 16 + detail::hexDigit(kDefaultSrcText[1])
                  == kDefaultSource);

} // namespace frame
