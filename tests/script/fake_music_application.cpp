#include "tests/script/fake_music_application.h"

using namespace Qt::StringLiterals;

namespace sonavert::test {

namespace {

Error notRunning() {
    return makeError(u"Music"_s, -600, u"Application isn't running."_s);
}

} // namespace

void FakeMusicApplication::startPlaying(const ScriptTrack& track, double seconds) {
    running = true;
    state = PlayerState::Playing;
    current = track;
    position = seconds;
}

QCoro::Task<Status> FakeMusicApplication::reply() {
    if (clock && replyDelay > Duration::zero())
        co_await clock->sleep(replyDelay);
    if (!running)
        co_return notRunning();
    co_return Status{};
}

QCoro::Task<bool> FakeMusicApplication::isRunning() {
    co_return running;
}

QCoro::Task<Status> FakeMusicApplication::command(QString call, std::function<void()> effect) {
    calls << call;
    const Status status = co_await reply();
    if (status)
        effect();
    co_return status;
}

QCoro::Task<Status> FakeMusicApplication::activate() {
    running = true;
    return command(u"activate"_s, [] {});
}

QCoro::Task<Result<PlayerState>> FakeMusicApplication::playerState() {
    ++playerStateReads;
    const Status status = co_await reply();
    if (!status)
        co_return status.error();
    co_return state;
}

QCoro::Task<Result<std::optional<ScriptTrack>>> FakeMusicApplication::currentTrack() {
    const Status status = co_await reply();
    if (!status)
        co_return status.error();
    co_return std::optional<ScriptTrack>(current);
}

QCoro::Task<Result<double>> FakeMusicApplication::playerPosition() {
    const Status status = co_await reply();
    if (!status)
        co_return status.error();
    co_return position;
}

QCoro::Task<Status> FakeMusicApplication::setPlayerPosition(double seconds) {
    seeks.push_back(seconds);
    return command(u"seek:%1"_s.arg(seconds), [this, seconds] {
        position = seekCeiling ? std::min(seconds, *seekCeiling) : seconds;
    });
}

QCoro::Task<Result<std::vector<ScriptTrack>>> FakeMusicApplication::libraryTracks() {
    const Status status = co_await reply();
    if (!status)
        co_return status.error();
    co_return std::vector<ScriptTrack>(library);
}

QCoro::Task<Status> FakeMusicApplication::play() {
    return command(u"play"_s, [this] {
        if (current)
            state = PlayerState::Playing;
    });
}

QCoro::Task<Status> FakeMusicApplication::playTrack(const ScriptTrack& track) {
    return command(u"play:%1"_s.arg(track.persistentID), [this, track] {
        current = track;
        position = 0.0;
        state = playStartsPlayback ? PlayerState::Playing : PlayerState::Stopped;
    });
}

QCoro::Task<Status> FakeMusicApplication::pause() {
    return command(u"pause"_s, [this] {
        if (state == PlayerState::Playing)
            state = PlayerState::Paused;
    });
}

QCoro::Task<Status> FakeMusicApplication::stop() {
    return command(u"stop"_s, [this] {
        state = PlayerState::Stopped;
        current.reset();
    });
}

QCoro::Task<Status> FakeMusicApplication::openLocation(const QString& url) {
    return command(u"open:%1"_s.arg(url), [] {});
}

} // namespace sonavert::test
