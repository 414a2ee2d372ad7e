// SPDX-License-Identifier: GPL-3.0-or-later
// Where a client socket's datagrams go: the remote host looked up once per
// host text, in the background, with the latest datagram held meanwhile;
// and which sender's datagrams count as replies. Shared by the backends.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

class QHostInfo;
class QObject;

// The host text as a lookup takes it: an IPv6 address in brackets, as
// written in URLs, loses them; any other text is left alone, so "[name]"
// still fails.
QString hostForLookup(const QString& text);

class UdpDestination {
public:
    enum class State { NotStarted, Pending, Resolved, Failed };

    // A datagram held for the lookup, and the port it was sent to.
    struct Held {
        QByteArray bytes;
        std::uint16_t port = 0;
    };
    // Called when a lookup ends with a datagram held: send it to address(),
    // or report failure() when the lookup failed.
    using HeldDone = std::function<void(const Held&)>;

    // `context` receives the lookup's answer on its thread.
    UdpDestination(QObject* context, HeldDone heldDone);
    ~UdpDestination();
    UdpDestination(const UdpDestination&) = delete;
    UdpDestination& operator=(const UdpDestination&) = delete;

    // A new host: any lookup and held datagram of the old one are dropped.
    void setHost(const QString& host);
    // Starts the lookup unless it has started; an address needs none.
    void resolve();
    State state() const { return m_state; }
    const QHostAddress& address() const { return m_address; }
    const QString& failure() const { return m_failure; }

    // Only the latest datagram is worth sending once the address is known.
    void hold(const QByteArray& bytes, std::uint16_t port) { m_held = Held{bytes, port}; }
    bool holds() const { return m_held.has_value(); }
    void dropHeld() { m_held.reset(); }

    // Where the last datagram went: the only sender whose replies count.
    void sentTo(const QHostAddress& address, std::uint16_t port);
    void forgetPeer();
    bool hasPeer() const { return m_peerPort != 0; }
    bool isFromPeer(const QHostAddress& sender, std::uint16_t senderPort) const;

private:
    void lookupDone(quint64 serial, const QHostInfo& info);

    QObject* m_context;
    HeldDone m_heldDone;
    QString m_host;
    State m_state = State::NotStarted;
    // Each lookup has a serial, so the answer to a superseded one is ignored.
    quint64 m_serial = 0;
    int m_lookupId = -1;
    QHostAddress m_address;
    QString m_failure;
    std::optional<Held> m_held;
    QHostAddress m_peerAddress;
    std::uint16_t m_peerPort = 0;
};
