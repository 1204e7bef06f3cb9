#include "src/cloud/consumed_message_ledger.h"

#include "src/desktop/user_defaults.h"

#include <algorithm>
#include <vector>

namespace sonavert {

namespace {

const QString kTakenKey = QStringLiteral("Sonavert.handoff.takenCommand");
const QString kSettledKey = QStringLiteral("Sonavert.handoff.settledMessages");

QString timeText(Timestamp time) {
    return QString::number(time.secondsSinceReferenceDate, 'f', 3);
}

double timeOf(const QString& text) {
    return text.toDouble();
}

// Keeps the ids settled within the remembered day, and of those the newest `kCapacity`.
QMap<QString, QString> pruned(QMap<QString, QString> settled, Timestamp now) {
    const double horizon =
        now.secondsSinceReferenceDate - ConsumedMessageLedger::kRememberedSeconds;
    std::vector<std::pair<double, QString>> byAge;
    for (auto it = settled.begin(); it != settled.end(); ++it)
        if (timeOf(it.value()) >= horizon)
            byAge.emplace_back(timeOf(it.value()), it.key());
    std::sort(byAge.begin(), byAge.end(), std::greater<>());
    if (byAge.size() > ConsumedMessageLedger::kCapacity)
        byAge.resize(ConsumedMessageLedger::kCapacity);
    QMap<QString, QString> kept;
    for (const auto& [time, id] : byAge)
        kept.insert(id, settled.value(id));
    return kept;
}

} // namespace

ConsumedMessageLedger::ConsumedMessageLedger(std::shared_ptr<UserDefaults> defaults,
                                             std::shared_ptr<Clock> clock)
    : m_defaults(std::move(defaults))
    , m_clock(std::move(clock)) {}

bool ConsumedMessageLedger::isKnown(const QString& id) const {
    if (id == kLegacyID)
        return false;
    const auto current = taken();
    return (current && current->id == id) || settledIDs().contains(id);
}

void ConsumedMessageLedger::take(const TakenCommand& command) {
    QMap<QString, QString> stored;
    stored.insert(QStringLiteral("id"), command.id);
    stored.insert(QStringLiteral("payload"), command.payload);
    stored.insert(QStringLiteral("takenAt"), timeText(command.takenAt));
    if (command.sentAt)
        stored.insert(QStringLiteral("sentAt"), timeText(*command.sentAt));
    m_defaults->setStringDictionary(kTakenKey, stored);
    // The cloud's copy is deleted right after this returns: the taken command must already be
    // on disk by then, or a device killed in between would lose the song.
    m_defaults->flush();
}

std::optional<TakenCommand> ConsumedMessageLedger::taken() const {
    const auto stored = m_defaults->stringDictionary(kTakenKey);
    if (!stored || !stored->contains(QStringLiteral("id")) ||
        !stored->contains(QStringLiteral("payload")))
        return std::nullopt;
    std::optional<Timestamp> sentAt;
    if (stored->contains(QStringLiteral("sentAt")))
        sentAt = Timestamp{timeOf(stored->value(QStringLiteral("sentAt")))};
    return TakenCommand{stored->value(QStringLiteral("id")),
                        stored->value(QStringLiteral("payload")),
                        Timestamp{timeOf(stored->value(QStringLiteral("takenAt")))}, sentAt};
}

void ConsumedMessageLedger::settle(const QString& id, std::optional<Timestamp> sentAt) {
    const auto current = taken();
    if (current && current->id == id) {
        m_defaults->removeObject(kTakenKey);
        sentAt = current->sentAt;
    }
    if (id != kLegacyID) {
        QMap<QString, QString> settled = settledIDs();
        settled.insert(id, timeText(std::max(m_clock->now(), sentAt.value_or(Timestamp{}))));
        storeSettled(std::move(settled));
    }
    m_defaults->flush();
}

QMap<QString, QString> ConsumedMessageLedger::settledIDs() const {
    return pruned(m_defaults->stringDictionary(kSettledKey).value_or(QMap<QString, QString>()),
                  m_clock->now());
}

void ConsumedMessageLedger::storeSettled(QMap<QString, QString> settled) {
    m_defaults->setStringDictionary(kSettledKey, pruned(std::move(settled), m_clock->now()));
}

} // namespace sonavert
