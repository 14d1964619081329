// Value-or-error return type used across the core.
//
// Result<T, E> holds exactly one of a T (success) or an E (failure). T and E
// may be the same type: the alternatives are told apart by position, never by
// type. Result<void, E> carries only the optional error.
#pragma once

#include <cassert>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "vorlane/error.hpp"

namespace vorlane {

template <class T, class E = IndexerError>
class [[nodiscard]] Result {
public:
    using value_type = T;
    using error_type = E;

    static Result success(T value) { return Result(std::in_place_index<0>, std::move(value)); }
    static Result failure(E error) { return Result(std::in_place_index<1>, std::move(error)); }

    [[nodiscard]] bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    // Precondition for value(): ok(). Precondition for error(): !ok().
    [[nodiscard]] T& value() & { return std::get<0>(state_); }
    [[nodiscard]] const T& value() const& { return std::get<0>(state_); }
    [[nodiscard]] T&& value() && { return std::get<0>(std::move(state_)); }

    [[nodiscard]] E& error() & { return std::get<1>(state_); }
    [[nodiscard]] const E& error() const& { return std::get<1>(state_); }
    [[nodiscard]] E&& error() && { return std::get<1>(std::move(state_)); }

    friend bool operator==(const Result&, const Result&) = default;

private:
    template <std::size_t I, class U>
    Result(std::in_place_index_t<I> tag, U&& v) : state_(tag, std::forward<U>(v)) {}

    std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
public:
    using value_type = void;
    using error_type = E;

    static Result success() { return Result(); }
    static Result failure(E error) { return Result(std::move(error)); }

    [[nodiscard]] bool ok() const noexcept { return !error_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }

    void value() const noexcept { assert(ok()); }

    [[nodiscard]] E& error() & { return *error_; }
    [[nodiscard]] const E& error() const& { return *error_; }
    [[nodiscard]] E&& error() && { return *std::move(error_); }

    friend bool operator==(const Result&, const Result&) = default;

private:
    Result() = default;
    explicit Result(E error) : error_(std::move(error)) {}

    std::optional<E> error_;
};

// Free spellings, for call sites where naming the full Result type is noise:
//   return success<int>(5);   return failure<int>(IndexerError::rpc("..."));
template <class T, class E = IndexerError, class... Args>
[[nodiscard]] Result<T, E> success(Args&&... args) {
    if constexpr (std::is_void_v<T>) {
        static_assert(sizeof...(Args) == 0, "Result<void> success carries no value");
        return Result<T, E>::success();
    } else {
        return Result<T, E>::success(T(std::forward<Args>(args)...));
    }
}

template <class T, class E = IndexerError>
[[nodiscard]] Result<T, E> failure(E error) {
    return Result<T, E>::failure(std::move(error));
}

}  // namespace vorlane
