#pragma once

#include <QFile>

namespace sonavert::test {

/// Writes `content` to `path`, replacing the file; false when it could not.
inline bool writeFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

/// The file's bytes; "<missing>" when it cannot be read, so that an absent file never passes
/// for an empty one.
inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace sonavert::test
