#pragma once

#include <QCoro/QCoroTask>
#include <optional>

namespace sonavert::test {

namespace detail {
template <typename T> QCoro::Task<std::optional<T>> asOptional(QCoro::Task<T> task) {
    co_return co_await std::move(task);
}
} // namespace detail

/// Runs the event loop until `task` is done and gives its result; unlike QCoro::waitFor it
/// works for results that cannot be default-constructed (Result<T>).
template <typename T> T awaitTask(QCoro::Task<T> task) {
    return *QCoro::waitFor(detail::asOptional(std::move(task)));
}

} // namespace sonavert::test
