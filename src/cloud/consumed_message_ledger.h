#pragma once

#include "src/runtime/clock.h"

#include <QMap>
#include <QString>
#include <memory>
#include <optional>

namespace sonavert {

class UserDefaults;

/// A command this device has taken from the cloud and not yet settled.
struct TakenCommand {
    QString id;      ///< its message id ("legacy" when it carried none)
    QString payload; ///< the payload text as the record carried it
    Timestamp takenAt;
    std::optional<Timestamp> sentAt; ///< the time the command carried

    friend bool operator==(const TakenCommand&, const TakenCommand&) = default;
};

/// What this device has done with the commands addressed to it, kept in its user defaults so
/// that a restart (or a kill) does not forget it: the one command taken from the cloud but not
/// yet settled (played, or failed with a reason the user was shown), and the ids of the
/// commands settled within the last day, at most `kCapacity` of them. A day counts from the
/// later of the settling and the time the command carried, so a command from a sender whose
/// clock runs ahead is remembered until it is a day old by its own time too: no command
/// older than that is accepted, so none can come back once forgotten. Every read goes to the
/// defaults, so two services over one profile never disagree.
///
/// A command is taken before it is deleted from the cloud and settled after it was played, so
/// a device that stops in between finds it here on its next start; and a message id seen again
/// (a write repeated after its watchdog fired, a delete that failed) is known and never played
/// twice. "legacy" commands carry no id of their own and are never recognised as seen.
class ConsumedMessageLedger {
public:
    /// The id a command that carried none is read with.
    static inline const QString kLegacyID = QStringLiteral("legacy");
    static constexpr int kCapacity = 256;
    static constexpr double kRememberedSeconds = 24.0 * 60 * 60;

    ConsumedMessageLedger(std::shared_ptr<UserDefaults> defaults, std::shared_ptr<Clock> clock);

    /// Whether `id` was taken or settled here (within the remembered day).
    bool isKnown(const QString& id) const;
    /// Remembers `command` as taken, durably, replacing any earlier unsettled one.
    void take(const TakenCommand& command);
    /// The command taken and not yet settled, if any.
    std::optional<TakenCommand> taken() const;
    /// Ends the taken command `id` (played or failed) and remembers its id as settled; a
    /// command never taken is settled with the time it carried, `sentAt`.
    void settle(const QString& id, std::optional<Timestamp> sentAt = std::nullopt);
    /// The settled ids with the time each is remembered from (seconds since the reference
    /// date).
    QMap<QString, QString> settledIDs() const;

private:
    void storeSettled(QMap<QString, QString> settled);

    std::shared_ptr<UserDefaults> m_defaults;
    std::shared_ptr<Clock> m_clock;
};

} // namespace sonavert
