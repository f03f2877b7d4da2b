// JSON values and the reader that builds them.
//
// A document is read in one pass into values that live in one arena. Arrays
// and objects hold their children contiguously, so a value is a small
// record and walking a document never chases per-element pointers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>

#include "base/arena.h"
#include "base/bytes.h"

namespace quendra {

enum class JsonKind : uint8_t {
  null,
  boolean,
  integer,        // fits a signed 64-bit integer
  float_,         // finite double
  number_string,  // a number kept as its text: too large an integer, or not finite
  string,
  array,
  object,
};

struct JsonMember;

struct Json {
  JsonKind kind = JsonKind::null;
  union {
    bool b;
    int64_t i;
    double f;
    struct {
      const void* ptr;  // chars, items or members
      size_t len;       // bytes, items or members
    } seq;
  };

  Json() : seq{nullptr, 0} {}

  bool isNull() const { return kind == JsonKind::null; }
  bool isBool() const { return kind == JsonKind::boolean; }
  bool isInt() const { return kind == JsonKind::integer; }
  bool isFloat() const { return kind == JsonKind::float_; }
  bool isNumberString() const { return kind == JsonKind::number_string; }
  bool isString() const { return kind == JsonKind::string; }
  bool isArray() const { return kind == JsonKind::array; }
  bool isObject() const { return kind == JsonKind::object; }

  // REQUIRES: isString() or isNumberString().
  Bytes str() const { return Bytes(static_cast<const char*>(seq.ptr), seq.len); }
  // REQUIRES: isArray().
  std::span<const Json> items() const { return {static_cast<const Json*>(seq.ptr), seq.len}; }
  // REQUIRES: isObject().
  std::span<const JsonMember> members() const;

  // The member named exactly `key` when this is an object that has one;
  // nullptr otherwise (also when this is not an object).
  const Json* get(Bytes key) const;
  // get(key) when that member is a string, else nullptr.
  const Json* getString(Bytes key) const;
  // get(key) when that member is an object, else nullptr.
  const Json* getObject(Bytes key) const;
};

struct JsonMember {
  Bytes key;
  Json value;
};

inline std::span<const JsonMember> Json::members() const {
  return {static_cast<const JsonMember*>(seq.ptr), seq.len};
}

// Why reading failed. The names (jsonErrorName) are what the error document
// reports.
enum class JsonError : uint8_t {
  SyntaxError,           // malformed text, invalid UTF-8, raw control bytes in strings
  UnexpectedEndOfInput,  // the text stops before the document is complete
  DuplicateField,        // a key occurs twice in one object
  OutOfMemory,
  NestingTooDeep,        // arrays and objects nested deeper than kMaxJsonDepth
};

Bytes jsonErrorName(JsonError e);

// Documents may nest arrays and objects this deep; one level more fails
// with NestingTooDeep rather than risk the stack.
constexpr int kMaxJsonDepth = 512;

// Reads exactly one JSON document (surrounded by optional whitespace) from
// the `len` bytes at `text`, which need not be NUL-terminated and are never
// read past `len`. Every string is copied into `arena`, which then owns the
// whole value; `text` may be freed afterwards.
[[nodiscard]] std::expected<Json, JsonError> readJson(Arena& arena, const char* text, size_t len);

}  // namespace quendra
