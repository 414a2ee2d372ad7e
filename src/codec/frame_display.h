// SPDX-License-Identifier: GPL-3.0-or-later
// Turns frame bytes into the texts of the header and response boxes.
// Pure: bytes in, texts out; the window writes them into its boxes.
#pragma once

#include <QByteArray>
#include <QString>

// Exactly two upper-case hexadecimal digits.
QString HexByte(quint8 byte);

// Hex of the field of `size` bytes at `offset`, or the empty text when the
// frame ends before the field does.
QString hexFieldText(const QByteArray& frame, int offset, int size);

// The five header fields as shown: company ID (up to ten characters,
// ISO-8859-1, trailing zero bytes left off, any other zero byte giving
// U+0000), source, invoke ID, length and checksum in hex.
struct HeaderTexts {
    QString comId;
    QString src;
    QString invokeId;
    QString length;
    QString checkSum;
};

// The ten response boxes.
struct ResponseTexts {
    HeaderTexts header;
    QString cmnd;
    QString dataType;
    QString state;
    QString code;
    QString data; // bytes from offset 30 up to the count, no separators
};

// The header of the first `count` bytes of `frame`. A field whose bytes did
// not all arrive gets the empty text; a count beyond the frame is capped at
// its size, so nothing past the received bytes is read.
HeaderTexts headerTexts(const QByteArray& frame, qint32 count);

// Every response field of one arrival, under the same rules as headerTexts.
ResponseTexts responseTexts(const QByteArray& frame, qint32 count);
