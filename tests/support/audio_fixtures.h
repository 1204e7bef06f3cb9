#pragma once

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

namespace sonavert::test {

/// Tagged audio files made on the spot with sox, flac/metaflac and oggenc/vorbiscomment.
class AudioFixtures {
public:
    /// The tools a test needs that are not installed; empty when all are there.
    static QStringList missingTools() {
        QStringList missing;
        for (const char* tool : {"sox", "flac", "metaflac", "oggenc", "vorbiscomment"}) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                missing << QString::fromLatin1(tool);
        }
        return missing;
    }

    /// A stereo sine tone of `seconds` as FLAC or Ogg Vorbis (by the extension of `path`),
    /// tagged with `tags` ("TITLE=...", "ARTIST=...", ...).
    static bool make(const QString& path, int seconds, const QStringList& tags) {
        const QString wav = path + QStringLiteral(".wav");
        if (!run(QStringLiteral("sox"),
                 {QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("44100"),
                  QStringLiteral("-b"), QStringLiteral("16"), QStringLiteral("-c"),
                  QStringLiteral("2"), wav, QStringLiteral("synth"), QString::number(seconds),
                  QStringLiteral("sine"), QStringLiteral("440"), QStringLiteral("vol"),
                  QStringLiteral("0.3")}))
            return false;
        const bool ok = path.endsWith(QStringLiteral(".ogg")) ? makeOgg(wav, path, tags)
                                                              : makeFlac(wav, path, tags);
        QFile::remove(wav);
        return ok;
    }

    static bool retagFlac(const QString& path, const QStringList& tags) {
        QStringList arguments{QStringLiteral("--remove-all-tags")};
        for (const QString& tag : tags)
            arguments << QStringLiteral("--set-tag=") + tag;
        return run(QStringLiteral("metaflac"), arguments << path);
    }

private:
    static bool makeFlac(const QString& wav, const QString& path, const QStringList& tags) {
        return run(QStringLiteral("flac"),
                   {QStringLiteral("-s"), QStringLiteral("-f"), wav, QStringLiteral("-o"), path}) &&
               retagFlac(path, tags);
    }
    static bool makeOgg(const QString& wav, const QString& path, const QStringList& tags) {
        QStringList arguments{QStringLiteral("-w")};
        for (const QString& tag : tags)
            arguments << QStringLiteral("-t") << tag;
        return run(QStringLiteral("oggenc"),
                   {QStringLiteral("-Q"), wav, QStringLiteral("-o"), path}) &&
               run(QStringLiteral("vorbiscomment"), arguments << path);
    }
    static bool run(const QString& program, const QStringList& arguments) {
        QProcess process;
        process.start(program, arguments);
        // Waits for the tool to finish (its exit is the event); the limit only stops a hang.
        return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }
};

} // namespace sonavert::test
