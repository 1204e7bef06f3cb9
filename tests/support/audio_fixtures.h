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
        for (const QString tool : {"sox", "flac", "metaflac", "oggenc", "vorbiscomment"})
            if (QStandardPaths::findExecutable(tool).isEmpty())
                missing << tool;
        return missing;
    }

    /// A stereo sine tone of `seconds` as FLAC or Ogg Vorbis (by the extension of `path`),
    /// tagged with `tags` ("TITLE=...", "ARTIST=...", ...).
    static bool make(const QString& path, int seconds, const QStringList& tags) {
        const QString wav = path + ".wav";
        const QStringList tone{"synth", QString::number(seconds), "sine", "440", "vol", "0.3"};
        if (!run("sox", QStringList{"-n", "-r", "44100", "-b", "16", "-c", "2", wav} + tone))
            return false;
        const bool ok =
            path.endsWith(".ogg") ? makeOgg(wav, path, tags) : makeFlac(wav, path, tags);
        QFile::remove(wav);
        return ok;
    }

    static bool retagFlac(const QString& path, const QStringList& tags) {
        QStringList arguments{"--remove-all-tags"};
        for (const QString& tag : tags)
            arguments << "--set-tag=" + tag;
        return run("metaflac", arguments << path);
    }

private:
    static bool makeFlac(const QString& wav, const QString& path, const QStringList& tags) {
        return run("flac", {"-s", "-f", wav, "-o", path}) && retagFlac(path, tags);
    }
    static bool makeOgg(const QString& wav, const QString& path, const QStringList& tags) {
        QStringList arguments{"-w"};
        for (const QString& tag : tags)
            arguments << "-t" << tag;
        return run("oggenc", {"-Q", wav, "-o", path}) && run("vorbiscomment", arguments << path);
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
