#pragma once

#include "src/runtime/clock.h"
#include "src/runtime/result.h"
#include "tools/sonavert-shortcuts/shortcuts_command_line.h"

#include <QCoro/QCoroTask>
#include <QDBusConnection>
#include <memory>

namespace sonavert::shortcuts {

/// Starts a catalog song in the music player, as the app does when it opens the song's catalog
/// link: this device's catalog (library index of the profile, with a rescan when the song is
/// not in it yet, plus the station list) and an MPRIS player on `bus`.
QCoro::Task<Status> playSong(PlaySongCommand command, std::shared_ptr<Clock> clock,
                             QDBusConnection bus);

} // namespace sonavert::shortcuts
