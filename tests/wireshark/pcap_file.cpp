// SPDX-License-Identifier: GPL-3.0-or-later
// A pcap file of raw IPv4 packets, built byte by byte.
#include "pcap_file.h"

#include <QFile>
#include <QtEndian>

namespace {

constexpr quint32 kPcapMagic = 0xa1b2c3d4;
constexpr quint32 kLinkTypeRawIp = 101;
constexpr quint16 kClientPort = 40000;
constexpr quint8 kClientAddress[4] = {127, 0, 0, 2};
constexpr quint8 kModuleAddress[4] = {127, 0, 0, 3};
constexpr quint8 kProtocolTcp = 6;
constexpr quint8 kProtocolUdp = 17;
constexpr quint8 kTcpPushAck = 0x18;

void appendLe32(QByteArray& out, quint32 value)
{
    char bytes[4];
    qToLittleEndian(value, bytes);
    out.append(bytes, 4);
}

void appendBe16(QByteArray& out, quint16 value)
{
    char bytes[2];
    qToBigEndian(value, bytes);
    out.append(bytes, 2);
}

void appendBe32(QByteArray& out, quint32 value)
{
    char bytes[4];
    qToBigEndian(value, bytes);
    out.append(bytes, 4);
}

// The Internet checksum of an IPv4 header; tshark does not check it by
// default, but a wrong one would make a reader of the file stumble.
quint16 ipChecksum(const QByteArray& header)
{
    quint32 sum = 0;
    for (int i = 0; i + 1 < header.size(); i += 2)
        sum += (quint8(header[i]) << 8) | quint8(header[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<quint16>(~sum);
}

} // namespace

PcapFile::PcapFile(Transport transport, quint16 modulePort)
    : m_transport(transport)
    , m_modulePort(modulePort)
{
    appendLe32(m_bytes, kPcapMagic);
    m_bytes.append("\x02\x00\x04\x00", 4); // version 2.4
    appendLe32(m_bytes, 0); // time zone
    appendLe32(m_bytes, 0); // time stamp accuracy
    appendLe32(m_bytes, 65535); // snapshot length
    appendLe32(m_bytes, kLinkTypeRawIp);
}

void PcapFile::add(Direction direction, const QByteArray& payload)
{
    const bool toModule = direction == Direction::ToModule;
    const quint16 sourcePort = toModule ? kClientPort : m_modulePort;
    const quint16 destinationPort = toModule ? m_modulePort : kClientPort;

    QByteArray transport;
    appendBe16(transport, sourcePort);
    appendBe16(transport, destinationPort);
    if (m_transport == Transport::Tcp) {
        quint32& sequence = m_sequence[toModule ? 0 : 1];
        appendBe32(transport, sequence);
        appendBe32(transport, m_sequence[toModule ? 1 : 0]);
        transport.append(char(5 << 4)); // header length: five words
        transport.append(char(kTcpPushAck));
        appendBe16(transport, 65535); // window
        appendBe16(transport, 0); // checksum, not checked
        appendBe16(transport, 0); // urgent pointer
        sequence += static_cast<quint32>(payload.size());
    } else {
        appendBe16(transport, static_cast<quint16>(8 + payload.size()));
        appendBe16(transport, 0); // no checksum
    }
    transport.append(payload);

    QByteArray ip;
    ip.append(char(0x45)); // IPv4, five words of header
    ip.append(char(0));
    appendBe16(ip, static_cast<quint16>(20 + transport.size()));
    appendBe32(ip, 0); // identification, no fragments
    ip.append(char(64)); // time to live
    ip.append(char(m_transport == Transport::Tcp ? kProtocolTcp : kProtocolUdp));
    appendBe16(ip, 0);
    ip.append(reinterpret_cast<const char*>(toModule ? kClientAddress : kModuleAddress), 4);
    ip.append(reinterpret_cast<const char*>(toModule ? kModuleAddress : kClientAddress), 4);
    qToBigEndian(ipChecksum(ip), ip.data() + 10);
    ip.append(transport);

    m_microseconds += 1000;
    appendLe32(m_bytes, 1'700'000'000 + m_microseconds / 1'000'000);
    appendLe32(m_bytes, m_microseconds % 1'000'000);
    appendLe32(m_bytes, static_cast<quint32>(ip.size()));
    appendLe32(m_bytes, static_cast<quint32>(ip.size()));
    m_bytes.append(ip);
}

bool PcapFile::writeTo(const QString& path) const
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(m_bytes) == m_bytes.size() && file.flush();
}
