#include "expr/render.h"

#include <cstdio>
#include <optional>

#include "base/grain.h"
#include "time/calendar.h"
#include "time/zone.h"

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

Result<void> writeInterval(Dialect d, Text& out, int64_t n, Bytes unit) {
  const bool pg = d == Dialect::postgres;
  TRY(out.put(pg ? Bytes("INTERVAL '") : Bytes("INTERVAL ")));
  TRY(out.putInt(n));
  TRY(out.put(' '));
  TRY(out.put(unit));
  return pg ? out.put('\'') : Result<void>{};
}

Bytes typeofHead(Dialect d) {
  return d == Dialect::postgres ? Bytes("(CASE WHEN CAST(pg_typeof(") : Bytes("(CASE WHEN typeof(");
}

Bytes isTimestampTail(Dialect d) {
  switch (d) {
    case Dialect::duckdb: return ") LIKE 'TIMESTAMP%' THEN ";
    case Dialect::spark: return ") LIKE 'timestamp%' THEN ";
    case Dialect::postgres: return ") AS TEXT) LIKE 'timestamp%' THEN ";
  }
  return "";
}

Bytes isDateTail(Dialect d) {
  switch (d) {
    case Dialect::duckdb: return ") = 'DATE' THEN ";
    case Dialect::spark: return ") = 'date' THEN ";
    case Dialect::postgres: return ") AS TEXT) = 'date' THEN ";
  }
  return "";
}

Result<void> quote(Dialect d, Text& out, Bytes name) {
  TRY(refuseNul(out, name));
  if (d == Dialect::duckdb && name.empty()) {
    out.failure = "an empty name cannot be written as a DuckDB identifier";
    return std::unexpected(Err::WriteFailed);
  }
  if (d == Dialect::postgres && name.empty()) {
    out.failure = "an empty name cannot be written as a PostgreSQL identifier";
    return std::unexpected(Err::WriteFailed);
  }
  if (d == Dialect::postgres && name.size() > kPostgresNameMax) {
    out.failure = "a name longer than 63 bytes cannot be a PostgreSQL identifier, which would cut it short";
    return std::unexpected(Err::WriteFailed);
  }
  if (d == Dialect::spark && name.find("${") != Bytes::npos) {
    // Spark would substitute it before parsing, and a quoted identifier has
    // no escape that could prevent that.
    out.failure = "a name holds '${', which Spark would replace before reading the statement";
    return std::unexpected(Err::WriteFailed);
  }
  char q = d == Dialect::spark ? '`' : '"';
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
    Bytes escape;
    if (c == '\'') {
      escape = d == Dialect::spark ? Bytes("\\'") : Bytes("''");
    } else if (d == Dialect::spark && c == '\\') {
      escape = "\\\\";
    } else if (d == Dialect::spark && c == '$' && i + 1 < text.size() && text[i + 1] == '{') {
      // Spark substitutes ${name} anywhere in the statement text before it
      // parses it, literals included; the escaped dollar survives that.
      escape = "\\u0024";
    } else {
      continue;
    }
    TRY(out.put(text.substr(run, i - run)));
    TRY(out.put(escape));
    run = i + 1;
  }
  TRY(out.put(text.substr(run)));
  return out.put('\'');
}

Result<void> writeLikePattern(Dialect d, Text& out, Bytes pattern) {
  // PostgreSQL's LIKE also takes a backslash as its escape by default.
  if (d == Dialect::duckdb || pattern.find('\\') == Bytes::npos) return writeStringLiteral(d, out, pattern);
  size_t extra = 0;
  for (char c : pattern) extra += c == '\\';
  char* p = out.arena->make<char>(pattern.size() + extra);
  if (!p) return std::unexpected(Err::OutOfMemory);
  size_t k = 0;
  for (char c : pattern) {
    p[k++] = c;
    if (c == '\\') p[k++] = '\\';
  }
  return writeStringLiteral(d, out, Bytes(p, k));
}

