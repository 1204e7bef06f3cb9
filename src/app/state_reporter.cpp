#include "src/app/state_reporter.h"

#include "src/coordinator/device_handoff_view_model.h"
#include "src/model/record_json.h"
#include "src/runtime/log_channel.h"

#include <QStringList>

namespace sonavert {

StateReporter::StateReporter(DeviceHandoffViewModel* coordinator, bool isVerbose, QObject* parent)
    : QObject(parent)
    , m_coordinator(coordinator) {
    using VM = DeviceHandoffViewModel;
    connect(coordinator, &VM::devicesChanged, this, &StateReporter::reportDevices);
    connect(coordinator, &VM::syncErrorChanged, this, &StateReporter::reportSyncError);
    connect(coordinator, &VM::currentStateChanged, this, &StateReporter::reportNowPlaying);
    connect(coordinator, &VM::isDiscoveringChanged, this, &StateReporter::reportDiscovery);
    if (isVerbose)
        connect(coordinator, &VM::presencePassCompleted, this, &StateReporter::reportPass);
}

void StateReporter::reportDevices() {
    QStringList entries;
    for (const auto& device : m_coordinator->devices()) {
        QString entry =
            QStringLiteral("%1 (%2%3%4)")
                .arg(device.name, rawValue(device.presence),
                     device.isFavorite ? QStringLiteral(", favourite") : QString(),
                     device.hasQueuedPush ? QStringLiteral(", push queued") : QString());
        entries << entry;
    }
    developerLog(
        QStringLiteral("devices: %1")
            .arg(entries.isEmpty() ? QStringLiteral("none") : entries.join(QStringLiteral(", "))));
}

void StateReporter::reportSyncError() {
    const auto& error = m_coordinator->syncError();
    developerLog(error ? QStringLiteral("presence error: %1").arg(*error)
                       : QStringLiteral("presence: in sync"));
}

void StateReporter::reportNowPlaying() {
    const auto& state = m_coordinator->currentState();
    if (!state) {
        developerLog(QStringLiteral("now playing: nothing"));
        return;
    }
    developerLog(QStringLiteral("now playing: %1 by %2 at %3 s")
                     .arg(state->songTitle, state->artistName)
                     .arg(state->playbackTime, 0, 'f', 1));
}

void StateReporter::reportDiscovery() {
    developerLog(m_coordinator->isDiscovering()
                     ? QStringLiteral("looking for your other devices")
                     : QStringLiteral("first presence pass done: %1 device(s) known")
                           .arg(m_coordinator->devices().size()));
}

void StateReporter::reportPass() {
    ++m_passes;
    developerLog(QStringLiteral("presence pass %1: %2 device(s), %3 queued push(es)%4")
                     .arg(m_passes)
                     .arg(m_coordinator->devices().size())
                     .arg(m_coordinator->queuedPushTargets().size())
                     .arg(m_coordinator->syncError() ? QStringLiteral(", error") : QString()));
}

} // namespace sonavert
