#include "src/account/key_verification.h"

#include "src/crypto/confirmation_code.h"

#include <QRandomGenerator>

namespace sonavert {

using crypto::DeviceKeyPair;
using crypto::KeyShare;
using crypto::PinnedDevice;

namespace {

Error verificationError(KeyVerification::ErrorCode code, QString description) {
    return makeError(code, std::move(description));
}

/// Digits only, so "123 456" and "123456" are the same code.
QString digitsOf(const QString& code) {
    QString digits;
    for (const QChar c : code)
        if (c.isDigit())
            digits += c;
    return digits;
}

QByteArray randomBytes(int size) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

} // namespace

KeyVerification::KeyVerification(Role role, const DeviceKeyPair& ownKey)
    : m_role(role)
    , m_phase(role == Role::Verifier ? Phase::Asking : Phase::Answered)
    , m_ownKey(ownKey) {}

bool KeyVerification::isNotYet(const Error& error) {
    return error.is(ErrorCode::NotYet);
}

Result<KeyVerification> KeyVerification::asVerifier(PinnedDevice me, QString targetID,
                                                    QString targetName) {
    Result<DeviceKeyPair> ownKey = DeviceKeyPair::generate();
    SONAVERT_TRY(ownKey);
    KeyVerification verification(Role::Verifier, ownKey.value());
    verification.m_me = std::move(me);
    verification.m_otherID = std::move(targetID);
    verification.m_otherName = std::move(targetName);
    verification.m_verificationID = randomBytes(16);
    return verification;
}

Result<KeyVerification> KeyVerification::asJoiner(const VerificationEntry& request) {
    Result<DeviceKeyPair> ownKey = DeviceKeyPair::generate();
    SONAVERT_TRY(ownKey);
    KeyVerification verification(Role::Joiner, ownKey.value());
    verification.m_otherID = request.verifierID;
    verification.m_otherName = request.verifierName;
    verification.m_verificationID = request.verificationID;
    verification.m_commitment = request.commitment;
    return verification;
}

VerificationEntry KeyVerification::request() const {
    VerificationEntry entry;
    entry.targetID = m_otherID;
    entry.verifierID = m_me.deviceID;
    entry.verifierName = m_me.name;
    entry.verificationID = m_verificationID;
    entry.commitment = crypto::keyCommitment(m_ownKey.publicKey(), m_verificationID);
    return entry;
}

VerificationEntry KeyVerification::answer() const {
    VerificationEntry entry;
    entry.targetKey = m_ownKey.publicKey();
    entry.answeredID = m_verificationID;
    return entry;
}

bool KeyVerification::takeAnswer(const VerificationEntry& seen) {
    if (m_role != Role::Verifier || m_phase != Phase::Asking ||
        seen.answeredID != m_verificationID ||
        seen.targetKey.size() != DeviceKeyPair::kPublicKeySize)
        return false;
    m_otherKey = seen.targetKey;
    m_code = crypto::confirmationCode(m_ownKey.publicKey(), m_otherKey);
    m_phase = Phase::Comparing;
    return true;
}

VerificationEntry KeyVerification::reveal() const {
    VerificationEntry entry;
    entry.verifierKey = m_ownKey.publicKey();
    return entry;
}

std::optional<VerificationEntry> KeyVerification::takeReveal(const VerificationEntry& seen,
                                                             const PinnedDevice& me) {
    if (m_role != Role::Joiner || m_phase != Phase::Answered || seen.verifierKey.isEmpty())
        return std::nullopt;
    if (crypto::keyCommitment(seen.verifierKey, m_verificationID) != m_commitment) {
        end(QStringLiteral("The other computer's key was changed on the way, so nothing will "
                           "be accepted. Start again there."));
        return std::nullopt;
    }
    const QByteArray sent = KeyShare{me, std::nullopt, {}, {}}.toBytes();
    Result<QByteArray> box = m_ownKey.boxFor(seen.verifierKey, sent);
    if (!box) {
        end(box.error().description);
        return std::nullopt;
    }
    m_otherKey = seen.verifierKey;
    m_code = crypto::confirmationCode(m_otherKey, m_ownKey.publicKey());
    m_phase = Phase::Comparing;
    VerificationEntry part;
    part.deviceKeyBox = box.value();
    return part;
}

Result<void> KeyVerification::confirm(const QString& code) {
    if (m_phase != Phase::Comparing)
        return verificationError(ErrorCode::WrongPhase,
                                 QStringLiteral("%1 has not shown its code yet.").arg(m_otherName));
    if (digitsOf(code) != m_code) {
        end(QStringLiteral("The codes differ, so nothing was shared."));
        return verificationError(
            ErrorCode::CodesDiffer,
            m_role == Role::Verifier
                ? QStringLiteral("The codes differ: the key that came from %1 is not the one it "
                                 "sent, so nothing was shared. Start again; if the codes differ "
                                 "again, something between your computers and the server is "
                                 "changing them.")
                      .arg(m_otherName)
                : QStringLiteral("The codes differ: what %1 sent is not what arrived here, so "
                                 "this computer accepts nothing from it. Start again there; if "
                                 "the codes differ again, something between your computers and "
                                 "the server is changing them.")
                      .arg(m_otherName));
    }
    m_phase = Phase::Confirmed;
    return {};
}

Result<PinnedDevice> KeyVerification::joinerKey(const VerificationEntry& seen) const {
    if (m_role != Role::Verifier || m_phase != Phase::Confirmed)
        return verificationError(ErrorCode::WrongPhase, QStringLiteral("Not confirmed."));
    if (seen.deviceKeyBox.isEmpty() || seen.answeredID != m_verificationID)
        return verificationError(ErrorCode::NotYet,
                                 QStringLiteral("%1 has not sent its key yet.").arg(m_otherName));
    Result<QByteArray> opened = m_ownKey.openFrom(m_otherKey, seen.deviceKeyBox);
    SONAVERT_TRY(opened);
    Result<KeyShare> share = KeyShare::fromBytes(opened.value());
    SONAVERT_TRY(share);
    // The joiner speaks for itself only: a box naming another computer is not its key.
    if (share.value().from.deviceID != m_otherID)
        return verificationError(
            ErrorCode::Refused,
            QStringLiteral("%1 sent a key that is not its own.").arg(m_otherName));
    PinnedDevice joiner = share.value().from;
    joiner.name = m_otherName;
    return joiner;
}

Result<VerificationEntry> KeyVerification::keysFor(const KeyShare& share) {
    if (m_role != Role::Verifier || m_phase != Phase::Confirmed)
        return verificationError(ErrorCode::WrongPhase, QStringLiteral("Not confirmed."));
    QByteArray bytes = share.toBytes();
    Result<QByteArray> box = m_ownKey.boxFor(m_otherKey, bytes);
    bytes.fill('\0');
    SONAVERT_TRY(box);
    m_phase = Phase::Done;
    VerificationEntry part;
    part.boxedKeys = box.value();
    return part;
}

std::optional<Result<KeyShare>> KeyVerification::takeKeys(const VerificationEntry& seen) {
    if (m_role != Role::Joiner || m_phase != Phase::Confirmed || seen.boxedKeys.isEmpty())
        return std::nullopt;
    Result<QByteArray> opened = m_ownKey.openFrom(m_otherKey, seen.boxedKeys);
    Result<KeyShare> share =
        opened ? KeyShare::fromBytes(opened.value()) : Result<KeyShare>(opened.error());
    if (opened)
        opened.value().fill('\0');
    if (!share || !share.value().ring || share.value().from.deviceID != m_otherID) {
        end(QStringLiteral("The keys that arrived did not open, so nothing was accepted. Start "
                           "again there."));
        return Result<KeyShare>(verificationError(ErrorCode::Refused, m_problem));
    }
    m_phase = Phase::Done;
    return share;
}

void KeyVerification::end(QString problem) {
    m_phase = Phase::Ended;
    m_problem = std::move(problem);
}

} // namespace sonavert
