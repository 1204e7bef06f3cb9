#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace sonavert::cloud {

/// The position a change token stands for: a zone incarnation and a change sequence in it.
struct ChangePosition {
    qint64 zoneId = 0;
    qint64 sequence = 0;
};

/// Makes and reads change tokens. A token is opaque to clients and signed with this server's
/// key, so a token from another server, or an altered one, reads as nothing.
class ChangeTokenCodec {
public:
    explicit ChangeTokenCodec(QByteArray signingKey);

    QString encode(const ChangePosition& position) const;
    std::optional<ChangePosition> decode(const QString& token) const;

private:
    QByteArray signatureOf(const QByteArray& payload) const;

    QByteArray m_signingKey;
};

} // namespace sonavert::cloud
