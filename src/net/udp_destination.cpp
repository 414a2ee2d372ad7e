// SPDX-License-Identifier: GPL-3.0-or-later
// The UDP destination's lookup, held datagram and reply filter.
#include "net/udp_destination.h"

#include <QHostInfo>

#include <utility>

QString hostForLookup(const QString& text)
{
    if (text.size() > 2 && text.startsWith(QLatin1Char('[')) && text.endsWith(QLatin1Char(']'))) {
        const QString inner = text.mid(1, text.size() - 2);
        QHostAddress address;
        if (address.setAddress(inner) && address.protocol() == QAbstractSocket::IPv6Protocol)
            return inner;
    }
    return text;
}

UdpDestination::UdpDestination(QObject* context, HeldDone heldDone)
    : m_context(context)
    , m_heldDone(std::move(heldDone))
{
}

UdpDestination::~UdpDestination()
{
    if (m_lookupId >= 0)
        QHostInfo::abortHostLookup(m_lookupId);
}

void UdpDestination::setHost(const QString& host)
{
    if (m_lookupId >= 0)
        QHostInfo::abortHostLookup(m_lookupId);
    m_lookupId = -1;
    ++m_serial;
    m_host = host;
    m_state = State::NotStarted;
    m_address.clear();
    m_failure.clear();
    // A held datagram was meant for the old destination.
    m_held.reset();
}

void UdpDestination::resolve()
{
    if (m_state != State::NotStarted)
        return;
    const QString host = hostForLookup(m_host);
    if (m_address.setAddress(host)) {
        m_state = State::Resolved;
        return;
    }
    // A name server that does not answer must not freeze the window: the
    // lookup runs in Qt's resolver threads and its answer comes as an event.
    m_state = State::Pending;
    const quint64 serial = ++m_serial;
    m_lookupId = QHostInfo::lookupHost(host, m_context,
                                       [this, serial](const QHostInfo& info) { lookupDone(serial, info); });
}

void UdpDestination::lookupDone(quint64 serial, const QHostInfo& info)
{
    if (serial != m_serial)
        return;
    m_lookupId = -1;
    const QList<QHostAddress> addresses = info.addresses();
    if (info.error() != QHostInfo::NoError || addresses.isEmpty()) {
        m_state = State::Failed;
        m_failure = info.error() != QHostInfo::NoError
            ? info.errorString()
            : QStringLiteral("Host %1 has no address.").arg(m_host);
    } else {
        // The module speaks IPv4; "localhost" lists ::1 first on many
        // systems, where nothing of the module's would be listening.
        m_address = addresses.first();
        for (const QHostAddress& address : addresses) {
            if (address.protocol() == QAbstractSocket::IPv4Protocol) {
                m_address = address;
                break;
            }
        }
        m_state = State::Resolved;
    }
    if (std::optional<Held> held = std::exchange(m_held, std::nullopt))
        m_heldDone(*held);
}

void UdpDestination::sentTo(const QHostAddress& address, std::uint16_t port)
{
    m_peerAddress = address;
    m_peerPort = port;
}

void UdpDestination::forgetPeer()
{
    m_peerAddress.clear();
    m_peerPort = 0;
}

bool UdpDestination::isFromPeer(const QHostAddress& sender, std::uint16_t senderPort) const
{
    // A dual-stack socket reports an IPv4 sender in its IPv6 form.
    return m_peerPort != 0 && senderPort == m_peerPort
        && sender.isEqual(m_peerAddress, QHostAddress::ConvertV4MappedToIPv4);
}
