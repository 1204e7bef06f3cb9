#include "server/storage/sqlite/store_lock.h"

#include "server/storage/sql_session.h"

#include <QFile>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace sonavert::cloud {

Result<std::unique_ptr<StoreLock>> StoreLock::take(const QString& storeFile, Mode mode) {
    const QByteArray path = QFile::encodeName(storeFile + QStringLiteral(".lock"));
    // Not inherited: a child started by the server must not keep the store locked after it.
    const int descriptor = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (descriptor < 0)
        return storageError(QStringLiteral("cannot open %1: %2")
                                .arg(QString::fromLocal8Bit(path), qt_error_string(errno)));
    const bool isShared = mode == Mode::Shared;
    if (::flock(descriptor, (isShared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
        ::close(descriptor);
        return makeError(QStringLiteral("StoreLock"), 0,
                         isShared ? QStringLiteral("a restore is replacing %1; try again when it "
                                                   "is done")
                                        .arg(storeFile)
                                  : QStringLiteral("%1 is in use: stop the sonavert-cloud serving "
                                                   "from it (and any command using it) first")
                                        .arg(storeFile));
    }
    return std::unique_ptr<StoreLock>(new StoreLock(descriptor));
}

StoreLock::~StoreLock() {
    ::close(m_descriptor);
}

} // namespace sonavert::cloud
