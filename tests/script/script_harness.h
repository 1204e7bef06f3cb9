#pragma once

#include "src/runtime/virtual_clock.h"
#include "src/script/script_runner.h"
#include "tests/script/fake_music_application.h"

#include <QCoro/QCoroTask>

namespace sonavert::test {

/// A runner wired to a fake "Music" on a virtual clock; `run` drives virtual time until the
/// script has finished.
struct ScriptHarness {
    VirtualClock clock;
    FakeMusicApplication music;
    ScriptRunner runner{clock};

    ScriptHarness() {
        music.clock = &clock;
        runner.addApplication("Music", music);
    }

    ScriptRunResult run(const QString& source, std::stop_token token = {}) {
        auto task = runner.run(source, std::move(token));
        clock.runUntil([&task] { return task.isReady(); }, std::chrono::hours(1));
        if (!task.isReady()) {
            const QString stuck = "<script did not finish>";
            return ScriptRunResult::finished(&stuck);
        }
        return QCoro::waitFor(task);
    }
    QString text(const QString& source) { return run(source).text(); }
};

inline ScriptTrack makeTrack(const QString& id, const QString& name, const QString& artist,
                             const QString& album = "Album") {
    return ScriptTrack{id, name, artist, album, 200.0};
}

} // namespace sonavert::test
