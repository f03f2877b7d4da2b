#include "expr/render.h"

namespace quendra {

namespace {

// A NUL byte inside SQL text would cut the statement short for every host
// that reads it as a C string, so no identifier or literal may carry one.
Result<void> refuseNul(Text& out, Bytes s) {
  if (s.find('\0') == Bytes::npos) return {};
  out.failure = "a name or text value holds a NUL byte, which SQL text cannot carry";
  return std::unexpected(Err::WriteFailed);
}

}  // namespace

Result<void> quote(Dialect d, Text& out, Bytes name) {
  TRY(refuseNul(out, name));
  char q = d == Dialect::duckdb ? '"' : '`';
  TRY(out.put(q));
  size_t run = 0;  // copy runs between quote characters in one piece
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] != q) continue;
    TRY(out.put(name.substr(run, i + 1 - run)));
    TRY(out.put(q));
    run = i + 1;
  }
  TRY(out.put(name.substr(run)));
  return out.put(q);
}

Result<void> writeStringLiteral(Dialect d, Text& out, Bytes text) {
  TRY(refuseNul(out, text));
  TRY(out.put('\''));
  size_t run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\'') {
      TRY(out.put(text.substr(run, i - run)));
      TRY(out.put(d == Dialect::duckdb ? Bytes("''") : Bytes("\\'")));
      run = i + 1;
    } else if (c == '\\' && d == Dialect::spark) {
      TRY(out.put(text.substr(run, i - run)));
      TRY(out.put("\\\\"));
      run = i + 1;
    }
  }
  TRY(out.put(text.substr(run)));
  return out.put('\'');
}

namespace render_detail {

bool isLeaf(Tag t) { return t <= Tag::null_lit; }

bool isBinary(Tag t) { return t >= Tag::add && t <= Tag::or_; }

Affixes affixes(Tag t) {
  switch (t) {
    case Tag::neg: return {"(-", "", ")"};
    case Tag::not_: return {"(NOT ", "", ")"};
    case Tag::is_null: return {"(", "", " IS NULL)"};
    case Tag::is_not_null: return {"(", "", " IS NOT NULL)"};
    case Tag::add: return {"(", " + ", ")"};
    case Tag::sub: return {"(", " - ", ")"};
    case Tag::mul: return {"(", " * ", ")"};
    case Tag::div: return {"(", " / ", ")"};
    case Tag::mod: return {"(", " % ", ")"};
    case Tag::eq: return {"(", " = ", ")"};
    case Tag::ne: return {"(", " <> ", ")"};
    case Tag::lt: return {"(", " < ", ")"};
    case Tag::le: return {"(", " <= ", ")"};
    case Tag::gt: return {"(", " > ", ")"};
    case Tag::ge: return {"(", " >= ", ")"};
    case Tag::and_: return {"(", " AND ", ")"};
    case Tag::or_: return {"(", " OR ", ")"};
    default: return {"", "", ""};
  }
}

Result<void> writeLeaf(Dialect d, const Node& n, Text& out) {
  switch (n.tag) {
    case Tag::int_:
    case Tag::float_:
      return out.put(n.text);
    case Tag::string:
      return writeStringLiteral(d, out, n.text);
    case Tag::boolean:
      return out.put(n.a == 1 ? Bytes("TRUE") : Bytes("FALSE"));
    case Tag::null_lit:
      return out.put("NULL");
    default:
      return out.put(n.text);
  }
}

}  // namespace render_detail
}  // namespace quendra
