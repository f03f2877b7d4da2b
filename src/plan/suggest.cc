#include "plan/suggest.h"

#include <cstring>

namespace quendra {
namespace {

constexpr size_t kMaxCompared = kMaxSuggested;
constexpr uint32_t kMaxEdits = 2;

// Whether `longer` is `shorter` with one leading "prefix." before it.
bool addsPrefix(Bytes longer, Bytes shorter) {
  if (shorter.empty() || longer.size() < shorter.size() + 2 || !longer.ends_with(shorter)) return false;
  const size_t dot = longer.size() - shorter.size() - 1;
  return longer[dot] == '.' && longer.substr(0, dot).find('.') == Bytes::npos;
}

// Edits between a and b (both at most kMaxCompared bytes), with a swap of
// neighbours as one edit; anything above kMaxEdits as kMaxEdits + 1.
uint32_t edits(Bytes a, Bytes b) {
  uint32_t rows[3][kMaxCompared + 1];
  uint32_t *before = rows[0], *prev = rows[1], *cur = rows[2];
  for (size_t j = 0; j <= b.size(); ++j) prev[j] = static_cast<uint32_t>(j);
  for (size_t i = 1; i <= a.size(); ++i) {
    cur[0] = static_cast<uint32_t>(i);
    uint32_t row_min = cur[0];
    for (size_t j = 1; j <= b.size(); ++j) {
      const uint32_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      uint32_t d = prev[j - 1] + cost;
      if (prev[j] + 1 < d) d = prev[j] + 1;
      if (cur[j - 1] + 1 < d) d = cur[j - 1] + 1;
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1] && before[j - 2] + 1 < d)
        d = before[j - 2] + 1;
      cur[j] = d;
      if (d < row_min) row_min = d;
    }
    if (row_min > kMaxEdits) return kMaxEdits + 1;
    uint32_t* spare = before;
    before = prev;
    prev = cur;
    cur = spare;
  }
  return prev[b.size()];
}

}  // namespace

void Suggestion::offer(Bytes candidate) {
  if (candidate == name) return;
  if (addsPrefix(candidate, name) || addsPrefix(name, candidate)) {
    if (score > 0) {
      best = candidate;
      score = 0;
    }
    return;
  }
  const size_t longer = name.size() > candidate.size() ? name.size() : candidate.size();
  const size_t shorter = name.size() + candidate.size() - longer;
  if (longer > kMaxCompared || longer - shorter > kMaxEdits) return;
  const uint32_t d = edits(name, candidate);
  if (d > kMaxEdits || 3 * d > longer || d >= score) return;
  best = candidate;
  score = d;
}

void Suggestion::offer(std::initializer_list<Bytes> pieces) {
  char joined[kMaxSuggested];
  size_t len = 0;
  for (Bytes p : pieces) {
    if (p.size() > kMaxSuggested - len) return;  // too long to be suggested
    if (!p.empty()) std::memcpy(joined + len, p.data(), p.size());
    len += p.size();
  }
  offer(Bytes(joined, len));
  if (best.data() != joined) return;
  if (len) std::memcpy(held_, joined, len);
  best = Bytes(held_, len);
}

namespace {

constexpr int kMaxHops = 3;
// Offers past this many are not made: a manifest of many wide joins must
// not make a message slow.
constexpr size_t kMaxOffers = 20000;

struct Walk {
  Suggestion& s;
  const Json& models;
  Bytes section;
  char path[kMaxSuggested];
  size_t len = 0;
  size_t offers = 0;

  void walk(const Json& m, int hops) {
    if (const Json* entries = m.getObject(section))
      for (const JsonMember& k : entries->members()) {
        if (++offers > kMaxOffers) return;
        s.offer({Bytes(path, len), k.key});
      }
    if (hops == kMaxHops) return;
    const Json* joins = m.getObject("joins");
    if (!joins) return;
    for (const JsonMember& j : joins->members()) {
      const Json* target = j.value.isObject() ? j.value.getString("model") : nullptr;
      const Json* next = target ? models.getObject(target->str()) : nullptr;
      if (!next || j.key.size() + 1 > kMaxSuggested - len) continue;
      const size_t at = len;
      std::memcpy(path + len, j.key.data(), j.key.size());
      len += j.key.size();
      path[len++] = '.';
      walk(*next, hops + 1);
      len = at;
    }
  }
};

}  // namespace

void offerReachable(Suggestion& s, const Json& models, const Json& m, Bytes m_name, Bytes section) {
  Walk w{s, models, section, {}, 0, 0};
  w.walk(m, 0);
  if (const Json* own = m.getObject(section); own && !m_name.empty())
    for (const JsonMember& k : own->members()) s.offer({m_name, ".", k.key});
}

}  // namespace quendra
