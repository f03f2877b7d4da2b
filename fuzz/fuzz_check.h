// Invariants the fuzz targets check on every output, beyond "no crash".
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "base/arena.h"
#include "base/json.h"
#include "expr/render.h"

namespace quendra::fuzz {

[[noreturn]] inline void die(const char* what, std::string_view text) {
  std::fprintf(stderr, "invariant broken: %s\n%.*s\n", what, static_cast<int>(text.size()), text.data());
  std::abort();
}

// SQL text must close every literal and quoted identifier, balance its
// parentheses outside them, and hold no NUL byte.
inline void checkSql(std::string_view sql, Dialect d) {
  enum { normal, literal, ident } state = normal;
  char q = d == Dialect::duckdb ? '"' : '`';
  long depth = 0;
  for (size_t i = 0; i < sql.size(); ++i) {
    char c = sql[i];
    if (c == '\0') die("NUL inside SQL text", sql);
    switch (state) {
      case normal:
        if (c == '\'') state = literal;
        else if (c == q) state = ident;
        else if (c == '(') ++depth;
        else if (c == ')' && --depth < 0) die("unbalanced ')'", sql);
        break;
      case literal:
        // duckdb doubles quotes (two quotes close and reopen); spark escapes
        // with a backslash.
        if (d == Dialect::spark && c == '\\') ++i;
        else if (c == '\'') state = normal;
        break;
      case ident:
        if (c == q) state = normal;
        break;
    }
  }
  if (state != normal) die("unclosed literal or identifier", sql);
  if (depth != 0) die("unbalanced '('", sql);
}

// An error document is one JSON object with exactly "code" (a string) and
// "message" (a string, or an array of byte values).
inline void checkErrorDoc(std::string_view doc) {
  if (doc.empty()) return;  // allowed only when memory ran out; callers decide
  Arena a;
  auto v = readJson(a, doc.data(), doc.size());
  if (!v || !v->isObject() || v->members().size() != 2) die("error document is not a two-member object", doc);
  const Json* code = v->getString("code");
  const Json* message = v->get("message");
  if (!code || !message) die("error document lacks code or message", doc);
  if (message->isArray()) {
    for (const Json& b : message->items())
      if (!b.isInt() || b.i < 0 || b.i > 255) die("byte array message holds a non-byte", doc);
  } else if (!message->isString()) {
    die("message is neither a string nor bytes", doc);
  }
}

}  // namespace quendra::fuzz
