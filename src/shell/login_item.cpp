#include "src/shell/login_item.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace sonavert {

namespace {

Error loginItemError(LoginItemErrorCode code, const QString& description) {
    return makeError(code, description);
}

} // namespace

const QString LoginItem::kEntryName = QStringLiteral("io.sonavert.Sonavert.desktop");

LoginItem::LoginItem(std::optional<QString> entryTemplate, QString autostartFolder)
    : m_template(std::move(entryTemplate))
    , m_autostartFolder(std::move(autostartFolder)) {}

std::optional<QString> LoginItem::locateTemplate() {
    const QString inData = QStringLiteral("/sonavert/autostart/") + kEntryName;
    const QString installed =
        QDir::cleanPath(QCoreApplication::applicationDirPath() +
                        QStringLiteral("/" SONAVERT_DATA_FROM_BINDIR) + inData);
    const QString built = QStringLiteral(SONAVERT_BUILD_DIR "/share") + inData;
    for (const QString& candidate : {installed, built}) {
        if (QFileInfo(candidate).isFile())
            return candidate;
    }
    return std::nullopt;
}

QString LoginItem::userAutostartFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart");
}

bool LoginItem::isEnabled() const {
    return QFileInfo(entryPath()).isFile();
}

Status LoginItem::setEnabled(bool enabled) {
    return enabled ? enable() : disable();
}

QString LoginItem::entryPath() const {
    return m_autostartFolder + QLatin1Char('/') + kEntryName;
}

Status LoginItem::enable() {
    if (!m_template)
        return loginItemError(LoginItemErrorCode::NoTemplate,
                              QStringLiteral("this installation has no autostart entry"));
    QFile source(*m_template);
    if (!source.open(QIODevice::ReadOnly))
        return loginItemError(
            LoginItemErrorCode::CannotEnable,
            QStringLiteral("cannot read %1: %2").arg(*m_template, source.errorString()));
    const QByteArray entry = source.readAll();
    if (!QDir().mkpath(m_autostartFolder))
        return loginItemError(LoginItemErrorCode::CannotEnable,
                              QStringLiteral("cannot create %1").arg(m_autostartFolder));
    // Written whole or not at all: a session must never find half an entry.
    QSaveFile target(entryPath());
    if (!target.open(QIODevice::WriteOnly) || target.write(entry) != entry.size() ||
        !target.commit())
        return loginItemError(
            LoginItemErrorCode::CannotEnable,
            QStringLiteral("cannot write %1: %2").arg(entryPath(), target.errorString()));
    return {};
}

Status LoginItem::disable() {
    QFile entry(entryPath());
    if (entry.exists() && !entry.remove())
        return loginItemError(
            LoginItemErrorCode::CannotDisable,
            QStringLiteral("cannot remove %1: %2").arg(entryPath(), entry.errorString()));
    return {};
}

} // namespace sonavert
