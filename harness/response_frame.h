// SPDX-License-Identifier: GPL-3.0-or-later
// Request and response frames for the tests, built from the frame layout's names
// independently of the simulator's code.
#pragma once

#include "codec/frame_layout.h"

#include <QByteArray>

inline void setResponseChecksum(QByteArray& frame)
{
    int sum = 0;
    for (int i = frame::kCheckSumFirst; i <= frame::kCheckSumLast; ++i)
        sum += static_cast<quint8>(frame[i]);
    frame[frame::kCheckSumOffset] = static_cast<char>(sum & 0xFF);
}

// A well-formed response to `request`: its company ID, invoke ID and command,
// source B0, state and Code/No zero, its data echoed.
inline QByteArray responseTo(const QByteArray& request)
{
    const QByteArray data = request.mid(frame::kRequestDataOffset);
    QByteArray reply(frame::kResponseFixedSize, '\0');
    reply.replace(frame::kCompanyIdOffset, frame::kCompanyIdSize,
                  request.mid(frame::kCompanyIdOffset, frame::kCompanyIdSize));
    reply[frame::kSourceOffset] = char(0xB0);
    reply[frame::kInvokeIdOffset] = request[frame::kInvokeIdOffset];
    reply[frame::kInvokeIdOffset + 1] = request[frame::kInvokeIdOffset + 1];
    const int body = frame::kResponseFixedSize - frame::kHeaderSize + int(data.size());
    reply[frame::kLengthOffset] = char(body & 0xFF);
    reply[frame::kLengthHighOffset] = char(body >> 8);
    reply[frame::kCommandOffset] = request[frame::kCommandOffset];
    reply[frame::kCommandOffset + 1] = request[frame::kCommandOffset + 1];
    reply += data;
    setResponseChecksum(reply);
    return reply;
}

// A request with no data: the default company ID and source, `invokeId`
// (first byte high), command and data type as given.
inline QByteArray requestFrame(quint16 invokeId, quint16 command = 0x0001, quint16 dataType = 0x0002)
{
    QByteArray request(frame::kRequestFixedSize, '\0');
    request.replace(frame::kCompanyIdOffset, frame::kCompanyIdSize, frame::kDefaultCompanyId);
    request[frame::kSourceOffset] = char(frame::kDefaultSource);
    request[frame::kInvokeIdOffset] = char(invokeId >> 8);
    request[frame::kInvokeIdOffset + 1] = char(invokeId & 0xFF);
    request[frame::kLengthOffset] = char(frame::bodyLength(0));
    request[frame::kCommandOffset] = char(command & 0xFF);
    request[frame::kCommandOffset + 1] = char(command >> 8);
    request[frame::kDataTypeOffset] = char(dataType & 0xFF);
    request[frame::kDataTypeOffset + 1] = char(dataType >> 8);
    setResponseChecksum(request);
    return request;
}
