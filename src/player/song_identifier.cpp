#include "src/player/song_identifier.h"

#include <QCryptographicHash>
#include <QRegularExpression>

namespace sonavert {

QString normalizedForIdentity(const QString& text) {
    return text.normalized(QString::NormalizationForm_KC).toCaseFolded().simplified();
}

QString songIdentifier(const LibraryTrack& track) {
    static const QRegularExpression uuid(
        QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
    QString recording = track.recordingID.trimmed().toLower();
    if (uuid.match(recording).hasMatch())
        return recording;
    const QString key = normalizedForIdentity(track.name) + QLatin1Char('\n') +
                        normalizedForIdentity(track.artist) + QLatin1Char('\n') +
                        normalizedForIdentity(track.album);
    const QByteArray digest = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha256);
    return QString::fromLatin1(digest.toHex().left(32));
}

} // namespace sonavert
