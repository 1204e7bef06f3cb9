#include "src/desktop/profile.h"

#include <QDir>
#include <QStandardPaths>

namespace sonavert {

Profile Profile::inDirectory(const QString& directory) {
    const QString absolute = QDir(directory).absolutePath();
    return {absolute, absolute};
}

Profile Profile::standard() {
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                           QStringLiteral("/sonavert");
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                         QStringLiteral("/sonavert");
    return {config, data};
}

QString Profile::defaultsFile() const {
    QDir().mkpath(configDirectory);
    return configDirectory + QStringLiteral("/defaults.json");
}

} // namespace sonavert
