// LIKE matching and the like kernel.
#include <cstring>

#include "vec/kernels.h"
#include "vec/loops.h"

namespace quendra {
namespace {

inline uint8_t byteAt(Bytes s, size_t i) { return static_cast<uint8_t>(s[i]); }

// The step over one character of s at i, never past the end.
inline size_t charStep(Bytes s, size_t i) {
  size_t n = static_cast<size_t>(utf8Len(byteAt(s, i)));
  size_t left = s.size() - i;
  return n < left ? n : left;
}

inline bool eqAt(Bytes s, size_t at, Bytes lit, bool ci) {
  for (size_t k = 0; k < lit.size(); ++k)
    if (!eqChar(byteAt(lit, k), byteAt(s, at + k), ci)) return false;
  return true;
}

// Patterns whose shape allows a direct test that gives exactly likeMatch's
// answer. Decided once per call.
enum class Shape { exact, prefix, contains, segments, general };

struct Plan {
  Shape shape;
  Bytes lit;  // the literal part of exact, prefix and contains patterns
};

// The leftmost occurrence of lit in s at or after `from`, byte-wise (npos
// when there is none).
size_t findLit(Bytes s, size_t from, Bytes lit, bool ci) {
  if (!ci) {
    if (from > s.size()) return Bytes::npos;
    const void* hit = memmem(s.data() + from, s.size() - from, lit.data(), lit.size());
    return hit ? static_cast<size_t>(static_cast<const char*>(hit) - s.data()) : Bytes::npos;
  }
  if (lit.size() > s.size()) return Bytes::npos;
  for (size_t j = from; j + lit.size() <= s.size(); ++j)
    if (eqAt(s, j, lit, true)) return j;
  return Bytes::npos;
}

// Literals joined by '%' alone ('%special%requests%', 'a%b'): each found
// leftmost after the one before it, the first at the start and the last at
// the end unless a '%' stands there. Byte-wise occurrences include every
// one at a character start, so a miss is a miss; a hit is the answer
// unless the text holds a lead byte that likeMatch could step across
// (invalid UTF-8), which the slow path then decides.
bool segmentsMatch(Bytes s, Bytes p, bool ci) {
  size_t pi = 0, at = 0;
  const bool open_start = !p.empty() && p[0] == '%';
  const bool open_end = !p.empty() && p[p.size() - 1] == '%';
  bool first = true;
  while (pi < p.size()) {
    while (pi < p.size() && p[pi] == '%') ++pi;
    size_t end = pi;
    while (end < p.size() && p[end] != '%') ++end;
    if (end == pi) break;
    Bytes lit = p.substr(pi, end - pi);
    const bool last = end == p.size();
    if (first && !open_start) {
      if (s.size() < lit.size() || !eqAt(s, 0, lit, ci)) return false;
      at = lit.size();
    } else if (last && !open_end) {
      if (s.size() < at + lit.size() || !eqAt(s, s.size() - lit.size(), lit, ci)) return false;
      at = s.size();
    } else {
      const size_t j = findLit(s, at, lit, ci);
      if (j == Bytes::npos) return false;
      at = j + lit.size();
    }
    first = false;
    pi = end;
  }
  for (char c : s)
    if (static_cast<uint8_t>(c) >= 0xC0) return likeMatch(s, p, ci);
  return true;
}

Plan planOf(Bytes p) {
  size_t b = 0, e = p.size();
  while (b < e && p[b] == '%') ++b;
  size_t lead = b;
  while (e > b && p[e - 1] == '%') --e;
  Bytes lit = p.substr(b, e - b);
  if (lit.find('_') == Bytes::npos && lit.find('%') != Bytes::npos) return {Shape::segments, p};
  if (lit.find_first_of("%_") != Bytes::npos) return {Shape::general, p};
  bool trail = e < p.size();
  if (lead == 0 && !trail) return {Shape::exact, lit};
  if (lead == 0 || lit.empty()) return {Shape::prefix, lit};  // a bare run of '%' matches all
  if (trail && !lit.empty()) return {Shape::contains, lit};
  return {Shape::general, p};  // '%lit'
}

// '%lit%': likeMatch tries lit at every position its star reaches, which are
// the character starts found by stepping utf8Len from 0. A found occurrence
// at j is one of them unless a lead byte (>= 0xC0) within the three bytes
// before j could have stepped over it; only then is the slow path needed,
// which happens for non-ASCII text alone.
bool containsMatch(Bytes s, Bytes p, Bytes lit, bool ci) {
  if (lit.size() > s.size()) return false;
  // The first literal byte in both ASCII cases (the same byte twice unless
  // ci and a letter), so the scan is two compares per byte.
  uint8_t lo = ci ? foldAscii(byteAt(lit, 0)) : byteAt(lit, 0);
  uint8_t hi = ci && lo >= 'a' && lo <= 'z' ? lo - ('a' - 'A') : lo;
  const auto* d = reinterpret_cast<const uint8_t*>(s.data());
  size_t last = s.size() - lit.size();
  for (size_t j = 0; j <= last; ++j) {
    if (d[j] != lo && d[j] != hi) continue;
    if (!eqAt(s, j + 1, lit.substr(1), ci)) continue;
    for (size_t k = j >= 3 ? j - 3 : 0; k < j; ++k)
      if (d[k] >= 0xC0) return likeMatch(s, p, ci);
    return true;
  }
  // No occurrence at any byte position means none at a character start.
  return false;
}

inline bool matchOne(const Plan& plan, Bytes s, Bytes p, bool ci) {
  switch (plan.shape) {
    case Shape::exact: return s.size() == plan.lit.size() && eqAt(s, 0, plan.lit, ci);
    case Shape::prefix: return s.size() >= plan.lit.size() && eqAt(s, 0, plan.lit, ci);
    case Shape::contains: return containsMatch(s, p, plan.lit, ci);
    case Shape::segments: return segmentsMatch(s, p, ci);
    case Shape::general: break;
  }
  return likeMatch(s, p, ci);
}

// The pattern's longest literal run between '%' signs: a row can match
// only if these bytes occur in it.
Bytes longestLiteral(Bytes p) {
  Bytes best;
  size_t i = 0;
  while (i < p.size()) {
    while (i < p.size() && p[i] == '%') ++i;
    size_t e = i;
    while (e < p.size() && p[e] != '%') ++e;
    if (e - i > best.size()) best = p.substr(i, e - i);
    i = e;
  }
  return best;
}

// Contains and segment patterns, case-sensitive: the rows' bytes lie back
// to back, so one search over all of them finds the rows holding `lit`,
// and only those are matched one by one. Searching each row alone paid the
// search's setup per row, most of the time for short texts.
template <Shape S, bool Masked>
void scanLoop(const Str& str, Bytes p, const Plan& plan, Bytes lit, bool negated,
              const uint8_t* __restrict nulls, uint8_t* __restrict out, size_t m) {
  const uint64_t* offs = str.offs;
  const char* base = str.bytes.data();
  const uint8_t miss = negated ? 1 : 0;
  size_t i = 0;
  uint64_t at = offs[0];
  const uint64_t end = offs[m];
  while (i < m) {
    const void* hit = at + lit.size() <= end ? memmem(base + at, end - at, lit.data(), lit.size()) : nullptr;
    const uint64_t pos = hit ? static_cast<uint64_t>(static_cast<const char*>(hit) - base) : end;
    for (; i < m && offs[i + 1] <= pos; ++i) out[i] = Masked && nulls[i] ? 0 : miss;
    if (i == m) break;
    if (pos + lit.size() > offs[i + 1]) {  // runs into the next row
      at = pos + 1;
      continue;
    }
    Bytes s(base + offs[i], offs[i + 1] - offs[i]);
    Plan fixed{S, plan.lit};
    out[i] = Masked && nulls[i] ? 0 : matchOne(fixed, s, p, false) != negated;
    at = offs[++i];
  }
}

template <Shape S, bool CI, bool Masked>
void likeLoop(const Str& str, Bytes p, const Plan& plan, bool negated,
              const uint8_t* __restrict nulls, uint8_t* __restrict out, size_t m) {
  if constexpr (!CI && (S == Shape::contains || S == Shape::segments)) {
    const Bytes lit = longestLiteral(p);
    if (!lit.empty() && m > 0) return scanLoop<S, Masked>(str, p, plan, lit, negated, nulls, out, m);
  }
  const uint64_t* offs = str.offs;
  const char* base = str.bytes.data();
  for (size_t i = 0; i < m; ++i) {
    if (Masked && nulls[i]) {
      out[i] = 0;
      continue;
    }
    Bytes s(base + offs[i], offs[i + 1] - offs[i]);
    Plan fixed{S, plan.lit};  // a constant shape lets matchOne fold its switch
    out[i] = matchOne(fixed, s, p, CI) != negated;
  }
}

template <Shape S>
void likeShape(const Str& str, Bytes p, const Plan& plan, bool ci, bool negated,
               const uint8_t* nulls, uint8_t* out, size_t m) {
  if (ci)
    nulls ? likeLoop<S, true, true>(str, p, plan, negated, nulls, out, m)
          : likeLoop<S, true, false>(str, p, plan, negated, nulls, out, m);
  else
    nulls ? likeLoop<S, false, true>(str, p, plan, negated, nulls, out, m)
          : likeLoop<S, false, false>(str, p, plan, negated, nulls, out, m);
}

}  // namespace

bool likeMatch(Bytes s, Bytes p, bool ci) {
  size_t si = 0, pi = 0;
  bool star = false;
  size_t star_p = 0, star_s = 0;
  while (si < s.size()) {
    if (pi < p.size() && p[pi] == '%') {
      star = true;
      star_p = pi;
      star_s = si;
      ++pi;
      continue;
    }
    if (pi < p.size() && p[pi] == '_') {
      si += charStep(s, si);
      ++pi;
      continue;
    }
    if (pi < p.size() && eqChar(byteAt(p, pi), byteAt(s, si), ci)) {
      ++si;
      ++pi;
      continue;
    }
    if (!star) return false;
    // The only backtracking point: let the last '%' swallow one more
    // character and retry the rest of the pattern from there.
    star_s += charStep(s, star_s);
    si = star_s;
    pi = star_p + 1;
  }
  while (pi < p.size() && p[pi] == '%') ++pi;
  return pi == p.size();
}

EvalResult<Vec> like(Arena& arena, const Vec& v, const Vec& pat, bool ci, bool negated) {
  if (v.kind != Kind::str || pat.kind != Kind::str || !pat.scalar || pat.isNullScalar())
    return std::unexpected(EvalErr::TypeMismatch);
  size_t m = v.stored();
  uint8_t* out = arena.make<uint8_t>(m);
  if (!out) return std::unexpected(EvalErr::OutOfMemory);
  Bytes p = pat.strAt(0);
  Plan plan = planOf(p);
  switch (plan.shape) {
    case Shape::exact: likeShape<Shape::exact>(v.data.str, p, plan, ci, negated, v.nulls, out, m); break;
    case Shape::prefix: likeShape<Shape::prefix>(v.data.str, p, plan, ci, negated, v.nulls, out, m); break;
    case Shape::contains: likeShape<Shape::contains>(v.data.str, p, plan, ci, negated, v.nulls, out, m); break;
    case Shape::segments: likeShape<Shape::segments>(v.data.str, p, plan, ci, negated, v.nulls, out, m); break;
    case Shape::general: likeShape<Shape::general>(v.data.str, p, plan, ci, negated, v.nulls, out, m); break;
  }
  return loops::result(Kind::bool_, OutLen{v.len, v.scalar}, v.nulls, boolData(out));
}

}  // namespace quendra
