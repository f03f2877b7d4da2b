// Time zone look-ups over the compiled rules.
#include "time/zone.h"

#include <cstring>
#include <limits>

#include "time/calendar.h"
#include "time/generated/tz_table.h"

namespace quendra {
namespace {

constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
constexpr int64_t kAlways = std::numeric_limits<int64_t>::min();
// No zone's offset reaches this far from UTC, so every instant of a wall-clock
// time lies within it of that time read as UTC.
constexpr int64_t kReach = 26 * 3600;

int64_t floorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

int compareNames(Bytes a, Bytes b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  const int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
  return c ? c : a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool sameNoCase(Bytes a, Bytes b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

// "+HH:MM" / "-HH:MM" as seconds east of UTC.
std::optional<int32_t> fixedOffset(Bytes s) {
  if (s.size() != 6 || (s[0] != '+' && s[0] != '-') || s[3] != ':') return std::nullopt;
  for (size_t i : {1, 2, 4, 5})
    if (s[i] < '0' || s[i] > '9') return std::nullopt;
  const int h = (s[1] - '0') * 10 + (s[2] - '0');
  const int m = (s[4] - '0') * 10 + (s[5] - '0');
  if (h > 18 || m > 59 || (h == 18 && m > 0)) return std::nullopt;
  const int32_t secs = h * 3600 + m * 60;
  return s[0] == '-' ? -secs : secs;
}

// The instant of a rule's date in year y, its time read at offset `off`.
int64_t ruleInstant(const tzdata::RuleDate& d, int64_t y, int32_t off) {
  const int64_t first = daysFromCivil(y, d.month, 1);
  const int64_t next = d.month == 12 ? daysFromCivil(y + 1, 1, 1) : daysFromCivil(y, d.month + 1, 1);
  const int64_t weekday = ((first + 4) % 7 + 7) % 7;  // 1970-01-01 was a Thursday; 0 is Sunday
  int64_t day = first + (d.weekday - weekday + 7) % 7 + (d.week - 1) * 7;
  while (day >= next) day -= 7;  // week 5: the last such weekday
  return day * 86400 + d.secs - off;
}

// The span of the rule holding `secs`, never starting before `from`.
ZoneSpan ruleSpan(const tzdata::Rule& r, int64_t secs, int64_t from) {
  if (!r.dst) return {from, kNever, r.std_offset};
  const int64_t y = civilFromDays(floorDiv(secs + r.std_offset, 86400)).y;
  // The changes of the year before, this one and the next, in order.
  struct Change {
    int64_t at;
    int32_t offset;
  } changes[6];
  int n = 0;
  for (int64_t k = y - 1; k <= y + 1; ++k) {
    changes[n++] = {ruleInstant(r.start, k, r.std_offset), r.dst_offset};
    changes[n++] = {ruleInstant(r.end, k, r.dst_offset), r.std_offset};
  }
  for (int i = 1; i < n; ++i)
    for (int j = i; j > 0 && changes[j].at < changes[j - 1].at; --j) {
      const Change t = changes[j];
      changes[j] = changes[j - 1];
      changes[j - 1] = t;
    }
  int last = -1;
  while (last + 1 < n && changes[last + 1].at <= secs) ++last;
  // The year before's changes lie before any instant of this year.
  const int32_t offset = last >= 0 ? changes[last].offset : r.std_offset;
  int64_t start = last >= 0 ? changes[last].at : kAlways;
  const int64_t end = last + 1 < n ? changes[last + 1].at : kNever;
  if (start < from) start = from;
  return {start, end, offset};
}

}  // namespace

const char* tzdataVersion() { return tzdata::kVersion; }

std::optional<TimeZone> findTimeZone(Bytes name) {
  if (std::optional<int32_t> off = fixedOffset(name)) return TimeZone{-1, *off, name};
  size_t lo = 0, hi = std::size(tzdata::kNames);
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    const int c = compareNames(Bytes(tzdata::kNames[mid].name), name);
    if (c == 0) return TimeZone{tzdata::kNames[mid].data, 0, Bytes(tzdata::kNames[mid].name)};
    if (c < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  // Ignoring case, when that leaves one name.
  std::optional<TimeZone> found;
  for (const tzdata::ZoneName& z : tzdata::kNames) {
    if (!sameNoCase(Bytes(z.name), name)) continue;
    if (found) return std::nullopt;
    found = TimeZone{z.data, 0, Bytes(z.name)};
  }
  return found;
}

ZoneSpan zoneSpanAt(const TimeZone& z, int64_t secs) {
  if (z.data < 0) return {kAlways, kNever, z.fixed};
  const tzdata::ZoneData& d = tzdata::kZones[z.data];
  const int64_t* times = tzdata::kTimes + d.first;
  // How many of the zone's transitions are at or before secs.
  size_t lo = 0, hi = d.count;
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    if (times[mid] <= secs)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo == 0 && d.count > 0) return {kAlways, times[0], tzdata::kTypes[d.initial].offset};
  if (lo < d.count) return {times[lo - 1], times[lo], tzdata::kTypes[tzdata::kKinds[d.first + lo - 1]].offset};
  return ruleSpan(tzdata::kRules[d.rule], secs, d.count ? times[d.count - 1] : kAlways);
}

int64_t ZoneCursor::toLocal(int64_t utc_us) {
  const int64_t secs = floorDiv(utc_us, kMicrosPerSecond);
  if (secs < span.start || secs >= span.end) span = zoneSpanAt(z, secs);
  int64_t out;
  if (__builtin_add_overflow(utc_us, int64_t{span.offset} * kMicrosPerSecond, &out))
    return span.offset > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  return out;
}

int64_t ZoneCursor::toUtc(int64_t local_us) {
  const int64_t local = floorDiv(local_us, kMicrosPerSecond);
  auto at = [&](int32_t offset) {
    int64_t out;
    if (__builtin_sub_overflow(local_us, int64_t{offset} * kMicrosPerSecond, &out))
      return offset < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    return out;
  };
  // Well inside the span last used, no other span can hold the time.
  if (span.start <= span.end) {
    const int64_t t = local - span.offset;
    if (t - kReach >= span.start && t + kReach < span.end) return at(span.offset);
  }
  // Every span an instant of this time can lie in, earliest first: the
  // first that holds its instant is the time's first occurrence.
  const int64_t from = local > kAlways + kReach ? local - kReach : kAlways;
  const int64_t until = local < kNever - kReach ? local + kReach : kNever;
  ZoneSpan before{0, 0, 0};
  bool have_before = false;
  for (ZoneSpan s = zoneSpanAt(z, from);; s = zoneSpanAt(z, s.end)) {
    const int64_t t = local - s.offset;
    if (t >= s.start && t < s.end) {
      span = s;
      return at(s.offset);
    }
    if (t >= s.start) {
      before = s;
      have_before = true;
    }
    if (s.end == kNever || s.end > until) break;
  }
  // A time the clocks skip: read at the offset in force before the change.
  span = ZoneSpan{1, 0, 0};
  return at(have_before ? before.offset : zoneSpanAt(z, local).offset);
}

bool ZoneTable::build(Arena& arena, const TimeZone& z, int64_t lo, int64_t hi) {
  constexpr int64_t kSafe = int64_t{1} << 61;  // offsets of a day cannot overflow from here
  if (lo > hi || lo < -kSafe || hi > kSafe) return false;
  const size_t buckets = static_cast<size_t>((static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo)) >> kShift) + 1;
  if (buckets > kMaxBuckets) return false;
  int64_t* table = arena.make<int64_t>(buckets);
  if (!table) return false;
  // One walk along the zone's spans fills the table.
  ZoneSpan span{1, 0, 0};
  for (size_t b = 0; b < buckets; ++b) {
    const int64_t first = lo + (static_cast<int64_t>(b) << kShift);
    const int64_t last = first + ((int64_t{1} << kShift) - 1);
    const int64_t s0 = floorDiv(first, kMicrosPerSecond), s1 = floorDiv(last, kMicrosPerSecond);
    if (s0 < span.start || s0 >= span.end) span = zoneSpanAt(z, s0);
    table[b] = s1 < span.end ? int64_t{span.offset} * kMicrosPerSecond : kMixed;
  }
  off = table;
  base = static_cast<uint64_t>(lo);
  return true;
}

}  // namespace quendra
