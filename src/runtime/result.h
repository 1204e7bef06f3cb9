#pragma once

#include <QString>
#include <concepts>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace sonavert {

/// The codes of one error domain: an enum class declared beside its domain's name, with an
/// `errorDomain(Code)` beside it that gives the name (found through the enum's namespace).
/// Errors are then built and recognised from the enumerator alone, so a code carries one
/// meaning and is never spelled as a bare number.
template <typename Code>
concept DomainCode = std::is_enum_v<Code> && requires(Code code) {
    { errorDomain(code) } -> std::convertible_to<QString>;
};

/// A failure as a value: where it came from, its code there, and the text shown to the user.
/// Errors cross service boundaries as values; nothing throws across the event loop.
struct Error {
    QString domain;      ///< e.g. "CloudDatabase", "ServiceError", "MusicAppError"
    int code = 0;        ///< the domain's own code
    QString description; ///< user-readable, shown unchanged
    QString itemID;      ///< for a per-item error inside a partial failure: the item it is about
    std::vector<Error> itemErrors;           ///< per-item errors of a partial failure
    std::optional<double> retryAfterSeconds; ///< when the other side asked us to wait

    bool is(const QString& otherDomain, int otherCode) const {
        return domain == otherDomain && code == otherCode;
    }
    template <DomainCode Code> bool is(Code otherCode) const {
        return is(errorDomain(otherCode), static_cast<int>(otherCode));
    }
    friend bool operator==(const Error&, const Error&) = default;
};

/// Either a value or an Error. `Result<void>` carries only success or the error.
template <typename T> class [[nodiscard]] Result {
public:
    Result(T value)
        : m_state(std::in_place_index<0>, std::move(value)) {}
    Result(Error error)
        : m_state(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(m_state); }
    const T& value() const& { return std::get<0>(m_state); }
    T&& value() && { return std::get<0>(std::move(m_state)); }
    const Error& error() const { return std::get<1>(m_state); }

private:
    std::variant<T, Error> m_state;
};

template <> class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error)
        : m_error(std::move(error)) {}

    bool ok() const { return !m_error.has_value(); }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return *m_error; }

private:
    std::optional<Error> m_error;
};

using Status = Result<void>;

/// A failure built in one call: `makeError(domain, code, description)`. Our own domains
/// build theirs from the enumerator, `makeError(Code::Meaning, description)`; the form with a
/// number is for codes that come from elsewhere (a library's, a script's own number).
inline Error makeError(QString domain, int code, QString description) {
    Error error;
    error.domain = std::move(domain);
    error.code = code;
    error.description = std::move(description);
    return error;
}

template <DomainCode Code> Error makeError(Code code, QString description) {
    return makeError(errorDomain(code), static_cast<int>(code), std::move(description));
}

/// What an operation the app's stopping cut short says, in every domain: one wording, the one
/// sonavertctl prints for a call the app did not finish.
inline QString stoppedText() {
    return QStringLiteral("Sonavert stopped before this finished.");
}

} // namespace sonavert

// Propagation: `SONAVERT_TRY(result)` in a plain function and `SONAVERT_CO_TRY(result)` in a
// coroutine return the result's error from the enclosing function when it failed, and do
// nothing when it succeeded. `result` is a named Result kept for its value afterwards, or an
// expression whose value is not needed (`SONAVERT_CO_TRY(co_await ensureZone());`).
// decltype(auto) binds a named result by reference and holds a temporary by value, so
// nothing is copied and nothing dangles; the error leaves as a copy, as a hand-written
// `return x.error();` would.
#define SONAVERT_TRY(result)                                                                       \
    do {                                                                                           \
        decltype(auto) sonavertTryResult_ = (result);                                              \
        if (!sonavertTryResult_)                                                                   \
            return sonavertTryResult_.error();                                                     \
    } while (false)

#define SONAVERT_CO_TRY(result)                                                                    \
    do {                                                                                           \
        decltype(auto) sonavertTryResult_ = (result);                                              \
        if (!sonavertTryResult_)                                                                   \
            co_return sonavertTryResult_.error();                                                  \
    } while (false)
