// SPDX-License-Identifier: GPL-3.0-or-later
// Response frame construction for the simulator.
#include "response_builder.h"

#include "codec/request_encoder.h"

#include <algorithm>

namespace sim {

namespace {

// Copies request[offset, offset + size) into response at the same offset;
// bytes the request lacks stay zero.
void echoField(const QByteArray& request, QByteArray& response, int offset, int size)
{
    const int available = std::clamp(static_cast<int>(request.size()) - offset, 0, size);
    std::copy_n(request.constData() + offset, available, response.data() + offset);
}

} // namespace

QByteArray buildResponseWithData(const QByteArray& request, const QByteArray& data)
{
    const QByteArray payload = data.left(kMaxResponseDataBytes);
    QByteArray response(frame::kResponseFixedSize, '\0');

    echoField(request, response, frame::kCompanyIdOffset, frame::kCompanyIdSize);
    echoField(request, response, frame::kInvokeIdOffset, frame::kInvokeIdSize);
    echoField(request, response, frame::kCommandOffset, frame::kFieldPairSize);
    echoField(request, response, frame::kDataTypeOffset, frame::kFieldPairSize);
    response[frame::kSourceOffset] = static_cast<char>(kSimSource);

    const int bodyLength = kResponseBodyFixedSize + static_cast<int>(payload.size());
    response[frame::kLengthOffset] = static_cast<char>(bodyLength & 0xFF);
    response[frame::kLengthHighOffset] = static_cast<char>((bodyLength >> 8) & 0xFF);
    response[frame::kCheckSumOffset] =
        static_cast<char>(ByteSum(response, frame::kCheckSumFirst, frame::kCheckSumLast));

    response.append(payload);
    return response;
}

QByteArray buildResponse(const QByteArray& request)
{
    return buildResponseWithData(request, request.mid(frame::kRequestDataOffset));
}

QByteArray buildSizedResponse(const QByteArray& request, int totalSize)
{
    const int size = std::clamp(totalSize, 0, kMaxResponseSize);
    if (size <= frame::kResponseFixedSize)
        return buildResponseWithData(request, {}).left(size);

    QByteArray data = request.mid(frame::kRequestDataOffset);
    data.resize(size - frame::kResponseFixedSize, '\0');
    return buildResponseWithData(request, data);
}

QByteArray buildUnsolicitedResponse()
{
    QByteArray header;
    InitHeader(header);
    return buildResponse(header);
}

} // namespace sim
