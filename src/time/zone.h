// Time zones: the IANA rules compiled into the library (tz_table.h), and
// fixed offsets. Instants are UTC; a zone turns them into the wall-clock
// time people there read, and back.
//
// Transitions are those from 1900 on: an instant before the first one takes
// the offset in force on 1900-01-01. After the last one the zone's POSIX
// rule holds, for any year.
#pragma once

#include <cstdint>
#include <optional>

#include "base/arena.h"
#include "base/bytes.h"

namespace quendra {

struct TimeZone {
  int32_t data = -1;   // index of the zone's rules; -1: a fixed offset
  int32_t fixed = 0;   // seconds east of UTC, when fixed
  Bytes name;          // as the rules spell it, or the offset as "+HH:MM"
};

// The zone called `name`: an IANA name or alias (`America/New_York`,
// `US/Eastern`, `UTC`, `Etc/GMT+5`), matched exactly and else ignoring ASCII
// case when only one name matches that way; or a fixed offset "+HH:MM" or
// "-HH:MM" (HH up to 18, MM up to 59). None for anything else.
std::optional<TimeZone> findTimeZone(Bytes name);

// The version of the compiled rules ("2025b").
const char* tzdataVersion();

// A stretch of instants with one offset: [start, end) in seconds.
struct ZoneSpan {
  int64_t start;
  int64_t end;
  int32_t offset;  // seconds east of UTC
};

// The span holding the instant `secs` (seconds since 1970-01-01T00:00Z).
ZoneSpan zoneSpanAt(const TimeZone& z, int64_t secs);

// Seconds east of UTC at the instant `secs`.
inline int32_t offsetAt(const TimeZone& z, int64_t secs) { return zoneSpanAt(z, secs).offset; }

// Conversions of microsecond values, one span looked up per change of
// span: values that lie close together cost a comparison each.
struct ZoneCursor {
  explicit ZoneCursor(const TimeZone& zone) : z(zone) {}
  // The wall-clock time of the instant `utc_us`.
  int64_t toLocal(int64_t utc_us);
  // The instant of the wall-clock time `local_us`. A time that occurs
  // twice (as clocks go back) is its first occurrence, at the earlier
  // offset; a time that does not occur (as clocks go forward) is read with
  // the offset in force before the change, which lands as far past the
  // change as the time lies past its start.
  int64_t toUtc(int64_t local_us);

  const TimeZone& z;
  ZoneSpan span{1, 0, 0};  // empty until the first look-up
};

// A zone's offsets over a stretch of instants, in buckets of 2^36
// microseconds (about 19 hours): each bucket's offset when one holds over
// all of it, else kMixed. Offsets change a few times a year, so over rows
// in any order a conversion costs one read of a table small enough to stay
// in the first-level cache, instead of a search of the zone's spans.
struct ZoneTable {
  static constexpr int kShift = 36;
  static constexpr int64_t kMixed = INT64_MIN;
  static constexpr size_t kMaxBuckets = size_t{1} << 16;  // 512 KiB, about 140 years

  const int64_t* off = nullptr;  // microseconds east of UTC, per bucket
  uint64_t base = 0;             // the first bucket's first instant

  // For the instants lo..hi; false when they span more than kMaxBuckets,
  // lie within 2^61 of the range's ends, or memory runs out.
  bool build(Arena& arena, const TimeZone& z, int64_t lo, int64_t hi);
  // The wall-clock time of an instant within lo..hi.
  int64_t toLocal(int64_t us, ZoneCursor& c) const {
    const int64_t o = off[(static_cast<uint64_t>(us) - base) >> kShift];
    return o != kMixed ? us + o : c.toLocal(us);
  }
};

}  // namespace quendra
