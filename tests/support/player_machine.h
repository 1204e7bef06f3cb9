#pragma once

#include "src/desktop/user_defaults.h"
#include "src/music/player_music_stack.h"
#include "src/player/local_catalog.h"
#include "src/player/mpris_player.h"
#include "tests/support/await_task.h"
#include "tests/support/player_fixture.h"
#include "tests/support/shortcuts_doubles.h"

#include <QElapsedTimer>
#include <functional>

namespace sonavert::test {

/// One computer of the player matrix: a real player on a bus of its own, the MPRIS backend
/// over it, and the music service a device composes over both (no Shortcuts tool, no
/// desktop), on the system clock.
class PlayerMachine {
public:
    explicit PlayerMachine(PlayerFixture fixture)
        : m_host(std::move(fixture)) {}

    /// Starts the player with `home` as its home folder; `catalog` is this machine's music;
    /// the music service's developer lines go to `writeLine`.
    bool start(
        const QString& name, std::shared_ptr<LocalCatalog> catalog, const QString& home,
        QString* reason, DeveloperLineWriter writeLine = [](const QString&) {}) {
        if (!m_host.start(name, home, reason))
            return false;
        MprisOptions options;
        options.playerName = m_host.fixture().name;
        options.busAddress = m_host.bus().address();
        auto clock = std::make_shared<SystemClock>();
        m_player = std::make_shared<MprisPlayer>(m_host.connection(), clock, catalog, options);
        m_service = PlayerMusicStack::service(PlayerMusicStack::create(PlayerMusicStack::Parts{
            clock, m_player, std::move(catalog), std::make_shared<NoShortcutsTool>(), nullptr,
            std::make_shared<NoDesktop>(), std::make_shared<InMemoryUserDefaults>(),
            [] { return std::optional<QString>(); }, std::move(writeLine)}));
        return true;
    }

    /// Reads the player until `done` holds, for at most `limitMs` of real time: a wait on
    /// the state of a real player, which moves by itself.
    std::optional<NowPlaying> readUntil(const std::function<bool(const NowPlaying&)>& done,
                                        int limitMs = 10000) {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < limitMs) {
            const Result<NowPlaying> now = awaitTask(m_player->nowPlaying());
            if (now.ok() && done(now.value()))
                return now.value();
        }
        return std::nullopt;
    }

    /// Waits until the player plays the track named `title`.
    std::optional<NowPlaying> awaitPlaying(const QString& title) {
        return readUntil([&](const NowPlaying& now) {
            return now.state == PlayerState::Playing && now.track && now.track->name == title;
        });
    }

    MprisPlayer& player() { return *m_player; }
    MusicPlaybackService& service() { return *m_service; }
    PlayerOnPrivateBus& host() { return m_host; }
    const QString& name() const { return m_host.fixture().name; }

private:
    PlayerOnPrivateBus m_host;
    std::shared_ptr<MprisPlayer> m_player;
    std::shared_ptr<MusicPlaybackService> m_service;
};

} // namespace sonavert::test
