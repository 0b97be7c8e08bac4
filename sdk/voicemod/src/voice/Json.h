// Json.h - the strict JSON checks the package reader is made of. Each one
// either returns what it was asked for or refuses: it throws a Refusal whose
// message names the JSON path of the fault ("voices[1].name must be a
// string, not a number"). Paths are built with path() and index().
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>

#include <nlohmann/json.hpp>

namespace vcmd {
namespace strictjson {

using json = nlohmann::json;

// Longest string the reader takes, in bytes.
constexpr std::size_t kMaxTextBytes = 1000;

// Thrown inside the reader only; turned into the error text at the top.
struct Refusal {
    std::string message;
};

[[noreturn]] void refuse(const std::string& message);

// `v` as text the way messages show numbers ("1e+39").
std::string formatNumber(double v);
// "a string", "an array", ... for messages.
const char* typeName(const json& v);

void requireObject(const json& v, const std::string& where);
// Refuses any member of `object` that is not in `allowed`.
void onlyFields(const json& object, const std::string& where, std::initializer_list<const char*> allowed);
// The member `name` of `object`; refuses when it is missing.
const json& member(const json& object, const std::string& where, const char* name);

// The path of member `name` under `where`, and of element `i`.
std::string path(const std::string& where, const char* name);
std::string index(const std::string& where, std::size_t i);

// A string of at most kMaxTextBytes bytes.
std::string getString(const json& v, const std::string& where);
// A number, as the finite float it becomes: the engine keeps every number as
// a float, so a value beyond the float range is refused here rather than
// turning into an infinity later.
float getNumber(const json& v, const std::string& where);
const json& getArray(const json& v, const std::string& where);

}  // namespace strictjson
}  // namespace vcmd
