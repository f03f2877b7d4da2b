// A query's time zone: which zone it reads time in, and the expressions
// that read time there. Timestamps hold UTC instants; with a zone, their
// date parts, DATE_DIFFs and time dimensions read the wall-clock time of the
// zone, and a text compared with one is a wall-clock time, turned into its
// instant here so that memory and both dialects read it alike (through the
// gap and the overlap of daylight saving too).
#include "plan/builder.h"
#include "plan/plan.h"
#include "time/calendar.h"

namespace quendra {
namespace {

bool isLiteral(Tag t) { return t <= Tag::null_lit && t != Tag::ident; }

// The instant of the wall-clock text `s` in z, when s is a timestamp text
// whose instant can be written back as one.
std::optional<int64_t> instantOf(Bytes s, const TimeZone& z) {
  std::optional<int64_t> local = parseTimestamp(s);
  if (!local) return std::nullopt;
  ZoneCursor c(z);
  const int64_t utc = c.toUtc(*local);
  char buf[32];
  if (!formatTimestamp(utc, true, buf)) return std::nullopt;
  return utc;
}

Tag flipped(Tag t) {
  switch (t) {
    case Tag::lt: return Tag::gt;
    case Tag::le: return Tag::ge;
    case Tag::gt: return Tag::lt;
    case Tag::ge: return Tag::le;
    default: return t;
  }
}

}  // namespace

Result<std::optional<TimeZone>> readTimeZone(const Json& query, const Json& model, Diag& diag,
                                             const Json** name) {
  *name = nullptr;
  for (const Json* z : {query.get("time_zone"), model.get("time_zone")}) {
    if (!z) continue;
    if (!z->isString())
      return diag.fail(Err::Invalid, {"time_zone must be a zone name such as 'America/New_York', or an offset such as '+05:30'"});
    std::optional<TimeZone> found = findTimeZone(z->str());
    if (!found) return diag.fail(Err::Invalid, {"unknown time zone '", z->str(), "'"});
    *name = z;
    return found;
  }
  return std::optional<TimeZone>();
}

Result<Expr> zonedExpr(Arena& arena, Expr e, const TimeZone& z) {
  // What changes: each date part and both operands of each DATE_DIFF read
  // through a new local node (boundaries are those of the zone's calendar), and each text compared with a non-literal becomes a zoned_text
  // (on the right of its comparison).
  bool* zoned = arena.make<bool>(e.count);
  bool* swap = arena.make<bool>(e.count);
  if ((!zoned || !swap) && e.count) return std::unexpected(Err::OutOfMemory);
  uint32_t locals = 0;  // local nodes to add
  bool any = false;
  auto mark = [&](uint32_t lit) {
    if (e[lit].tag != Tag::string || !instantOf(e[lit].text, z)) return false;
    zoned[lit] = any = true;
    return true;
  };
  for (uint32_t i = 0; i < e.count; ++i) zoned[i] = swap[i] = false;
  for (uint32_t i = 0; i < e.count; ++i) {
    const Node& n = e[i];
    if (n.tag == Tag::part) ++locals;
    if (n.tag == Tag::date_diff) locals += 2;
    if (n.tag >= Tag::eq && n.tag <= Tag::ge) {
      const bool la = isLiteral(e[n.a].tag), lb = isLiteral(e[n.b].tag);
      if (lb && !la) mark(n.b);
      if (la && !lb && mark(n.a)) swap[i] = true;
    } else if (n.tag == Tag::in || n.tag == Tag::not_in) {
      // Only lists of literals: the SQL repeats the list once per type.
      auto list = e.list(n);
      bool literals = !isLiteral(e[list[0]].tag);
      for (size_t k = 1; k < list.size(); ++k) literals &= isLiteral(e[list[k]].tag);
      if (literals)
        for (size_t k = 1; k < list.size(); ++k) mark(list[k]);
    }
  }
  if (!locals && !any) return e;
  const uint32_t count = e.count + locals;
  Node* out = arena.make<Node>(count);
  uint32_t* at = arena.make<uint32_t>(e.count);  // where node i went
  if (!out || !at) return std::unexpected(Err::OutOfMemory);
  uint32_t nargs = 0;
  for (const Node& n : e.all())
    if (isVariadic(n.tag)) nargs = std::max(nargs, n.a + n.b);
  uint32_t* args = arena.make<uint32_t>(nargs + 1);
  if (!args) return std::unexpected(Err::OutOfMemory);
  for (uint32_t k = 0; k < nargs; ++k) args[k] = e.args[k];
  uint32_t k = 0;
  for (uint32_t i = 0; i < e.count; ++i) {
    Node n = e[i];
    if (zoned[i]) {
      const uint64_t instant = static_cast<uint64_t>(*instantOf(n.text, z));
      n = Node{n.text, static_cast<uint32_t>(instant), static_cast<uint32_t>(instant >> 32), Tag::zoned_text};
    } else if (isVariadic(n.tag)) {
      for (uint32_t q = n.a; q < n.a + n.b; ++q) args[q] = at[e.args[q]];
    } else {
      if (readsA(n.tag)) n.a = at[n.a];
      if (readsB(n.tag)) n.b = at[n.b];
    }
    if (swap[i]) {
      std::swap(n.a, n.b);
      n.tag = flipped(n.tag);
    }
    if (n.tag == Tag::part || n.tag == Tag::date_diff) {
      out[k] = Node{z.name, n.a, 0, Tag::local};
      n.a = k++;
    }
    if (n.tag == Tag::date_diff) {
      out[k] = Node{z.name, n.b, 0, Tag::local};
      n.b = k++;
    }
    out[k] = n;
    at[i] = k++;
  }
  return Expr{out, count, at[e.root], args};
}

Result<Bound> localBound(Arena& arena, const Bound& b, const TimeZone& z) {
  Node* out = arena.make<Node>(b.e.count + 1);
  if (!out) return std::unexpected(Err::OutOfMemory);
  for (uint32_t i = 0; i < b.e.count; ++i) out[i] = b.e[i];
  out[b.e.count] = Node{z.name, b.e.root, 0, Tag::local};
  return Bound{Expr{out, b.e.count + 1, b.e.count, b.e.args}, b.alias};
}

std::optional<int64_t> zonedInstantOf(Bytes text, const TimeZone& z) { return instantOf(text, z); }

}  // namespace quendra