namespace render_detail {

bool isLeaf(Tag t) { return t <= Tag::null_lit || t == Tag::zoned_text; }

namespace {

// A comparison with a text that a time zone turns into an instant against
// timestamps: written as a CASE on the operand's type, since the writer
// does not know the columns' types.
bool zonedCompare(const Expr& e, const Node& n) {
  if (n.tag >= Tag::eq && n.tag <= Tag::ge) return e[n.b].tag == Tag::zoned_text;
  if (n.tag != Tag::in && n.tag != Tag::not_in) return false;
  for (uint32_t op : e.list(n))
    if (e[op].tag == Tag::zoned_text) return true;
  return false;
}

}  // namespace

// The digits of a round node.
int32_t digitsOf(const Node& n) { return static_cast<int32_t>(n.b); }

// Some functions are written with their operand more than once (see
// writePiece); every one of those slots reads operand a.
// The unit of a date_diff node (see Node).
Grain diffUnit(const Node& n) { return grainFromName(n.text).value_or(Grain::day); }

// Spark has no date_diff by unit: its SQL reads the end before the start,
// and month and quarter counts read each operand twice (see writeDateDiff).
bool diffTwice(Grain g) { return g == Grain::month || g == Grain::quarter; }

// A substring from a negative start in postgres: PostgreSQL counts every
// start from the first character, so the text is read twice, once for its
// length (see writePiece).
bool pgFromEnd(Dialect d, const Expr& e, const Node& n) {
  if (d != Dialect::postgres || n.tag != Tag::substring) return false;
  const Node& start = e[e.list(n)[1]];
  return start.tag == Tag::int_ && !start.text.empty() && start.text[0] == '-';
}

uint32_t operandCount(Dialect d, const Expr& e, const Node& n) {
  if (pgFromEnd(d, e, n)) return static_cast<uint32_t>(e.list(n).size()) + 1;
  if (n.tag == Tag::local || zonedCompare(e, n)) return 3;
  if (n.tag == Tag::date_diff) return d != Dialect::duckdb && diffTwice(diffUnit(n)) ? 4 : 2;
  if (isVariadic(n.tag)) return static_cast<uint32_t>(e.list(n).size());
  if (n.tag == Tag::round) return digitsOf(n) > 0 ? 3 : 1;
  if (n.tag == Tag::floor || n.tag == Tag::ceil) return d == Dialect::spark ? 3 : 1;
  return n.tag >= Tag::add && n.tag <= Tag::or_ ? 2 : 1;
}

uint32_t operand(Dialect d, const Expr& e, const Node& n, uint32_t k) {
  if (n.tag == Tag::date_diff) {
    if (d == Dialect::duckdb) return k == 0 ? n.a : n.b;
    return k < operandCount(d, e, n) / 2 ? n.b : n.a;
  }
  if (zonedCompare(e, n)) return n.tag == Tag::in || n.tag == Tag::not_in ? e.list(n)[0] : n.a;
  if (pgFromEnd(d, e, n)) return e.list(n)[k == 0 ? 0 : k - 1];
  if (isVariadic(n.tag)) return e.list(n)[k];
  return k == 0 || n.tag == Tag::round || n.tag == Tag::floor || n.tag == Tag::ceil || n.tag == Tag::local ? n.a : n.b;
}

namespace {

// The text around the operands of the one- and two-operand operators:
// before the first, between the two, after the last.
struct Affixes {
  Bytes pre, mid, post;
};

Affixes affixes(Tag t) {
  switch (t) {
    case Tag::neg: return {"(-", "", ")"};
    case Tag::not_: return {"(NOT ", "", ")"};
    case Tag::is_null: return {"(", "", " IS NULL)"};
    case Tag::is_not_null: return {"(", "", " IS NOT NULL)"};
    case Tag::add: return {"(", " + ", ")"};
    case Tag::sub: return {"(", " - ", ")"};
    case Tag::mul: return {"(", " * ", ")"};
    // A zero divisor gives null, as in memory; unguarded, one engine
    // answers infinity and the other fails the whole statement.
    case Tag::div: return {"(", " / NULLIF(", ", 0))"};
    case Tag::mod: return {"(", " % NULLIF(", ", 0))"};
    case Tag::eq: return {"(", " = ", ")"};
    case Tag::ne: return {"(", " <> ", ")"};
    case Tag::lt: return {"(", " < ", ")"};
    case Tag::le: return {"(", " <= ", ")"};
    case Tag::gt: return {"(", " > ", ")"};
    case Tag::ge: return {"(", " >= ", ")"};
    case Tag::and_: return {"(", " AND ", ")"};
    case Tag::or_: return {"(", " OR ", ")"};
    case Tag::like:
    case Tag::not_like:
    case Tag::ilike:
    case Tag::not_ilike: return {"(", "", ")"};
    case Tag::abs: return {"ABS(", "", ")"};
    case Tag::upper: return {"upper(", "", ")"};
    case Tag::lower: return {"lower(", "", ")"};
    case Tag::trim: return {"trim(", "", ")"};
    default: return {"", "", ""};
  }
}

// A date part by the engines' own functions; Spark counts weekdays from 0
// for Monday and names the day of the month dayofmonth. PostgreSQL's
// EXTRACT answers a numeric, made a 64-bit integer as the others answer; it
// reads a timestamp, which a date (and an untyped null) is cast to.
Affixes partAffixes(Dialect d, DatePart p) {
  if (d == Dialect::postgres) {
    switch (p) {
      case DatePart::year:
      case DatePart::fiscal_year: return {"CAST(EXTRACT(YEAR FROM CAST(", "", " AS TIMESTAMP)) AS BIGINT)"};
      case DatePart::quarter:
      case DatePart::fiscal_quarter: return {"CAST(EXTRACT(QUARTER FROM CAST(", "", " AS TIMESTAMP)) AS BIGINT)"};
      case DatePart::month: return {"CAST(EXTRACT(MONTH FROM CAST(", "", " AS TIMESTAMP)) AS BIGINT)"};
      case DatePart::day: return {"CAST(EXTRACT(DAY FROM CAST(", "", " AS TIMESTAMP)) AS BIGINT)"};
      case DatePart::hour: return {"CAST(EXTRACT(HOUR FROM CAST(", "", " AS TIMESTAMP)) AS BIGINT)"};
      case DatePart::minute: return {"CAST(EXTRACT(MINUTE FROM CAST(", "", " AS TIMESTAMP)) AS BIGINT)"};
      case DatePart::isodow: return {"CAST(EXTRACT(ISODOW FROM CAST(", "", " AS TIMESTAMP)) AS BIGINT)"};
    }
  }
  switch (p) {
    case DatePart::year: return {"year(", "", ")"};
    case DatePart::quarter: return {"quarter(", "", ")"};
    case DatePart::month: return {"month(", "", ")"};
    case DatePart::day: return {d == Dialect::duckdb ? Bytes("day(") : Bytes("dayofmonth("), "", ")"};
    case DatePart::hour: return {"hour(", "", ")"};
    case DatePart::minute: return {"minute(", "", ")"};
    case DatePart::isodow:
      return d == Dialect::duckdb ? Affixes{"isodow(", "", ")"} : Affixes{"(weekday(", "", ") + 1)"};
    case DatePart::fiscal_year: return {"year(", "", ")"};
    case DatePart::fiscal_quarter: return {"quarter(", "", ")"};
  }
  return {"", "", ""};
}

Bytes likeOp(Tag t) {
  switch (t) {
    case Tag::like: return " LIKE ";
    case Tag::not_like: return " NOT LIKE ";
    case Tag::ilike: return " ILIKE ";
    default: return " NOT ILIKE ";
  }
}

}  // namespace

// The text of a zoned_text node as the value it stands for: its instant
// (against a timestamp) or its text.
Result<void> writeZonedText(Dialect d, const Node& n, bool instant, Text& out) {
  if (!instant) return writeStringLiteral(d, out, n.text);
  char buf[32];
  const size_t len = formatTimestamp(zonedInstant(n), true, buf);
  if (!len) return writeStringLiteral(d, out, n.text);
  return writeStringLiteral(d, out, Bytes(buf, len));
}

// The wall-clock time of the operand in a zone, for timestamps; a date
// stays its day. Named zones by the engines' own rules, fixed offsets as
// arithmetic (DuckDB's timezone() takes no offset).
Result<void> writeLocal(Dialect d, const Node& n, uint32_t k, Text& out) {
  if (k == 0) return out.put(typeofHead(d));
  if (k == 1) {
    TRY(out.put(isDateTail(d)));
    return out.put("CAST(");
  }
  std::optional<TimeZone> z = findTimeZone(n.text);
  if (!z) return std::unexpected(Err::WriteFailed);
  if (z->data < 0) {
    if (k == 2) return out.put(" AS TIMESTAMP) ELSE (CAST(");
    TRY(out.put(z->fixed < 0 ? Bytes(" AS TIMESTAMP) - ") : Bytes(" AS TIMESTAMP) + ")));
    TRY(writeInterval(d, out, (z->fixed < 0 ? -z->fixed : z->fixed) / 60, "MINUTE"));
    return out.put(") END)");
  }
  // PostgreSQL's timezone() reads zone and timestamp as DuckDB's does.
  if (d != Dialect::spark) {
    if (k == 2) {
      TRY(out.put(" AS TIMESTAMP) ELSE timezone("));
      TRY(writeStringLiteral(d, out, z->name));
      return out.put(", timezone('UTC', CAST(");
    }
    return out.put(" AS TIMESTAMP))) END)");
  }
  if (k == 2) return out.put(" AS TIMESTAMP) ELSE from_utc_timestamp(");
  TRY(out.put(", "));
  TRY(writeStringLiteral(d, out, z->name));
  return out.put(") END)");
}

// A comparison with zoned texts: (CASE WHEN <x is a timestamp> THEN (x op
// <instants>) ELSE (x op <texts>) END), the list of IN written from its
// literal items.
Result<void> writeZonedCompare(Dialect d, const Expr& e, const Node& n, uint32_t k, Text& out) {
  if (k == 0) return out.put(typeofHead(d));
  if (k == 1) {
    TRY(out.put(isTimestampTail(d)));
    return out.put('(');
  }
  const bool instant = k == 2;
  if (n.tag == Tag::in || n.tag == Tag::not_in) {
    TRY(out.put(n.tag == Tag::in ? Bytes(" IN (") : Bytes(" NOT IN (")));
    auto list = e.list(n);
    for (size_t j = 1; j < list.size(); ++j) {
      if (j > 1) TRY(out.put(", "));
      const Node& item = e[list[j]];
      if (item.tag == Tag::zoned_text)
        TRY(writeZonedText(d, item, instant, out));
      else
        TRY(writeLeaf(d, item, out));
    }
    TRY(out.put(')'));
  } else {
    TRY(out.put(affixes(n.tag).mid));
    TRY(writeZonedText(d, e[n.b], instant, out));
  }
  return out.put(instant ? Bytes(") ELSE (") : Bytes(") END)"));
}

// DATE_DIFF. DuckDB's own date_diff counts exactly these boundaries
// (weeks as whole weeks of the day count), over both operands cast to
// TIMESTAMP: it has no overload for a TIMESTAMP WITH TIME ZONE with another
// kind of timestamp, nor for two untyped NULLs, and a date's midnight
// counts as the date does. Spark builds each unit from
// parts both engines' types share, a date reading as its midnight: days
// by datediff of the dates (div 7 truncates toward zero, as DuckDB's
// weeks do), months, quarters and years from year and month numbers,
// seconds from unix_seconds (which floors) and minutes and hours by
// flooring those, exactly, as seconds stay far below 2^53.
// PostgreSQL, from the end operand to the start one as Spark's: days by
// subtracting dates (weeks of them truncated toward zero by integer
// division), months, quarters and years from EXTRACT, seconds, minutes and
// hours by flooring the epoch seconds.
Result<void> writePgDateDiff(Grain g, uint32_t k, Text& out) {
  switch (g) {
    case Grain::day:
    case Grain::week: {
      static constexpr Bytes kDay[] = {"CAST((CAST(", " AS DATE) - CAST(", " AS DATE)) AS BIGINT)"};
      static constexpr Bytes kWeek[] = {"CAST(((CAST(", " AS DATE) - CAST(", " AS DATE)) / 7) AS BIGINT)"};
      return out.put(g == Grain::day ? kDay[k] : kWeek[k]);
    }
    case Grain::month:
    case Grain::quarter: {
      static constexpr Bytes kMonth[] = {"CAST(((EXTRACT(YEAR FROM CAST(", " AS TIMESTAMP)) * 12 + EXTRACT(MONTH FROM CAST(",
                                         " AS TIMESTAMP))) - (EXTRACT(YEAR FROM CAST(", " AS TIMESTAMP)) * 12 + EXTRACT(MONTH FROM CAST(",
                                         " AS TIMESTAMP)))) AS BIGINT)"};
      static constexpr Bytes kQuarter[] = {"CAST(((EXTRACT(YEAR FROM CAST(", " AS TIMESTAMP)) * 4 + EXTRACT(QUARTER FROM CAST(",
                                           " AS TIMESTAMP))) - (EXTRACT(YEAR FROM CAST(", " AS TIMESTAMP)) * 4 + EXTRACT(QUARTER FROM CAST(",
                                           " AS TIMESTAMP)))) AS BIGINT)"};
      return out.put(g == Grain::month ? kMonth[k] : kQuarter[k]);
    }
    case Grain::year: {
      static constexpr Bytes kYear[] = {"CAST((EXTRACT(YEAR FROM CAST(", " AS TIMESTAMP)) - EXTRACT(YEAR FROM CAST(",
                                        " AS TIMESTAMP))) AS BIGINT)"};
      return out.put(kYear[k]);
    }
    case Grain::second:
    case Grain::minute:
    case Grain::hour: {
      const Bytes per = g == Grain::second ? Bytes("1") : g == Grain::minute ? Bytes("60") : Bytes("3600");
      if (k == 0) return out.put("CAST((floor(EXTRACT(EPOCH FROM CAST(");
      TRY(out.put(" AS TIMESTAMP)) / "));
      TRY(out.put(per));
      return out.put(k == 1 ? Bytes(") - floor(EXTRACT(EPOCH FROM CAST(") : Bytes(")) AS BIGINT)"));
    }
  }
  return {};
}

Result<void> writeDateDiff(Dialect d, const Node& n, uint32_t k, Text& out) {
  const Grain g = diffUnit(n);
  if (d == Dialect::duckdb) {
    if (k == 0) {
      TRY(out.put("date_diff("));
      TRY(writeStringLiteral(d, out, grainName(g)));
      return out.put(", CAST(");
    }
    return out.put(k == 1 ? Bytes(" AS TIMESTAMP), CAST(") : Bytes(" AS TIMESTAMP))"));
  }
  if (d == Dialect::postgres) return writePgDateDiff(g, k, out);
  switch (g) {
    case Grain::day:
    case Grain::week: {
      static constexpr Bytes kDay[] = {"CAST(datediff(CAST(", " AS DATE), CAST(", " AS DATE)) AS BIGINT)"};
      static constexpr Bytes kWeek[] = {"(datediff(CAST(", " AS DATE), CAST(", " AS DATE)) div 7)"};
      return out.put(g == Grain::day ? kDay[k] : kWeek[k]);
    }
    case Grain::month:
    case Grain::quarter: {
      static constexpr Bytes kMonth[] = {"CAST(((year(", ") * 12 + month(", ")) - (year(", ") * 12 + month(",
                                         "))) AS BIGINT)"};
      static constexpr Bytes kQuarter[] = {"CAST(((year(", ") * 4 + quarter(", ")) - (year(", ") * 4 + quarter(",
                                           "))) AS BIGINT)"};
      return out.put(g == Grain::month ? kMonth[k] : kQuarter[k]);
    }
    case Grain::year: {
      static constexpr Bytes kYear[] = {"CAST((year(", ") - year(", ")) AS BIGINT)"};
      return out.put(kYear[k]);
    }
    case Grain::second: {
      static constexpr Bytes kSecond[] = {"(unix_seconds(CAST(", " AS TIMESTAMP)) - unix_seconds(CAST(",
                                          " AS TIMESTAMP)))"};
      return out.put(kSecond[k]);
    }
    case Grain::minute:
    case Grain::hour: {
      if (k == 0) return out.put("(floor(unix_seconds(CAST(");
      TRY(out.put(" AS TIMESTAMP)) / "));
      TRY(out.put(g == Grain::minute ? Bytes("60") : Bytes("3600")));
      return out.put(k == 1 ? Bytes(") - floor(unix_seconds(CAST(") : Bytes("))"));
    }
  }
  return {};
}

// PostgreSQL's round on a 64-bit float rounds half to even; on a numeric
// it rounds half away from zero, as memory does. The value goes through a
// numeric and back.
Result<void> writePgRound(int32_t digits, uint32_t k, Text& out) {
  if (digits == 0) return out.put(k == 0 ? Bytes("CAST(round(CAST(") : Bytes(" AS NUMERIC)) AS DOUBLE PRECISION)"));
  const int32_t a = digits < 0 ? -digits : digits;
  char tail[80];
  std::snprintf(tail, sizeof tail,
                digits < 0 ? " / 1E%d) AS NUMERIC)) AS DOUBLE PRECISION) * 1E%d)"
                           : " * 1E%d) AS NUMERIC)) AS DOUBLE PRECISION) / 1E%d) END)",
                a, a);
  if (digits < 0) return out.put(k == 0 ? Bytes("(CAST(round(CAST((") : Bytes(tail));
  if (k == 0) return out.put("(CASE WHEN (ABS(");
  if (k == 1) return out.put(") >= 4503599627370496) THEN ");
  if (k == 2) return out.put(" ELSE (CAST(round(CAST((");
  return out.put(Bytes(tail));
}

Result<void> writePiece(Dialect d, const Expr& e, const Node& n, uint32_t k, Text& out) {
  const uint32_t count = operandCount(d, e, n);
  if (n.tag == Tag::local) return writeLocal(d, n, k, out);
  if (n.tag == Tag::date_diff) return writeDateDiff(d, n, k, out);
  if (zonedCompare(e, n)) return writeZonedCompare(d, e, n, k, out);
  switch (n.tag) {
    case Tag::length:
      // Spark counts in a 32-bit integer, which arithmetic would keep.
      if (d != Dialect::duckdb) return out.put(k == 0 ? Bytes("CAST(length(") : Bytes(") AS BIGINT)"));
      return out.put(k == 0 ? Bytes("length(") : Bytes(")"));
    case Tag::substring:
      if (pgFromEnd(d, e, n)) {
        // substring(s, (length(s) + 1 + (start))[, length])
        static constexpr Bytes kPieces[] = {"substring(", ", (length(", ") + 1 + ("};
        if (k < 3) return out.put(kPieces[k]);
        if (k > 3) return out.put(')');
        return out.put(k == count ? Bytes(")))") : Bytes(")), "));
      }
      return out.put(k == 0 ? Bytes("substring(") : k == count ? Bytes(")") : Bytes(", "));
    case Tag::concat:
      // DuckDB's concat reads a null as empty text; its operator, like
      // Spark's concat, makes the whole value null.
      if (d != Dialect::spark) return out.put(k == 0 ? Bytes("(") : k == count ? Bytes(")") : Bytes(" || "));
      return out.put(k == 0 ? Bytes("concat(") : k == count ? Bytes(")") : Bytes(", "));
    case Tag::round: {
      // To digits: the value times a power of ten, rounded half away from
      // zero, divided back, as 64-bit floats. The engines' own ROUND to
      // digits differs (Spark rounds the value's shortest decimal text,
      // DuckDB its binary value); to no digits both round alike. Values
      // from 2^52 up are whole already.
      const int32_t digits = digitsOf(n);
      if (d == Dialect::postgres) return writePgRound(digits, k, out);
      if (digits == 0) return out.put(k == 0 ? Bytes("round(") : Bytes(")"));
      const int32_t a = digits < 0 ? -digits : digits;
      char tail[48];
      std::snprintf(tail, sizeof tail, digits < 0 ? " / 1E%d) * 1E%d)" : " * 1E%d) / 1E%d) END)", a, a);
      if (digits < 0) return out.put(k == 0 ? Bytes("(round(") : Bytes(tail));
      if (k == 0) return out.put("(CASE WHEN (ABS(");
      if (k == 1) return out.put(") >= 4503599627370496) THEN ");
      if (k == 2) return out.put(" ELSE (round(");
      return out.put(Bytes(tail));
    }
    case Tag::floor:
    case Tag::ceil: {
      // A 64-bit float, as DuckDB answers. Spark's FLOOR and CEIL give a
      // 64-bit integer and fail past its range; values from 2^52 up are
      // whole already.
      const Bytes fn = n.tag == Tag::floor ? Bytes("floor(") : Bytes("ceil(");
      if (d != Dialect::spark) return out.put(k == 0 ? fn : Bytes(")"));
      if (k == 0) return out.put("(CASE WHEN (ABS(");
      if (k == 1) return out.put(") >= 4503599627370496) THEN CAST(");
      if (k == 2) {
        TRY(out.put(" AS DOUBLE) ELSE CAST("));
        return out.put(fn);
      }
      return out.put(") AS DOUBLE) END)");
    }
    case Tag::div:
      // PostgreSQL divides integers as integers; memory divides as floats.
      if (d == Dialect::postgres) return out.put(k == 0 ? Bytes("(CAST(") : k == 1 ? Bytes(" AS DOUBLE PRECISION) / NULLIF(") : Bytes(", 0))"));
      break;
    case Tag::mod:
      // PostgreSQL has no remainder of floats; a numeric's keeps the
      // dividend's sign, as the others' do.
      if (d == Dialect::postgres)
        return out.put(k == 0 ? Bytes("(CAST(") : k == 1 ? Bytes(" AS NUMERIC) % NULLIF(CAST(") : Bytes(" AS NUMERIC), 0))"));
      break;
    case Tag::case_:
      if (k == 0) return out.put("(CASE WHEN ");
      if (k == count) return out.put(" END)");
      if (k % 2) return out.put(" THEN ");
      return out.put(count % 2 && k == count - 1 ? Bytes(" ELSE ") : Bytes(" WHEN "));
    case Tag::coalesce:
      return out.put(k == 0 ? Bytes("COALESCE(") : k == count ? Bytes(")") : Bytes(", "));
    case Tag::in:
    case Tag::not_in:
      if (k == 0) return out.put('(');
      if (k == count) return out.put("))");
      if (k == 1) return out.put(n.tag == Tag::in ? Bytes(" IN (") : Bytes(" NOT IN ("));
      return out.put(", ");
    case Tag::part: {
      Affixes x = partAffixes(d, partOf(n.b));
      // A fiscal year or quarter: the calendar one of the date moved on to
      // the calendar year the fiscal year ends in.
      const int shift = fiscalStartOf(n.b);
      if (!shift) return out.put(k == 0 ? x.pre : x.post);
      if (k == 0) {
        TRY(out.put(x.pre));
        return out.put('(');
      }
      TRY(out.put(" + "));
      TRY(writeInterval(d, out, 12 - shift, "MONTH"));
      TRY(out.put(')'));
      return out.put(x.post);
    }
    case Tag::like:
    case Tag::not_like:
    case Tag::ilike:
    case Tag::not_ilike:
      if (k == 0) return out.put('(');
      TRY(out.put(likeOp(n.tag)));
      TRY(writeLikePattern(d, out, n.text));
      return out.put(')');
    default: break;
  }
  Affixes x = affixes(n.tag);
  return out.put(k == 0 ? x.pre : k == count ? x.post : x.mid);
}

Result<void> writeLeaf(Dialect d, const Node& n, Text& out) {
  switch (n.tag) {
    case Tag::int_:
      return out.put(n.text);
    case Tag::float_:
      // The lexer takes any run of digits and dots as one number; a second
      // dot cannot be a number in SQL either.
      if (n.text.find('.') != n.text.rfind('.')) {
        out.failure = "a number with more than one '.' cannot be written as SQL";
        return std::unexpected(Err::WriteFailed);
      }
      // PostgreSQL reads a number with a point as a numeric.
      if (d == Dialect::postgres) TRY(out.put("CAST("));
      TRY(out.put(n.text));
      if (d == Dialect::postgres) return out.put(" AS DOUBLE PRECISION)");
      // Spark reads a number with a point as an exact decimal and divides
      // decimals to six places; in this system every such number is a
      // 64-bit float, which the D suffix makes it in Spark too.
      return d == Dialect::spark ? out.put('D') : Result<void>{};
    case Tag::string:
    case Tag::zoned_text:
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
