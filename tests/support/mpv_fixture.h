#pragma once

#include "tests/support/player_fixture.h"

namespace sonavert::test {

/// mpv as the tests run it (see PlayerFixture): its arguments and why it cannot run here.
struct MpvFixture {
    static const PlayerFixture& player() {
        static const PlayerFixture mpv = *PlayerFixture::named("mpv");
        return mpv;
    }
    static QStringList arguments() { return player().arguments; }
    /// Why mpv tests cannot run here; empty when they can.
    static QString skipReason() { return player().skipReason(); }
};

/// One mpv on a private session bus of its own, as on a machine of its own.
class MpvOnPrivateBus : public PlayerOnPrivateBus {
public:
    MpvOnPrivateBus()
        : PlayerOnPrivateBus(MpvFixture::player()) {}
};

} // namespace sonavert::test
