// The computer an invitation brings: the inviting computer watches the account's keys for a
// computer it did not know, which has just signed in and waits for the key, so that both can
// go straight into the verification.

#include "src/account/account_keys.h"

namespace sonavert {

QCoro::Task<Result<QSet<QString>>> AccountKeys::deviceIDs() {
    Result<QList<KeyedDevice>> listed = co_await devices();
    SONAVERT_CO_TRY(listed);
    QSet<QString> ids;
    for (const KeyedDevice& device : std::as_const(listed.value()))
        ids.insert(device.deviceID);
    co_return ids;
}

QCoro::Task<Result<KeyedDevice>>
AccountKeys::awaitJoiningComputer(QSet<QString> known, QDateTime expires, std::stop_token stop) {
    const std::stop_token ended = m_tasks.token();
    auto clock = m_deps.clock;
    const std::optional<QString> account = m_account;
    const auto isLive = [&] {
        return !ended.stop_requested() && !stop.stop_requested() && m_account == account && account;
    };
    while (isLive() && clock->now().unixMilliseconds() < expires.toMSecsSinceEpoch()) {
        // A failed look is only a missed one: the next may well get through.
        const Result<QList<KeyedDevice>> listed = co_await devices();
        if (!isLive())
            break;
        if (listed) {
            for (const KeyedDevice& device : listed.value())
                if (!device.isThisDevice && !device.hasKey && !known.contains(device.deviceID))
                    co_return device;
        }
        if (!co_await clock->sleep(kJoinPollInterval, stop))
            break;
    }
    if (!isLive())
        co_return makeError(JoiningErrorCode::WatchStopped,
                            QStringLiteral("Stopped waiting for the other computer."));
    co_return makeError(JoiningErrorCode::CodeExpired,
                        QStringLiteral("The code expired before another computer signed in "
                                       "with it."));
}

} // namespace sonavert
