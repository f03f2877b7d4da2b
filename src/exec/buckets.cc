// A CASE dimension whose values are all literals ("large" above 100, and so
// on) has no more distinct values than it has branches. It is grouped by the
// number of the branch each row takes, a small integer that groups without
// hashing, and only the groups' values are written out.
#include <cstring>

#include "exec/exec.h"

namespace quendra {
namespace {

bool isLiteral(Tag t) { return t >= Tag::int_ && t <= Tag::null_lit; }

// Equal literal values: the same kind and the same stored value.
bool sameValue(const Vec& a, const Vec& b) {
  if (a.isNullScalar() || b.isNullScalar()) return a.isNullScalar() && b.isNullScalar();
  if (a.kind != b.kind) return false;
  switch (a.data.tag) {
    case Data::Tag::int_: return a.intAt(0) == b.intAt(0);
    case Data::Tag::float_: return a.floatAt(0) == b.floatAt(0);
    case Data::Tag::bool_: return a.boolAt(0) == b.boolAt(0);
    case Data::Tag::str: return a.strAt(0) == b.strAt(0);
  }
  return false;
}

}  // namespace

Result<std::optional<Vec>> Exec::caseCodes(const Bound& b) {
  const Expr& e = b.e;
  const Node& root = e[e.root];
  if (root.tag != Tag::case_) return std::optional<Vec>();
  auto ops = e.list(root);
  const size_t pairs = ops.size() / 2;
  if (pairs > 250) return std::optional<Vec>();  // codes are bytes
  // The values: literals all, of one kind (a null aside), so that equal
  // texts are equal values and the groups are exactly the values'.
  Vec* vals = arena.make<Vec>(pairs + 1);
  if (!vals) return std::unexpected(Err::OutOfMemory);
  std::optional<Kind> kind;
  for (size_t j = 0; j <= pairs; ++j) {
    if (j == pairs && ops.size() % 2 == 0) {
      vals[j] = TRY(liftEval(nullVec(arena, Kind::int_, 1, true)));
      break;
    }
    const Node& v = e[ops[j == pairs ? ops.size() - 1 : 2 * j + 1]];
    if (!isLiteral(v.tag)) return std::optional<Vec>();
    // A literal that cannot be read is left to the plain evaluation, which
    // reports it in its own order among the CASE's errors.
    auto lit = evalLiteral(arena, v);
    if (!lit) return lit.error() == EvalErr::OutOfMemory ? Result<std::optional<Vec>>(std::unexpected(Err::OutOfMemory))
                                                          : std::optional<Vec>();
    vals[j] = *lit;
    if (vals[j].isNullScalar()) continue;
    if (kind && *kind != vals[j].kind) return std::optional<Vec>();
    kind = vals[j].kind;
  }
  // Each branch's code: the first branch (or ELSE, numbered pairs) with an
  // equal value.
  uint32_t* code = arena.make<uint32_t>(pairs + 1);
  if (!code) return std::unexpected(Err::OutOfMemory);
  for (size_t j = 0; j <= pairs; ++j) {
    code[j] = static_cast<uint32_t>(j);
    for (size_t i = 0; i < j; ++i)
      if (sameValue(vals[i], vals[j])) {
        code[j] = code[i];
        break;
      }
  }
  // The conditions, evaluated in order. A scalar condition decides for
  // every row: false or null drops its branch, true ends the CASE there.
  struct Branch {
    const uint8_t* v;
    const uint8_t* nulls;
    int64_t code;
  };
  Branch* live = arena.make<Branch>(pairs);
  if (!live) return std::unexpected(Err::OutOfMemory);
  size_t nlive = 0;
  int64_t otherwise = code[pairs];
  Cx cx{*this, b.alias};
  bool ended = false;
  for (size_t j = 0; j < pairs; ++j) {
    auto cond = evalNode(arena, e, ops[2 * j], cx);
    if (!cond) return std::unexpected(liftOrKeep(cond.error()));
    const Vec& c = *cond;
    if (c.kind != Kind::bool_ && !c.isNullScalar()) return std::unexpected(lift(EvalErr::TypeMismatch));
    if (ended || c.isNullScalar() || (c.scalar && !c.boolAt(0))) continue;
    if (c.scalar) {
      otherwise = code[j];
      ended = true;
      continue;
    }
    live[nlive++] = Branch{c.data.bools, c.nulls, code[j]};
  }
  // Byte codes first, one branch at a time from the last: plain byte loops
  // that vectorise, over a tenth of the memory that wide codes would take.
  const size_t n = base.nrows;
  uint8_t* small = arena.make<uint8_t>(n);
  int64_t* out = arena.make<int64_t>(n);
  if (!small || !out) return std::unexpected(Err::OutOfMemory);
  std::memset(small, static_cast<int>(otherwise), n);
  for (size_t k = nlive; k-- > 0;) {
    const uint8_t* __restrict v = live[k].v;
    const uint8_t* __restrict nulls = live[k].nulls;
    const auto code_k = static_cast<uint8_t>(live[k].code);
    uint8_t* __restrict c = small;
    if (nulls)
      for (size_t r = 0; r < n; ++r) c[r] = (v[r] & ~nulls[r] & 1) ? code_k : c[r];
    else
      for (size_t r = 0; r < n; ++r) c[r] = v[r] ? code_k : c[r];
  }
  for (size_t r = 0; r < n; ++r) out[r] = small[r];
  return std::optional<Vec>(column(Kind::int_, n, nullptr, intData(out)));
}

Result<Vec> Exec::caseValues(const Bound& b, const Vec& codes) {
  // The CASE itself over the groups, each condition true where the group's
  // code is its branch: the values come out with the kinds, widening and
  // nulls of evaluating it row by row.
  const Expr& e = b.e;
  auto ops = e.list(e[e.root]);
  const size_t n = codes.len;
  Vec* args = arena.make<Vec>(ops.size());
  if (!args) return std::unexpected(Err::OutOfMemory);
  for (size_t k = 0; k < ops.size(); ++k) {
    if (k % 2 == 1 || k == ops.size() - 1) {
      args[k] = TRY(liftEval(evalLiteral(arena, e[ops[k]])));
      continue;
    }
    uint8_t* is = arena.make<uint8_t>(n);
    if (!is) return std::unexpected(Err::OutOfMemory);
    for (size_t g = 0; g < n; ++g) is[g] = !codes.isNull(g) && codes.intAt(g) == static_cast<int64_t>(k / 2);
    args[k] = column(Kind::bool_, n, nullptr, boolData(is));
  }
  return liftEval(evalList(arena, Tag::case_, {args, ops.size()}));
}

}  // namespace quendra
