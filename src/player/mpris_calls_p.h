#pragma once

#include "src/player/player_backend.h"
#include "src/player/player_quirks.h"

#include <QDBusMessage>

namespace sonavert::detail {

// The D-Bus messages MprisPlayer sends, and how it reads their replies. Built in plain
// functions: g++ 12 cannot compile braced lists of Qt types inside coroutines.

/// "org.mpris.MediaPlayer2.", the start of every MPRIS player's bus name.
const QString& mprisNamePrefix();

QDBusMessage listNamesCall();
QDBusMessage playerPropertiesCall(const QString& service);
QDBusMessage playerPropertyCall(const QString& service, const QString& name);
QDBusMessage rootPropertyCall(const QString& service, const QString& name);
QDBusMessage playerMethodCall(const QString& service, const QString& method);
QDBusMessage setPositionCall(const QString& service, const QString& trackId, double seconds);
QDBusMessage seekCall(const QString& service, double offsetSeconds);
QDBusMessage openUriCall(const QString& service, const QString& uri);
/// TrackList.AddTrack of `uri`, made the current track.
QDBusMessage addTrackCall(const QString& service, const QString& uri);
/// A player's own "open this list" method with `uri` as the only entry.
QDBusMessage nativeOpenCall(const NativeOpenMethod& method, const QString& uri);

bool isError(const QDBusMessage& reply);
Error busError(const QDBusMessage& reply);
/// Whether the player answered "I do not have that method".
bool isMissingMethod(const QDBusMessage& reply);
QVariant firstArgument(const QDBusMessage& reply);

} // namespace sonavert::detail
