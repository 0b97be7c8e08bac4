// Result.h - a value or an error, returned by host operations that can fail.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

#include "corvane/Export.h"

namespace corvane {

// What went wrong, as a code and a message. [any-thread]
class CORVANE_API Error {
public:
    Error() = default;
    explicit Error(std::string message, int code = -1) : message_(std::move(message)), code_(code) {}

    const std::string& getMessage() const noexcept { return message_; }
    int getCode() const noexcept { return code_; }

private:
    std::string message_;
    int code_ = -1;
};

namespace detail {
[[noreturn]] CORVANE_API void throwNoValue();
}

// Holds either a T or an Error, in that order of alternatives. Copyable when
// T is. All members are [any-thread]; copying T may allocate.
template <typename T>
class Result {
public:
    Result(T value) : data_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
    Result(Error error) : data_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

    bool isSuccess() const noexcept { return data_.index() == 0; }
    bool isError() const noexcept { return data_.index() == 1; }

    // A copy of the value. Throws std::runtime_error with the message
    // "Result does not contain a value, operation failed." when there is none.
    T value() const {
        if (!isSuccess()) detail::throwNoValue();
        return std::get<0>(data_);
    }

    // The error; a default Error when the result holds a value.
    Error error() const { return isError() ? std::get<1>(data_) : Error(); }

private:
    std::variant<T, Error> data_;
};

// The form used by operations without a value: success or an Error.
template <>
class Result<void> {
public:
    Result() = default;
    Result(Error error) : data_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

    static Result success() { return Result(); }

    bool isSuccess() const noexcept { return data_.index() == 0; }
    bool isError() const noexcept { return data_.index() == 1; }

    // Throws like Result<T>::value() when the result holds an error.
    void value() const {
        if (!isSuccess()) detail::throwNoValue();
    }

    Error error() const { return isError() ? std::get<1>(data_) : Error(); }

private:
    std::variant<std::monostate, Error> data_;
};

}  // namespace corvane
