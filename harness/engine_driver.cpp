// SPDX-License-Identifier: GPL-3.0-or-later
// Records a session engine's events.
#include "harness/engine_driver.h"

#include <QTest>

EngineDriver::EngineDriver(ClientSocket::Protocol protocol)
{
    (void)engine.SetProtocol(protocol);
    QObject::connect(&engine, &SessionEngine::connected, &engine, [this] { ++connected; });
    QObject::connect(&engine, &SessionEngine::requestSent, &engine,
                     [this](const SentRequest& request) { sent.append(request); });
    QObject::connect(&engine, &SessionEngine::replyArrived, &engine,
                     [this](const ArrivedReply& reply) { replies.append(reply); });
    QObject::connect(&engine, &SessionEngine::refused, &engine,
                     [this](const QString& reason) { refusals.append(reason); });
    QObject::connect(&engine, &SessionEngine::sessionEnding, &engine, [this](const SocketEnd& end) {
        static const char* const kReasons[] = {"refused", "closed", "reset", "failed"};
        const QString reason = QLatin1String(kReasons[static_cast<int>(end.reason)]);
        endings.append(end.description.isEmpty() ? reason : reason + QStringLiteral(": ") + end.description);
    });
    QObject::connect(&engine, &SessionEngine::ended, &engine, [this] { ++ended; });
}

bool EngineDriver::open(const QString& host, quint16 port)
{
    if (engine.protocol() == ClientSocket::Protocol::Udp) {
        engine.Start(host, port);
        return true;
    }
    if (engine.Connect(host, port))
        return false;
    return QTest::qWaitFor([this] { return connected > 0 || ended > 0; }, 5000) && connected > 0;
}

QStringList EngineDriver::shownTimes() const
{
    QStringList times;
    for (const ArrivedReply& reply : replies) {
        if (reply.timed)
            times << QString::number(reply.elapsed);
    }
    return times;
}
