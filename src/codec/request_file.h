// SPDX-License-Identifier: GPL-3.0-or-later
// The request file (.vexa): one request's texts, and where to send it, as a
// small JSON document that the window and the probe both read and write.
#pragma once

#include "codec/request_encoder.h"

#include <QByteArray>
#include <QString>
#include <array>
#include <optional>

inline constexpr char kRequestFileSuffix[] = "vexa";
inline constexpr char kRequestFileMimeType[] = "application/x-vexa-request";
// The format version this build writes, and the newest it reads.
inline constexpr int kRequestFileVersion = 1;
// Replies are waited for from 1 ms to an hour.
inline constexpr int kMinReplyTimeoutMs = 1;
inline constexpr int kMaxReplyTimeoutMs = 3'600'000;

enum class RequestProtocol { Tcp, Udp };

// A request as the window shows it: the seven texts, the address and the
// protocol.
struct RequestSetup {
    RequestTexts texts;
    QString host;
    RequestProtocol protocol = RequestProtocol::Tcp;
};

bool operator==(const RequestSetup& a, const RequestSetup& b);
inline bool operator!=(const RequestSetup& a, const RequestSetup& b)
{
    return !(a == b);
}

// What a request file holds. Every text the file leaves out is the default
// request's, so a file always gives a whole request; hasText tells which
// ones the file itself had (a writer writes all seven).
struct RequestFile {
    RequestTexts texts;
    std::array<bool, 7> hasText{}; // by RequestField
    std::optional<RequestProtocol> protocol;
    std::optional<QString> host;
    std::optional<quint16> port; // the protocol's own port when absent
    std::optional<int> replyTimeoutMs;

    bool has(RequestField field) const { return hasText[static_cast<size_t>(field)]; }
};

// A file read: its values, or why it cannot be used (naming the field the
// way the window labels it, as the encoder's messages do).
struct RequestFileRead {
    std::optional<RequestFile> file;
    QString error;
};

// Reads a request file from its bytes. Refuses anything that is not a
// request file, a newer format version, a value of the wrong type or out of
// range, an unknown field (a misspelt one would silently send the default),
// and a text the window could not send or hold.
RequestFileRead readRequestFile(const QByteArray& bytes);

// The file's bytes: indented JSON with every text, the protocol, the host and
// whichever of port and reply timeout are set, keys in a fixed order.
QByteArray writeRequestFile(const RequestFile& file);

// readRequestFile on the file at `path`; a file that cannot be read, or is
// far too big to be one, is refused the same way. The error does not repeat
// the path.
RequestFileRead loadRequestFile(const QString& path);

// Writes the file whole or not at all (QSaveFile): on failure the file that
// was there is left as it was. Texts that could not be read back (that
// cannot be sent) are refused before anything is written. Returns why it
// failed, without the path; nothing on success.
std::optional<QString> saveRequestFile(const QString& path, const RequestFile& file);
