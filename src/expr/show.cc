#include "expr/show.h"

#include <cstring>

namespace quendra {

void Shown::put(Bytes s) {
  if (cut_) return;
  if (s.size() <= kShownBytes - len_) {
    if (!s.empty()) std::memcpy(buf_ + len_, s.data(), s.size());
    len_ += s.size();
    return;
  }
  // Never half a character: back off while the first byte left out
  // continues the character before it.
  size_t take = kShownBytes - len_;
  while (take > 0 && (static_cast<unsigned char>(s[take]) & 0xC0) == 0x80) --take;
  if (take) std::memcpy(buf_ + len_, s.data(), take);
  len_ += take;
  std::memcpy(buf_ + len_, "\xE2\x80\xA6", 3);
  len_ += 3;
  cut_ = true;
}

void Shown::putQuoted(char q, Bytes s) {
  const char quote[1] = {q};
  put(Bytes(quote, 1));
  size_t run = 0;
  for (size_t i = 0; i < s.size() && !cut_; ++i) {
    if (s[i] != q) continue;
    put(s.substr(run, i + 1 - run));
    put(Bytes(quote, 1));
    run = i + 1;
  }
  put(s.substr(run));
  put(Bytes(quote, 1));
}

namespace {

// Past this nesting the rest is "…": a message needs the top of a deep
// expression, and the machine stack must not grow with the input.
constexpr int kMaxDepth = 32;

Bytes binaryOp(Tag t) {
  switch (t) {
    case Tag::add: return " + ";
    case Tag::sub: return " - ";
    case Tag::mul: return " * ";
    case Tag::div: return " / ";
    case Tag::mod: return " % ";
    case Tag::eq: return " = ";
    case Tag::ne: return " <> ";
    case Tag::lt: return " < ";
    case Tag::le: return " <= ";
    case Tag::gt: return " > ";
    case Tag::ge: return " >= ";
    case Tag::and_: return " AND ";
    case Tag::or_: return " OR ";
    case Tag::like: return " LIKE ";
    case Tag::not_like: return " NOT LIKE ";
    case Tag::ilike: return " ILIKE ";
    case Tag::not_ilike: return " NOT ILIKE ";
    default: return {};
  }
}

// The name of a node written as a call, or empty for other nodes.
Bytes callName(const Node& n) {
  switch (n.tag) {
    case Tag::part: return n.text;  // as written
    case Tag::abs: return "ABS";
    case Tag::upper: return "UPPER";
    case Tag::lower: return "LOWER";
    case Tag::length: return "LENGTH";
    case Tag::trim: return "TRIM";
    case Tag::round: return "ROUND";
    case Tag::floor: return "FLOOR";
    case Tag::ceil: return "CEIL";
    case Tag::coalesce: return "COALESCE";
    case Tag::substring: return "SUBSTRING";
    case Tag::concat: return "CONCAT";
    default: return {};
  }
}

struct Writer {
  Shown& out;
  const Expr& e;
  std::span<const Bytes> words;

  // Whether node i reads as one unit next to an operator.
  bool delimited(uint32_t i) const {
    const Node& n = e[i];
    if (n.tag == Tag::local) return delimited(n.a);
    return n.tag <= Tag::null_lit || n.tag == Tag::zoned_text || n.tag == Tag::case_ || n.tag == Tag::date_diff ||
           !callName(n).empty();
  }

  // Operand k (node i) of a node at `depth`: its word at the top, else
  // the node, in parentheses unless `bare` or delimited.
  void operand(uint32_t k, uint32_t i, int depth, bool bare) {
    if (depth == 0 && !words.empty()) {
      out.put(k < words.size() ? words[k] : Bytes("\xE2\x80\xA6"));
      return;
    }
    const bool parens = !bare && !delimited(i);
    if (parens) out.put("(");
    show(i, depth + 1);
    if (parens) out.put(")");
  }

