// SPDX-License-Identifier: GPL-3.0-or-later
// Settings of the test's own, in a folder that goes with it, so that a test
// of the window never reads or writes the user's.
#pragma once

#include <QCoreApplication>
#include <QSettings>
#include <QTemporaryDir>

class PrivateSettings {
public:
    // Before any QSettings exists.
    explicit PrivateSettings(const QString& applicationName)
    {
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
        QCoreApplication::setOrganizationName(QStringLiteral("vexa-test"));
        QCoreApplication::setApplicationName(applicationName);
    }
    bool isValid() const { return m_dir.isValid() && QSettings().fileName().startsWith(m_dir.path()); }
    QString filePath(const QString& name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
};
