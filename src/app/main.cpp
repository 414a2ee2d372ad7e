// SPDX-License-Identifier: GPL-3.0-or-later
// Starts the tool: one window, the event loop, nothing else.
#include "ui/form_main.h"

#include <QApplication>
#include <QIcon>

namespace {

QIcon windowIcon()
{
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/%1x%1/vexa-test.png").arg(size), QSize(size, size));
    // The installed theme icon wins where the desktop provides one.
    return QIcon::fromTheme(QStringLiteral("vexa-test"), icon);
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setWindowIcon(windowIcon());
    QGuiApplication::setDesktopFileName(QStringLiteral("vexa-test"));
    FormMain window;
    window.show();
    return QApplication::exec();
}
