#pragma once

#include <QStringList>

namespace sonavert {
class Clock;
}

namespace sonavert::cloud {

/// Runs sonavert-cloud as its arguments say: serve (the default), or one administration
/// command (account add, token issue/revoke, zone delete). Returns the exit code.
int runCommandLine(const QStringList& arguments, Clock& clock);

} // namespace sonavert::cloud
