#pragma once

#include <QCoro/QCoroTask>
#include <tuple>
#include <type_traits>
#include <vector>

namespace sonavert {

/// Stands in for the result of a void task in whenAll's tuple. (QCoro's promise already uses
/// std::monostate for "no result yet", so a Task<std::monostate> cannot exist.)
struct Unit {};

namespace detail {
template <typename T> struct JoinedValue { using type = T; };
template <> struct JoinedValue<void> { using type = Unit; };
template <typename T> using JoinedValueT = typename JoinedValue<T>::type;

template <typename T> QCoro::Task<JoinedValueT<T>> valueOf(QCoro::Task<T> task) {
    if constexpr (std::is_void_v<T>) {
        co_await std::move(task);
        co_return Unit{};
    } else {
        co_return co_await std::move(task);
    }
}
} // namespace detail

/// Waits for every task and gives their results in argument order (void becomes Unit).
/// QCoro tasks start running when they are called, so the tasks passed here already run
/// concurrently; waiting for them one after another waits for all of them.
template <typename... T>
QCoro::Task<std::tuple<detail::JoinedValueT<T>...>> whenAll(QCoro::Task<T>... tasks) {
    co_return std::tuple<detail::JoinedValueT<T>...>{co_await detail::valueOf(std::move(tasks))...};
}

/// Waits for every task of a list and gives their results in list order.
template <typename T> QCoro::Task<std::vector<T>> whenAll(std::vector<QCoro::Task<T>> tasks) {
    std::vector<T> results;
    results.reserve(tasks.size());
    for (auto& task : tasks)
        results.push_back(co_await std::move(task));
    co_return results;
}

/// Waits for every void task of a list.
inline QCoro::Task<> whenAll(std::vector<QCoro::Task<>> tasks) {
    for (auto& task : tasks)
        co_await std::move(task);
}

} // namespace sonavert
