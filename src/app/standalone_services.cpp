#include "src/app/standalone_services.h"

namespace sonavert {

QCoro::Task<std::optional<QString>> ProfileOnlyIdentityStore::readIdentifier() {
    co_return std::nullopt;
}

QCoro::Task<bool> ProfileOnlyIdentityStore::writeIdentifier(QString) {
    co_return false;
}

} // namespace sonavert
