#include "src/crypto/sodium_library.h"

#include <sodium.h>

namespace sonavert::crypto {

bool ensureSodium() {
    // sodium_init() is itself thread-safe and returns 1 once done; the static only spares the
    // call on every seal.
    static const bool isReady = sodium_init() >= 0;
    return isReady;
}

} // namespace sonavert::crypto
