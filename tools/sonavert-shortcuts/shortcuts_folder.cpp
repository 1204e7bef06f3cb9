#include "tools/sonavert-shortcuts/shortcuts_folder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <algorithm>
#include <cstdio>

namespace sonavert::shortcuts {

namespace {

constexpr QFileDevice::Permissions kOwnerOnly =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;

Error folderError(int code, const QString& text) {
    return Error{QStringLiteral("ShortcutsFolder"), code, text, {}, {}, {}};
}

bool isListable(const QString& name) {
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')) || name.contains(QLatin1Char('/')))
        return false;
    return std::none_of(name.cbegin(), name.cend(),
                        [](QChar c) { return c.category() == QChar::Other_Control; });
}

Result<QByteArray> readSource(const QString& file) {
    const QFileInfo info(file);
    if (!info.exists())
        return folderError(1, QStringLiteral("There is no file %1.").arg(file));
    QFile source(file);
    if (!info.isFile() || !source.open(QIODevice::ReadOnly))
        return folderError(1, QStringLiteral("%1 cannot be read.").arg(file));
    return source.readAll();
}

} // namespace

ShortcutsFolder::ShortcutsFolder(QString path)
    : m_path(std::move(path)) {}

QString ShortcutsFolder::defaultPath() {
    QString configured = qEnvironmentVariable("SONAVERT_SHORTCUTS_DIR");
    if (!configured.isEmpty())
        return configured;
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/sonavert/shortcuts");
}

std::optional<QString> ShortcutsFolder::nameForFile(const QString& file) {
    QString name = QFileInfo(file).fileName();
    if (name.endsWith(QStringLiteral(".shortcut")))
        name.chop(int(qstrlen(".shortcut")));
    if (!isListable(name))
        return std::nullopt;
    return name;
}

QStringList ShortcutsFolder::names() const {
    const QFileInfoList entries = QDir(m_path).entryInfoList(QDir::Files | QDir::NoDotAndDotDot);
    QStringList names;
    for (const QFileInfo& entry : entries) {
        if (isListable(entry.fileName()) && entry.isExecutable())
            names.append(entry.fileName());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<QString> ShortcutsFolder::executableOf(const QString& name) const {
    // Only a listed name is looked up, so "../x" or a hidden file never runs.
    if (!names().contains(name))
        return std::nullopt;
    return QDir(m_path).absoluteFilePath(name);
}

Result<AddedShortcut> ShortcutsFolder::add(const QString& file) const {
    const std::optional<QString> name = nameForFile(file);
    if (!name)
        return folderError(2, QStringLiteral("%1 does not name a Shortcut.").arg(file));
    const Result<QByteArray> content = readSource(file);
    if (!content)
        return content.error();
    if (!QDir().mkpath(m_path))
        return folderError(3, QStringLiteral("The folder %1 cannot be created.").arg(m_path));
    // Written beside its final name and renamed over it, so a Shortcut is never seen half
    // written or not yet executable.
    QTemporaryFile staged(m_path + QStringLiteral("/.adding-XXXXXX"));
    if (!staged.open() || staged.write(content.value()) != content.value().size() ||
        !staged.flush() || !staged.setPermissions(kOwnerOnly))
        return folderError(3, QStringLiteral("%1 cannot be written.").arg(staged.fileName()));
    const QString target = QDir(m_path).absoluteFilePath(*name);
    const bool existed = QFileInfo::exists(target);
    if (std::rename(QFile::encodeName(staged.fileName()).constData(),
                    QFile::encodeName(target).constData()) != 0)
        return folderError(3, QStringLiteral("%1 cannot be written.").arg(target));
    staged.setAutoRemove(false);
    return AddedShortcut{*name, target, existed};
}

} // namespace sonavert::shortcuts
