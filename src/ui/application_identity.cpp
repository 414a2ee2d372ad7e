// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/application_identity.h"

#include <QGuiApplication>

void applyApplicationIdentity()
{
    // The remembered texts go to ~/.config/vexa-test/vexa-test.conf.
    QCoreApplication::setOrganizationName(QStringLiteral("vexa-test"));
    QCoreApplication::setApplicationName(QStringLiteral("vexa-test"));
    QCoreApplication::setApplicationVersion(QLatin1String(VEXA_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("vexa-test"));
    // No application display name: Qt would append it to every title that
    // does not end in it, the message boxes' included, whose titles are
    // theirs alone.
}
