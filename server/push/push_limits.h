#pragma once

#include "src/runtime/clock.h"

#include <QtGlobal>

namespace sonavert::cloud {

/// What one push channel may cost and how long it may stay quiet.
struct PushLimits {
    /// A WebSocket frame from a client; a larger one closes the channel (1009) unread.
    qsizetype maxFrameBytes = qsizetype{64} * 1024;
    /// A whole WebSocket message from a client, over all its frames.
    qsizetype maxMessageBytes = qsizetype{64} * 1024;
    /// Messages waiting to be sent to one channel; a client that lets more pile up is closed
    /// with kSlowConsumerCloseCode and catches up with `since` when it reconnects.
    qsizetype maxQueuedBytes = qsizetype{1024} * 1024;
    /// Messages waiting for all channels together: past it, a channel that has not taken what
    /// it was sent already is closed as a slow consumer instead of given more.
    qint64 maxQueuedBytesInTotal = qint64{256} << 20;
    /// Greeted channels of one account: one save notifies each of them, so without a bound a
    /// token could open thousands and have every save fan out to all. Past it, the account's
    /// oldest channel is closed with kTooManyChannelsCloseCode (a device whose network changed
    /// leaves such a channel behind until it times out).
    int maxChannelsPerAccount = 64;
    /// An idle channel is pinged after this.
    Duration pingAfter = std::chrono::seconds(20);
    /// A channel that has not greeted by then is closed.
    Duration greetWithin = std::chrono::seconds(60);
    /// A greeted channel silent this long is closed.
    Duration silentFor = std::chrono::seconds(60);
};

/// Close code of a channel the server ends (timeouts, shutdown).
inline constexpr int kGoingAwayCloseCode = 1001;
/// Close code of a channel whose greeting was refused.
inline constexpr int kPolicyViolationCloseCode = 1008;
/// Close code of a channel whose send queue overflowed (the application range of WebSocket).
inline constexpr int kSlowConsumerCloseCode = 4001;
/// Close code of a channel whose token was revoked.
inline constexpr int kRevokedCloseCode = 4003;
/// Close code of an account's oldest channel when it opened more than it may hold.
inline constexpr int kTooManyChannelsCloseCode = 4004;

} // namespace sonavert::cloud
