#pragma once

#include "src/account/key_records.h"
#include "src/crypto/key_share.h"

namespace sonavert {

inline const QString kVerificationErrorDomain = QStringLiteral("SonavertKeyVerification");

/// One verification between a computer that holds the account's key (the verifier) and one
/// that waits for it (the joiner), as either side sees it. It decides and seals; whoever owns
/// it carries each part to the verification's record and brings back what the other side
/// wrote. The exchange:
///  1. the verifier publishes a commitment to a fresh key of its own;
///  2. the joiner answers with a fresh key of its own;
///  3. the verifier reveals its key; both show a code made from the two keys, and the joiner
///     boxes its long-lived key to the verifier's fresh one;
///  4. when the user confirms on the verifier that the codes match, it takes the joiner's
///     long-lived key and boxes the keys, its own long-lived key and the computers it knows
///     to the joiner's fresh key;
///  5. the joiner opens them only once its user has confirmed the code there too.
/// Because the verifier commits before it sees the other key, and the joiner sends its key
/// before it sees the verifier's, a server that swaps keys cannot pick them so that the codes
/// agree: they differ, and the confirmation fails. Everything either side learns of the other
/// (the long-lived keys both pin) travels inside boxes between the two keys the code covers.
class KeyVerification {
public:
    enum class Role { Verifier, Joiner };
    enum class Phase {
        Asking,    ///< the verifier waits for the joiner's key
        Answered,  ///< the joiner waits for the verifier's key
        Comparing, ///< both keys known, the code shown: the user's turn
        Confirmed, ///< the joiner's user confirmed: it waits for the keys
        Done,      ///< the keys went (verifier) or arrived (joiner)
        Ended,     ///< nothing more will happen: `problem` says why
    };

    /// A verification of `targetID` by `me`: its request goes to the target's record.
    static Result<KeyVerification> asVerifier(crypto::PinnedDevice me, QString targetID,
                                              QString targetName);
    /// The answer to `request`, read from this computer's record.
    static Result<KeyVerification> asJoiner(const VerificationEntry& request);

    Role role() const { return m_role; }
    Phase phase() const { return m_phase; }
    const QString& otherID() const { return m_otherID; }
    const QString& otherName() const { return m_otherName; }
    const QByteArray& verificationID() const { return m_verificationID; }
    /// Six digits once both keys are known.
    const QString& code() const { return m_code; }
    const QString& problem() const { return m_problem; }

    /// The verifier's request, and the joiner's answer: what to write first.
    VerificationEntry request() const;
    VerificationEntry answer() const;

    /// Verifier: the record as it stands; true once it holds the answer to this request (the
    /// code is then known and `reveal` is what to write).
    bool takeAnswer(const VerificationEntry& seen);
    VerificationEntry reveal() const;

    /// Joiner: the record as it stands. Once the verifier's key is revealed and matches its
    /// commitment, the code is known and the part to write (this computer's long-lived key,
    /// boxed) is answered; a key that does not match ends the exchange.
    std::optional<VerificationEntry> takeReveal(const VerificationEntry& seen,
                                                const crypto::PinnedDevice& me);

    /// The user compared the codes and typed or confirmed `code`. A code that differs ends the
    /// exchange with an error that says so. Joiner: waits for the keys after this.
    Result<void> confirm(const QString& code);
    /// Verifier, confirmed: the joiner's long-lived key from its box in `seen`; NotYet while
    /// the box is not there.
    Result<crypto::PinnedDevice> joinerKey(const VerificationEntry& seen) const;
    /// Verifier, confirmed: `share` boxed for the joiner, the part to write.
    Result<VerificationEntry> keysFor(const crypto::KeyShare& share);
    /// Joiner, confirmed: the keys in `seen`, once they are there; a box that does not open
    /// or holds no keys ends the exchange.
    std::optional<Result<crypto::KeyShare>> takeKeys(const VerificationEntry& seen);

    /// Ends the exchange with `problem`.
    void end(QString problem);

    /// Error codes of the domain "SonavertKeyVerification".
    enum class ErrorCode { CodesDiffer = 1, NotYet = 2, Refused = 3, WrongPhase = 4 };
    /// Whether `error` is joinerKey's "not there yet".
    static bool isNotYet(const Error& error);

private:
    KeyVerification(Role role, const crypto::DeviceKeyPair& ownKey);

    Role m_role;
    Phase m_phase;
    crypto::DeviceKeyPair m_ownKey; ///< made for this exchange alone
    QString m_otherID;
    QString m_otherName;
    QByteArray m_verificationID;
    QByteArray m_commitment; ///< joiner: the verifier's
    QByteArray m_otherKey;   ///< the other side's key of this exchange, once known
    QString m_code;
    QString m_problem;
    crypto::PinnedDevice m_me; ///< verifier: this computer, for the request
};

inline QString errorDomain(KeyVerification::ErrorCode) {
    return kVerificationErrorDomain;
}

} // namespace sonavert
