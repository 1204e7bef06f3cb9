#pragma once

#include <cstdint>
#include <string>

namespace sonavert::bench {

/// A non-blocking TCP connection to 127.0.0.1:`port` from the loopback address 127.0.0.`source`:
/// one destination port allows about 28,000 connections per source address, and the idle
/// channel benchmark holds more.
int connectLoopback(std::uint16_t port, int source);

/// Writes as much of `data` from `offset` as the socket takes; false when the socket failed.
bool writeSome(int fd, const std::string& data, std::size_t& offset);

} // namespace sonavert::bench
