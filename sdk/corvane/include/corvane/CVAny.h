// CVAny.h - the host's dynamically typed value and map of named values.
#pragma once

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "corvane/Export.h"

namespace corvane {

// Raised by CVAny::convert when the held value has another type.
class CORVANE_API CVAnyTypeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A copyable value holding nothing, a bool, a 64-bit integer, a double or
// text. [any-thread] for distinct objects; copying text allocates.
class CORVANE_API CVAny {
public:
    enum class Type { Empty, Bool, Integer, Double, Text };

    CVAny() = default;
    CVAny(bool v) : data_(v) {}  // NOLINT: implicit by design
    CVAny(int v) : data_(static_cast<std::int64_t>(v)) {}  // NOLINT
    CVAny(std::int64_t v) : data_(v) {}  // NOLINT
    CVAny(double v) : data_(v) {}  // NOLINT
    CVAny(const char* v) : data_(std::string(v ? v : "")) {}  // NOLINT
    CVAny(std::string v) : data_(std::move(v)) {}  // NOLINT

    Type getType() const noexcept { return static_cast<Type>(data_.index()); }
    bool isEmpty() const noexcept { return getType() == Type::Empty; }

    // Converts `value` to T. Supported: std::string (text only), bool,
    // std::int64_t and int (bool or integer), double (integer or double).
    // Any other held type throws CVAnyTypeError naming both types.
    template <typename T>
    static T convert(const CVAny& value);

    // The name of a type, for messages: "empty", "bool", "integer", ...
    static const char* typeName(Type type) noexcept;

private:
    [[noreturn]] static void throwMismatch(Type held, const char* wanted);

    std::variant<std::monostate, bool, std::int64_t, double, std::string> data_;
};

template <typename T>
T CVAny::convert(const CVAny& value) {
    if constexpr (std::is_same_v<T, std::string>) {
        if (auto* s = std::get_if<std::string>(&value.data_)) return *s;
        throwMismatch(value.getType(), "text");
    } else if constexpr (std::is_same_v<T, bool>) {
        if (auto* b = std::get_if<bool>(&value.data_)) return *b;
        if (auto* i = std::get_if<std::int64_t>(&value.data_)) return *i != 0;
        throwMismatch(value.getType(), "bool");
    } else if constexpr (std::is_integral_v<T>) {
        if (auto* i = std::get_if<std::int64_t>(&value.data_)) return static_cast<T>(*i);
        if (auto* b = std::get_if<bool>(&value.data_)) return static_cast<T>(*b);
        throwMismatch(value.getType(), "integer");
    } else if constexpr (std::is_floating_point_v<T>) {
        if (auto* d = std::get_if<double>(&value.data_)) return static_cast<T>(*d);
        if (auto* i = std::get_if<std::int64_t>(&value.data_)) return static_cast<T>(*i);
        throwMismatch(value.getType(), "double");
    } else {
        static_assert(std::is_same_v<T, void>, "CVAny::convert: unsupported type");
    }
}

// Named values, ordered by name.
using CVAnyMap = std::map<std::string, CVAny>;

}  // namespace corvane
