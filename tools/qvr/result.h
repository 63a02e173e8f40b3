// The tool's one result type: a value, or why there is none. Shaped like
// C++23's std::expected (value(), error(), operator*, operator->,
// has_value()), so that it can become that once the project moves on from
// C++20; until then functions return Result<T> instead of filling an
// out-parameter beside their real result.
//
// Each layer has one error type: below the commands it is a Failure, a
// message worded for people; a layer that must say more than a message
// (which kind of refusal; the exit status a command ends with once it has
// reported) names its own as the second argument.
#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace qvr::cli {

// Why a step failed, as a message without the "qvr: SUBJECT: " that the
// caller's reporter puts in front.
struct Failure {
    std::string message;
};

inline Failure Fail(std::string message) { return Failure{std::move(message)}; }

template <class T, class E = Failure>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(E failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    bool has_value() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() & {
        assert(has_value());
        return std::get<0>(state_);
    }
    const T& value() const& {
        assert(has_value());
        return std::get<0>(state_);
    }
    T&& value() && {
        assert(has_value());
        return std::get<0>(std::move(state_));
    }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    // The message, for error types that carry one.
    const std::string& error() const { return failure().message; }
    const E& failure() const {
        assert(!has_value());
        return std::get<1>(state_);
    }

private:
    std::variant<T, E> state_;
};

// A step with no value: done, or why not.
template <class E>
class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    Result(E failure) : failure_(std::move(failure)) {}

    bool has_value() const noexcept { return !failure_; }
    explicit operator bool() const noexcept { return has_value(); }
    const std::string& error() const { return failure().message; }
    const E& failure() const {
        assert(failure_);
        return *failure_;
    }

private:
    std::optional<E> failure_;
};

using Done = Result<void>;

}  // namespace qvr::cli
