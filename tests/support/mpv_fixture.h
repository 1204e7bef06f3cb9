#pragma once

#include "audio_fixtures.h"

#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

namespace sonavert::test {

/// mpv with its MPRIS plugin, as the tests run it: no configuration of the user's (which
/// would load the plugin twice), no audio device, idle until told what to play.
struct MpvFixture {
    static QString plugin() { return QStringLiteral("/usr/lib/mpv-mpris/mpris.so"); }

    static QStringList arguments() {
        return {QStringLiteral("--no-config"), QStringLiteral("--script=") + plugin(),
                QStringLiteral("--idle=yes"),  QStringLiteral("--no-video"),
                QStringLiteral("--ao=null"),   QStringLiteral("--no-terminal")};
    }

    /// Why mpv tests cannot run here; empty when they can.
    static QString skipReason() {
        if (QStandardPaths::findExecutable(QStringLiteral("mpv")).isEmpty())
            return QStringLiteral("mpv is not installed");
        if (!QFileInfo::exists(plugin()))
            return QStringLiteral("mpv-mpris is not installed (no ") + plugin() +
                   QStringLiteral(")");
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
            return QStringLiteral("dbus-daemon is not installed");
        const QStringList missing = AudioFixtures::missingTools();
        if (!missing.isEmpty())
            return QStringLiteral("cannot make test audio without ") +
                   missing.join(QStringLiteral(", "));
        return {};
    }
};

} // namespace sonavert::test
