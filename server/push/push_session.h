#pragma once

#include "server/push/push_limits.h"
#include "server/push/push_socket.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <functional>
#include <memory>
#include <string>

namespace sonavert::cloud {

class IoThreads;

/// What a push channel needs to start on an io thread.
struct PushChannelStart {
    IoThreads* io = nullptr;
    const PushLimits* limits = nullptr;
    /// Lives on the owner's thread as long as the server takes channels; io threads post to it.
    QObject* owner = nullptr;
    /// Called on the owner's thread with the channel's socket, before its client can send a
    /// message on it.
    std::function<void(std::unique_ptr<PushSocket>)> adopt;
    /// Held until the connection is gone (its place under the connection caps).
    std::shared_ptr<void> hold;
};

using PlainStream = boost::asio::ip::tcp::socket;
using TlsStream = boost::asio::ssl::stream<boost::asio::ip::tcp::socket>;

/// Makes a connection whose upgrade request was read already a push channel: on the
/// connection's io thread, with `handshake` the upgrade request and whatever the client sent
/// after it. Both transports share one WebSocket implementation.
void startPushChannel(PlainStream stream, std::string handshake, PushChannelStart start);
void startPushChannel(TlsStream stream, std::string handshake, PushChannelStart start);

} // namespace sonavert::cloud
