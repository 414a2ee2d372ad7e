// SPDX-License-Identifier: GPL-3.0-or-later
// Turns the texts of the request boxes into the bytes of one request frame.
// Pure: texts in, bytes out; the window reads the boxes and sends the frame.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>
#include <optional>

// The seven texts a request is built from, as typed.
struct RequestTexts {
    QString comId; // one byte per character, ISO-8859-1
    QString src; // one hexadecimal byte
    QString invokeId; // two hexadecimal pairs, taken only at four characters
    QString cmnd; // two pairs each
    QString dataType;
    QString varNo;
    QString data; // pairs, in frame order
};

// Creates the buffer anew with a zeroed header carrying the default company
// ID and source.
void InitHeader(QByteArray& sendBuffer);

// The number of data bytes a text of hexadecimal pairs gives: half its
// length, a tie rounded to the even neighbour (1, 3, 5, 7 give 0, 2, 2, 4).
int HalfLength(QStringView text);

// Sum of bytes[first..last] modulo 256; 0 when first > last.
quint8 ByteSum(const QByteArray& bytes, int first, int last);

// The seven request texts, in the order of RequestTexts.
enum class RequestField { ComId, Src, InvokeId, Cmnd, DataType, VarNo, Data };

// The first text that cannot be sent, and why.
struct WrongRequestText {
    RequestField field;
    QString message; // as checkRequestTexts gives it
};

// Which text cannot be sent, checked in the order of RequestTexts; nothing
// when every text converts.
std::optional<WrongRequestText> findWrongRequestText(const RequestTexts& texts);

// Why the texts cannot be sent, naming the field by its label and quoting
// the text; nothing when every text converts.
std::optional<QString> checkRequestTexts(const RequestTexts& texts);

// Writes company ID, source and (at exactly four characters) invoke ID into
// the header. The texts must have passed checkRequestTexts.
void LoadHeaderFields(const RequestTexts& texts, QByteArray& sendBuffer);

// Rebuilds the whole request in `sendBuffer` (28 + n bytes; the invoke ID
// is kept when its text is not four characters, the always-zero header bytes
// are zeroed). Every text is checked before any byte is written,
// so on failure the buffer is exactly as it was and the message is returned.
std::optional<QString> encodeRequest(const RequestTexts& texts, QByteArray& sendBuffer);

// Writes `invokeId` (first byte high, as the text reads) into a whole
// header and brings its checksum up to date; a buffer shorter than a header
// is left alone.
void setInvokeId(QByteArray& frame, quint16 invokeId);

// The invoke ID a frame carries, first byte high; nothing for fewer bytes
// than reach it.
std::optional<quint16> invokeIdOf(QByteArrayView frame);
