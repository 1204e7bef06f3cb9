#include "src/shell/platform_facts.h"

#include <QFile>
#include <QStringList>
#include <QSysInfo>

namespace sonavert {

namespace {

QString readSmallFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // The files read here are a line or a few; a limit keeps an odd file from being read whole.
    constexpr qint64 kLimit = qint64{64} * 1024;
    return QString::fromUtf8(file.read(kLimit));
}

// os-release values may be quoted with single or double quotes.
QString unquoted(QString value) {
    value = value.trimmed();
    const bool isQuoted =
        value.size() >= 2 &&
        (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\'')) &&
        value.back() == value.front();
    if (isQuoted)
        value = value.mid(1, value.size() - 2);
    return value.replace(QStringLiteral("\\\""), QStringLiteral("\""));
}

} // namespace

QString prettyNameFromOsRelease(const QString& text) {
    const QString key = QStringLiteral("PRETTY_NAME=");
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        if (line.startsWith(key))
            return unquoted(line.mid(key.size()));
    }
    return {};
}

QString operatingSystemPrettyName() {
    // The second path is where os-release lives when /etc only links to it (or lacks it).
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        QString name = prettyNameFromOsRelease(readSmallFile(QString::fromLatin1(path)));
        if (!name.isEmpty())
            return name;
    }
    return QSysInfo::prettyProductName();
}

QString hardwareModel(const QString& productNameFile) {
    return readSmallFile(productNameFile).trimmed();
}

} // namespace sonavert
