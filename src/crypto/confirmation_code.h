#pragma once

#include <QByteArray>
#include <QString>

namespace sonavert::crypto {

/// The six digits both devices show before the account key is shared: a hash of both public
/// keys, taken in sorted order so each side computes the same code from its own view. A
/// server that swaps either key makes the two screens show different codes.
QString confirmationCode(const QByteArray& publicKeyA, const QByteArray& publicKeyB);

} // namespace sonavert::crypto
