#pragma once

#include "src/player/library_index.h"

namespace sonavert::detail {

// The worker-thread half of LibraryIndex: plain functions over values, no QObject.

/// Tags and length of one audio file; nothing when TagLib cannot read it.
std::optional<LibraryTrack> readAudioFile(const QString& path);
/// Walks `folders`, reusing `previous` entries whose size and modification time still match.
ScanOutcome scanFolders(const QStringList& folders, const QList<IndexedFile>& previous);
/// The index file's content (no files when it is missing); `error` set when it exists but
/// cannot be used.
ScanOutcome loadIndexFile(const QString& path);
/// Writes the index atomically; an error text on failure.
QString saveIndexFile(const QString& path, const QList<IndexedFile>& files);

} // namespace sonavert::detail
