// SPDX-License-Identifier: GPL-3.0-or-later
// Writes hand-made TCP segments and UDP datagrams between two loopback
// endpoints into a pcap file, for tshark to read back.
#pragma once

#include <QByteArray>
#include <QString>

class PcapFile {
public:
    enum class Transport { Tcp, Udp };
    enum class Direction { ToModule, FromModule };

    // A client on 127.0.0.2 port 40000 talking to a module on 127.0.0.3
    // at `modulePort`.
    PcapFile(Transport transport, quint16 modulePort);

    // One segment or datagram, a millisecond after the one before; over TCP
    // the sequence numbers run on from that direction's last segment.
    void add(Direction direction, const QByteArray& payload);

    // The whole file: header and every packet so far.
    QByteArray bytes() const { return m_bytes; }
    bool writeTo(const QString& path) const;

private:
    Transport m_transport;
    quint16 m_modulePort;
    quint32 m_sequence[2] = {1000, 5000};
    quint32 m_microseconds = 0;
    QByteArray m_bytes;
};