  void show(uint32_t i, int depth) {
    if (out.cut()) return;
    if (depth > kMaxDepth) {
      out.put("\xE2\x80\xA6");
      return;
    }
    const Node& n = e[i];
    switch (n.tag) {
      case Tag::ident:
        if (n.b == 1)
          out.putQuoted('"', n.text);
        else
          out.put(n.text);
        return;
      case Tag::int_:
      case Tag::float_: out.put(n.text); return;
      case Tag::string:
      case Tag::zoned_text: out.putQuoted('\'', n.text); return;
      case Tag::boolean: out.put(n.a == 1 ? "TRUE" : "FALSE"); return;
      case Tag::null_lit: out.put("NULL"); return;
      case Tag::local:
        // Planning's reading of a time in the query's zone: shown as the
        // operand the person wrote.
        if (depth == 0 && !words.empty()) return operand(0, n.a, depth, true);
        return show(n.a, depth);
      case Tag::neg:
        out.put("-");
        return operand(0, n.a, depth, false);
      case Tag::not_:
        out.put("NOT ");
        return operand(0, n.a, depth, false);
      case Tag::is_null:
      case Tag::is_not_null:
        operand(0, n.a, depth, false);
        out.put(n.tag == Tag::is_null ? " IS NULL" : " IS NOT NULL");
        return;
      case Tag::like:
      case Tag::not_like:
      case Tag::ilike:
      case Tag::not_ilike:
        operand(0, n.a, depth, false);
        out.put(binaryOp(n.tag));
        out.putQuoted('\'', n.text);
        return;
      case Tag::in:
      case Tag::not_in: {
        auto ops = e.list(n);
        operand(0, ops[0], depth, false);
        out.put(n.tag == Tag::in ? " IN (" : " NOT IN (");
        for (uint32_t k = 1; k < ops.size(); ++k) {
          if (k > 1) out.put(", ");
          operand(k, ops[k], depth, true);
        }
        out.put(")");
        return;
      }
      case Tag::case_: {
        auto ops = e.list(n);
        out.put("CASE");
        uint32_t k = 0;
        for (; k + 1 < ops.size(); k += 2) {
          out.put(" WHEN ");
          operand(k, ops[k], depth, true);
          out.put(" THEN ");
          operand(k + 1, ops[k + 1], depth, true);
        }
        if (k < ops.size()) {
          out.put(" ELSE ");
          operand(k, ops[k], depth, true);
        }
        out.put(" END");
        return;
      }
      default: break;
    }
    if (Bytes op = binaryOp(n.tag); !op.empty()) {
      operand(0, n.a, depth, false);
      out.put(op);
      return operand(1, n.b, depth, false);
    }
    if (n.tag == Tag::date_diff) {
      out.put("DATE_DIFF(");
      out.putQuoted('\'', n.text);
      out.put(", ");
      operand(0, n.a, depth, true);
      out.put(", ");
      operand(1, n.b, depth, true);
      out.put(")");
      return;
    }
    const Bytes name = callName(n);
    if (name.empty()) {
      out.put("\xE2\x80\xA6");
      return;
    }
    out.put(name);
    out.put("(");
    if (isVariadic(n.tag)) {
      auto ops = e.list(n);
      for (uint32_t k = 0; k < ops.size(); ++k) {
        if (k) out.put(", ");
        operand(k, ops[k], depth, true);
      }
    } else {
      operand(0, n.a, depth, true);
      if (n.tag == Tag::round && n.b) {
        char digits[12];
        int v = static_cast<int32_t>(n.b), at = sizeof digits;
        const bool minus = v < 0;
        if (minus) v = -v;
        do {
          digits[--at] = static_cast<char>('0' + v % 10);
          v /= 10;
        } while (v);
        if (minus) digits[--at] = '-';
        out.put(", ");
        out.put(Bytes(digits + at, sizeof digits - static_cast<size_t>(at)));
      }
    }
    out.put(")");
  }
};

}  // namespace

void showExpr(Shown& out, const Expr& e, uint32_t i, std::span<const Bytes> words) {
  Writer w{out, e, words};
  w.show(i, 0);
}

}  // namespace quendra
