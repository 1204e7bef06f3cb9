#pragma once

#include "src/coordinator/account_key_protocol.h"

#include <optional>

namespace sonavert::test {

/// The account key as the test says it is; counts the reads of the account's keys.
struct FakeAccountKeys : AccountKeyProtocol {
    bool isUnverified = false;
    KeyHolding holding;
    std::optional<Error> failure; ///< every read fails with it while set
    int reads = 0;

    bool isThisDeviceUnverified() const override { return isUnverified; }
    QCoro::Task<Result<KeyHolding>> keyHolding() override {
        ++reads;
        if (failure)
            co_return *failure;
        // A copy named as such: g++ 12 moves a member named in co_return out of the object.
        const KeyHolding answer = holding;
        co_return answer;
    }
};

} // namespace sonavert::test
