// The tool's one error type: a value, or why there is none, worded for
// people. Shaped like C++23's std::expected (value(), error(), operator*,
// operator->, has_value()), so that it can become that once the project
// moves on from C++20; until then functions return Result<T> instead of
// filling a std::string& beside their real result.
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

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

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

    const std::string& error() const {
        assert(!has_value());
        return std::get<1>(state_).message;
    }
    Failure failure() const { return std::get<1>(state_); }

private:
    std::variant<T, Failure> state_;
};

// A step with no value: done, or why not.
template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Failure failure) : failure_(std::move(failure)) {}

    bool has_value() const noexcept { return !failure_; }
    explicit operator bool() const noexcept { return has_value(); }
    const std::string& error() const {
        assert(failure_);
        return failure_->message;
    }
    Failure failure() const { return *failure_; }

private:
    std::optional<Failure> failure_;
};

using Done = Result<void>;

}  // namespace qvr::cli
