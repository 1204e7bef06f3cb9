#pragma once

namespace sonavert::crypto {

/// Makes libsodium ready before its first use; true when it is. Safe to call from any thread
/// and any number of times: every entry point of this library calls it.
bool ensureSodium();

} // namespace sonavert::crypto
