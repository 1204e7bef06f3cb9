#pragma once

#include "src/model/app_device.h"

#include <QByteArray>
#include <QJsonValue>
#include <optional>

namespace sonavert {

// The one JSON form of the records, used by the roster, presence records and handoff payloads:
// keys in declaration order, absent optionals left out, dates as seconds since 2001-01-01 UTC.
// Encoding fails (nothing) for a value JSON cannot carry, such as a NaN position. Decoding
// accepts keys in any order and null for optionals, ignores unknown keys, and fails when a
// required key is missing or any key has the wrong JSON type.

std::optional<QByteArray> encodeJson(const PlaybackState& state);
std::optional<QByteArray> encodeJson(const AppDevice& device);
std::optional<QByteArray> encodeJson(const DeviceList& devices);

std::optional<PlaybackState> decodePlaybackState(const QByteArray& json);
std::optional<AppDevice> decodeAppDevice(const QByteArray& json);
std::optional<DeviceList> decodeDeviceList(const QByteArray& json);

std::optional<PlaybackState> playbackStateFromJson(const QJsonValue& value);
std::optional<AppDevice> appDeviceFromJson(const QJsonValue& value);

} // namespace sonavert
