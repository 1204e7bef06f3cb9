#pragma once

#include <QByteArray>
#include <QString>
#include <variant>
#include <vector>

namespace sonavert {

/// One argument of a log format string.
using LogValue = std::variant<QString, qint64, double, bool>;

/// How private values are shown: redacted (the default) or in clear when the user has turned
/// private logging on. `salt` makes mask.hash tokens stable within a run and unlinkable across
/// runs.
struct LogPrivacy {
    bool showPrivate = false;
    QByteArray salt;
};

/// Renders a unified-log format string: `%{public}s`, `%{private}s`,
/// `%{private,mask.hash}s`, `%{public}ld`, `%{public}f`, `%{bool,public}d` and their plain
/// forms. Public values print verbatim; private ones as "<private>"; hash-masked ones as
/// "<mask.hash: 'TOKEN'>". Without a privacy flag, text is private and numbers are public.
/// `%f` prints six decimals, `%d`/`%ld` an integer, `bool` prints true/false. A missing
/// argument renders as "<missing>" so a wrong call is visible in the output.
QString renderLogFormat(const char* format, const std::vector<LogValue>& args,
                        const LogPrivacy& privacy);

/// The token that stands for `value` in a mask.hash rendering.
QString maskHashToken(const QString& value, const QByteArray& salt);

} // namespace sonavert
