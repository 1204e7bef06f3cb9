#pragma once

// For tests run through tests/support/with-avahi-pair.sh.

#include <QProcess>
#include <QTest>

namespace sonavert::test {

/// Stops or starts one host's avahi-daemon ("a" or "b") through the set-up script; a failure
/// fails the calling test (wrap the call in CHECKED).
inline void controlAvahiDaemon(const QString& action, const QString& host) {
    QStringList command = qEnvironmentVariable("SONAVERT_AVAHI_CTL").split(QLatin1Char(' '));
    const QString program = command.takeFirst();
    QCOMPARE(QProcess::execute(program, command << action << host), 0);
}

} // namespace sonavert::test
