// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: the response display on arbitrary received bytes with an
// arbitrary byte count, as a socket could report it.
#include "codec/frame_display.h"
#include "codec/frame_layout.h"

#include <QByteArray>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

bool isUpperHex(const QString& text)
{
    return std::all_of(text.cbegin(), text.cend(),
                       [](QChar c) { return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'); });
}

// A field is either empty (it did not arrive whole) or its exact hex text.
void requireField(const QString& text, int offset, int size, int available)
{
    if (offset + size > available) {
        require(text.isEmpty());
        return;
    }
    require(text.size() == 2 * size);
    require(isUpperHex(text));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 4)
        return 0;
    qint32 count = 0;
    std::memcpy(&count, data, sizeof count);
    // A raw view of libFuzzer's exactly sized copy: a read one byte past the
    // frame lands outside the allocation, where AddressSanitizer sees it.
    const QByteArray frame =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data + 4), static_cast<qsizetype>(size - 4));
    const int available = static_cast<int>(std::clamp<qint64>(count, 0, frame.size()));

    const HeaderTexts header = headerTexts(frame, count);
    const ResponseTexts texts = responseTexts(frame, count);

    require(header.comId == texts.header.comId);
    require(header.src == texts.header.src);
    require(header.invokeId == texts.header.invokeId);
    require(header.length == texts.header.length);
    require(header.checkSum == texts.header.checkSum);

    if (available >= frame::kCompanyIdSize) {
        // The ten bytes, less their trailing zero bytes, one character each.
        QByteArray comId(frame.constData(), frame::kCompanyIdSize);
        while (comId.endsWith('\0'))
            comId.chop(1);
        require(header.comId == QString::fromLatin1(comId));
    } else {
        require(header.comId.isEmpty());
    }
    requireField(header.src, frame::kSourceOffset, 1, available);
    requireField(header.invokeId, frame::kInvokeIdOffset, frame::kInvokeIdSize, available);
    requireField(header.length, frame::kLengthOffset, frame::kLengthSize, available);
    requireField(header.checkSum, frame::kCheckSumOffset, 1, available);
    requireField(texts.cmnd, frame::kCommandOffset, frame::kFieldPairSize, available);
    requireField(texts.dataType, frame::kDataTypeOffset, frame::kFieldPairSize, available);
    requireField(texts.state, frame::kStateOffset, frame::kFieldPairSize, available);
    requireField(texts.code, frame::kCodeOffset, frame::kFieldPairSize, available);

    const int dataBytes = std::max(0, available - frame::kResponseDataOffset);
    require(texts.data.size() == 2 * dataBytes);
    require(isUpperHex(texts.data));
    if (dataBytes > 0) {
        const QByteArray expected = frame.mid(frame::kResponseDataOffset, dataBytes).toHex().toUpper();
        require(texts.data == QString::fromLatin1(expected));
    }
    return 0;
}
