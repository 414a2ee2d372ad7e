// SPDX-License-Identifier: GPL-3.0-or-later
// libFuzzer target: reply assembly on an arbitrary byte stream cut into
// arbitrary arrivals, driven as the session drives it.
#include "codec/frame_layout.h"
#include "session/reply_assembler.h"

#include <QByteArray>
#include <QByteArrayView>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

constexpr qsizetype kMinReplyLength = frame::kResponseFixedSize - frame::kHeaderSize;

qsizetype lengthField(const QByteArray& reply)
{
    const auto low = static_cast<unsigned char>(reply[frame::kLengthOffset]);
    const auto high = static_cast<unsigned char>(reply[frame::kLengthHighOffset]);
    return static_cast<qsizetype>(low | (high << 8));
}

// The state between arrivals: nothing of a whole reply may be left waiting.
void requireIncomplete(const ReplyAssembler& assembler)
{
    const QByteArray& reply = assembler.current();
    require(assembler.isEmpty() == reply.isEmpty());
    if (reply.size() < frame::kHeaderSize) {
        require(assembler.expectedSize() == -1);
        return;
    }
    const qsizetype length = lengthField(reply);
    require(length >= kMinReplyLength);
    require(assembler.expectedSize() == frame::kHeaderSize + length);
    require(reply.size() < assembler.expectedSize());
}

} // namespace

// Input: one byte n (low 4 bits), then n piece sizes (0..255, used in turn
// and again from the first), then the stream. Without sizes, or with only
// zero sizes, the stream arrives whole.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::size_t cutCount = std::min<std::size_t>(data[0] & 0x0F, size - 1);
    const std::uint8_t* cuts = data + 1;
    const std::uint8_t* stream = cuts + cutCount;
    const std::size_t streamSize = size - 1 - cutCount;
    const bool anyCut = std::any_of(cuts, cuts + cutCount, [](std::uint8_t c) { return c != 0; });

    ReplyAssembler assembler;
    QByteArray joined;
    std::size_t from = 0;
    std::size_t turn = 0;
    do {
        std::size_t pieceSize = streamSize - from;
        if (anyCut)
            pieceSize = std::min<std::size_t>(cuts[turn++ % cutCount], pieceSize);
        // Each arrival in an allocation of its own size, so that a read past
        // its end lands where AddressSanitizer sees it.
        std::unique_ptr<char[]> piece(new char[pieceSize]);
        if (pieceSize > 0)
            std::memcpy(piece.get(), stream + from, pieceSize);
        from += pieceSize;
        const QByteArrayView arrival(piece.get(), static_cast<qsizetype>(pieceSize));

        qsizetype offset = 0;
        for (;;) {
            const qsizetype before = assembler.current().size();
            const ReplyAssembler::Step step = assembler.add(arrival, offset);
            require(step.taken >= 0 && step.taken <= arrival.size() - offset);
            require(assembler.current().size() == before + step.taken);
            offset += step.taken;
            if (!step.complete) {
                // A reply still short of its end takes every byte offered.
                require(offset == arrival.size());
                requireIncomplete(assembler);
                break;
            }
            const QByteArray& reply = assembler.current();
            require(reply.size() >= frame::kHeaderSize);
            require(reply.size() == assembler.expectedSize());
            const qsizetype length = lengthField(reply);
            if (length >= kMinReplyLength) {
                require(reply.size() == frame::kHeaderSize + length);
            } else {
                // A nonsense length ends its reply with the arrival that
                // completed its header, taking the rest of that arrival.
                require(before < frame::kHeaderSize);
                require(offset == arrival.size());
            }
            // A complete reply takes nothing more until the next begins.
            const ReplyAssembler::Step again = assembler.add(arrival, offset);
            require(again.taken == 0 && again.complete);

            joined += reply;
            assembler.startNext();
            require(assembler.isEmpty() && assembler.expectedSize() == -1);
            if (offset == arrival.size())
                break;
        }
    } while (from < streamSize);

    joined += assembler.current();
    require(joined.size() == static_cast<qsizetype>(streamSize));
    require(streamSize == 0 || std::memcmp(joined.constData(), stream, streamSize) == 0);
    return 0;
}
