// SPDX-License-Identifier: GPL-3.0-or-later
// module-sim: answers the test tool's requests on loopback like the
// controller's Ethernet module would, with switchable faults.
#include "signal_pipe.h"
#include "sim_network.h"
#include "sim_options.h"
#include "tcp_server.h"
#include "traffic_log.h"
#include "udp_server.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("module-sim");
    QCoreApplication::setApplicationVersion(QStringLiteral(VEXA_VERSION));

    QString error;
    const std::optional<SimOptions> options = parseSimOptions(QCoreApplication::arguments(), &error);
    if (!options) {
        std::fprintf(stderr, "module-sim: %s\n", qPrintable(error));
        return 2;
    }

    // A switch this build's network layer cannot carry out is refused like
    // a contradictory one, rather than run as something else.
    if (const std::optional<QString> refusal = refusedSwitch(*options, simNetworkAbilities())) {
        std::fprintf(stderr, "module-sim: %s\n", qPrintable(*refusal));
        return 2;
    }

    prepareSimNetwork();
    // SIGTERM or SIGINT quits the event loop, so the sockets are shut down
    // cleanly rather than mid-write; a second one while it does so waits too.
    SignalPipe quitOnSignal;
    SignalPipe::holdSecondSignal(true);
    QObject::connect(&quitOnSignal, &SignalPipe::interrupted, &app, &QCoreApplication::quit);
    if (!quitOnSignal.install())
        std::fprintf(stderr, "module-sim: cannot catch SIGTERM/SIGINT; they will end it abruptly\n");

    TcpServer tcp(*options);
    UdpServer udp(*options, makeUdpTransport());
    if (!tcp.listen(&error) || !udp.listen(&error)) {
        std::fprintf(stderr, "module-sim: %s\n", qPrintable(error));
        return 1;
    }

    // A run with random faults that showed something can be repeated only
    // with its seed, which without --seed came from the clock.
    if (options->jitterMs > 0 || options->lossPercent > 0)
        printLine(QString("module-sim: random faults with --seed %1").arg(options->seed));
    // What was bound, not what was asked for: scripts and tests that pass
    // port 0 read the picked ports from this line.
    printLine(QString("module-sim: listening on %1 tcp %2 udp %3")
                  .arg(tcp.address().toString())
                  .arg(tcp.port())
                  .arg(udp.port()));
    return QCoreApplication::exec();
}
