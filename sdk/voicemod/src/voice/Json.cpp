// Json.cpp - see Json.h.
#include "voice/Json.h"

#include <cmath>
#include <limits>
#include <sstream>

namespace vcmd {
namespace strictjson {

void refuse(const std::string& message) { throw Refusal{message}; }

std::string formatNumber(double v) {
    std::ostringstream out;
    out << v;
    return out.str();
}

const char* typeName(const json& v) {
    switch (v.type()) {
        case json::value_t::null: return "null";
        case json::value_t::boolean: return "a boolean";
        case json::value_t::string: return "a string";
        case json::value_t::array: return "an array";
        case json::value_t::object: return "an object";
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
        case json::value_t::number_float: return "a number";
        default: return "not a JSON value";
    }
}

void requireObject(const json& v, const std::string& where) {
    if (!v.is_object()) refuse(where + " must be an object, not " + typeName(v));
}

// Refuses any member of `object` that is not in `allowed`.
void onlyFields(const json& object, const std::string& where, std::initializer_list<const char*> allowed) {
    for (auto it = object.begin(); it != object.end(); ++it) {
        bool known = false;
        for (const char* name : allowed) known = known || it.key() == name;
        if (!known) refuse((where.empty() ? "" : where + ".") + it.key() + " is not a known field");
    }
}

const json& member(const json& object, const std::string& where, const char* name) {
    auto it = object.find(name);
    if (it == object.end()) refuse((where.empty() ? std::string() : where + ".") + name + " is missing");
    return *it;
}

std::string path(const std::string& where, const char* name) {
    return where.empty() ? std::string(name) : where + "." + name;
}

std::string index(const std::string& where, std::size_t i) { return where + "[" + std::to_string(i) + "]"; }

std::string getString(const json& v, const std::string& where) {
    if (!v.is_string()) refuse(where + " must be a string, not " + typeName(v));
    std::string s = v.get<std::string>();
    if (s.size() > kMaxTextBytes) refuse(where + " is longer than " + std::to_string(kMaxTextBytes) + " bytes");
    return s;
}

// The engine keeps every number as a float, so a number is read as the
// float it becomes and checked as that: a value beyond the float range is
// refused here rather than turning into an infinity later.
static_assert(std::numeric_limits<float>::is_iec559, "double to float conversion must round as IEEE 754");

float getNumber(const json& v, const std::string& where) {
    if (!v.is_number()) refuse(where + " must be a number, not " + typeName(v));
    const double d = v.get<double>();
    if (!std::isfinite(d)) refuse(where + " is not a finite number");
    const float f = static_cast<float>(d);
    if (!std::isfinite(f)) refuse(where + " is " + formatNumber(d) + ", beyond the range of a float");
    return f;
}

const json& getArray(const json& v, const std::string& where) {
    if (!v.is_array()) refuse(where + " must be an array, not " + typeName(v));
    return v;
}

}  // namespace strictjson
}  // namespace vcmd
