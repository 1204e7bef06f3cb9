#pragma once

#include "src/runtime/result.h"

#include <QCoro/QCoroTask>
#include <QHash>
#include <QString>

namespace sonavert {

/// Device id → whether that computer holds the account's key, for the computers the account's
/// keys list. A computer missing from it is not known either way.
using KeyHolding = QHash<QString, bool>;

/// The account key as the coordinator sees it: playback is sealed end to end, so a computer
/// without the key can neither open what it is sent nor seal what it would send. Knowing this
/// lets the coordinator refuse a push or pull that could never play instead of writing a
/// command nobody can open.
class AccountKeyProtocol {
public:
    virtual ~AccountKeyProtocol() = default;
    /// This computer is signed in and waits for the key (a verification).
    virtual bool isThisDeviceUnverified() const = 0;
    /// What the account's keys say now, read from the server.
    virtual QCoro::Task<Result<KeyHolding>> keyHolding() = 0;
};

} // namespace sonavert
