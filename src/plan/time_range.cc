// A query's time_range: fixed texts, or a range relative to the query's
// "now" (the library has no clock), which becomes the same two texts.
#include "plan/builder.h"
#include "plan/plan.h"
#include "time/calendar.h"

namespace quendra {
namespace {

// True for exactly ten bytes of the form DDDD-DD-DD.
bool isBareDate(Bytes s) {
  if (s.size() != 10) return false;
  for (size_t i = 0; i < 10; ++i) {
    bool dash = i == 4 || i == 7;
    if (dash ? s[i] != '-' : static_cast<unsigned>(s[i] - '0') >= 10u) return false;
  }
  return true;
}

bool digit(char c) { return c >= '0' && c <= '9'; }

// An ISO instant: a timestamp text, then "Z" or "+HH:MM" / "-HH:MM"
// (none: UTC), as microseconds since 1970-01-01T00:00Z.
std::optional<int64_t> readNow(Bytes text) {
  int64_t offset = 0;
  Bytes body = text;
  if (!text.empty() && (text.back() == 'Z' || text.back() == 'z')) {
    body = text.substr(0, text.size() - 1);
  } else if (text.size() > 16) {
    const Bytes tail = text.substr(text.size() - 6);
    if ((tail[0] == '+' || tail[0] == '-') && digit(tail[1]) && digit(tail[2]) && tail[3] == ':' && digit(tail[4]) &&
        digit(tail[5])) {
      const int64_t h = (tail[1] - '0') * 10 + (tail[2] - '0'), m = (tail[4] - '0') * 10 + (tail[5] - '0');
      if (h > 18 || m > 59) return std::nullopt;
      offset = (tail[0] == '-' ? -1 : 1) * (h * 3600 + m * 60) * kMicrosPerSecond;
      body = text.substr(0, text.size() - 6);
    }
  }
  std::optional<int64_t> local = parseTimestamp(body);
  if (!local) return std::nullopt;
  return *local - offset;
}

// "YYYY-MM-DD" of the day of `us`, or with its time of day as
// "YYYY-MM-DD HH:MM:SS.ffffff"; none outside the years texts can carry.
Result<std::optional<Bytes>> text(Arena& arena, int64_t us, bool with_time) {
  char buf[32];
  const size_t n = formatTimestamp(us, with_time, buf);
  if (!n) return std::optional<Bytes>();
  char* out = arena.make<char>(n);
  if (!out) return std::unexpected(Err::OutOfMemory);
  for (size_t i = 0; i < n; ++i) out[i] = buf[i];
  return std::optional<Bytes>(Bytes(out, n));
}

}  // namespace

Result<Calendar> readCalendar(const Json& manifest, const Json& model, Diag& diag) {
  static constexpr Bytes kDays[] = {"monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday"};
  std::optional<uint8_t> week, fiscal;
  // The model's calendar first; each is checked whether or not it decides.
  for (const Json* cal : {model.get("calendar"), manifest.get("calendar")}) {
    if (!cal) continue;
    if (!cal->isObject()) return diag.fail(Err::Invalid, {"calendar must be an object"});
    for (const JsonMember& m : cal->members())
      if (m.key != "week_start" && m.key != "fiscal_year_start")
        return diag.fail(Err::Invalid, {"calendar: unknown key '", m.key, "'"});
    if (const Json* ws = cal->get("week_start")) {
      std::optional<uint8_t> day;
      for (uint8_t d = 0; d < 7 && ws->isString(); ++d)
        if (eqNoCase(ws->str(), kDays[d])) day = d;
      if (!day) return diag.fail(Err::Invalid, {"calendar: week_start must be a weekday's name, such as 'sunday'"});
      if (!week) week = day;
    }
    if (const Json* fs = cal->get("fiscal_year_start")) {
      if (!fs->isInt() || fs->i < 1 || fs->i > 12)
        return diag.fail(Err::Invalid, {"calendar: fiscal_year_start must be a month from 1 to 12"});
      if (!fiscal) fiscal = static_cast<uint8_t>(fs->i - 1);
    }
  }
  return Calendar{week.value_or(0), fiscal.value_or(0)};
}

int64_t widenedStart(const Plan& plan, int64_t start) {
  const Grain g = *plan.dims[plan.time_dim].grain;
  int64_t from = start;
  for (uint32_t idx : plan.derived) {
    const Derived& x = plan.measures[idx].def.derived;
    if (x.form == Derived::Form::running && !x.resets) return INT64_MIN;
    const int64_t bound = x.form == Derived::Form::running
                              ? truncate(x.unit, start, plan.periodStart(x.unit, x.fiscal))
                              : shiftTime(truncate(g, start, plan.periodStart(g, plan.dims[plan.time_dim].fiscal)), -x.n, x.unit);
    from = std::min(from, bound);
  }
  return from;
}

Result<void> readTimeRange(Arena& arena, Diag& diag, const Json& query, const Json& tr, Range& out,
                           const Calendar& calendar, const std::optional<TimeZone>& zone) {
  if (!tr.isObject()) return diag.fail(Err::Invalid, {"time_range must be an object with 'start' and 'end'"});
  const Json* now_json = query.get("now");
  std::optional<int64_t> now;
  if (now_json) {
    if (!now_json->isString()) return diag.fail(Err::Invalid, {"'now' must be an ISO instant text"});
    if (!(now = readNow(now_json->str()))) return diag.fail(Err::Invalid, {"bad now '", now_json->str(), "'"});
  }
  static constexpr Bytes kForms[] = {"last", "this", "previous", "to_date"};
  const Json* unit_json = nullptr;
  Bytes form;
  for (Bytes f : kForms)
    if (tr.get(f)) {
      if (!form.empty())
        return diag.fail(Err::Invalid, {"time_range may hold one of 'last', 'this', 'previous' and 'to_date'"});
      form = f;
    }
  if (form.empty()) {
    const Json* start = tr.getString("start");
    const Json* end = tr.getString("end");
    if (!start || !end) return diag.fail(Err::Invalid, {"time_range must have 'start' and 'end'"});
    out.start = start->str();
    out.end = end->str();
    out.end_is_date = isBareDate(end->str());
    return {};
  }
  if (tr.get("start") || tr.get("end"))
    return diag.fail(Err::Invalid, {"time_range may not mix '", form, "' with 'start' and 'end'"});
  unit_json = form == "last" ? tr.get("unit") : tr.get(form);
  if (!unit_json || !unit_json->isString())
    return diag.fail(Err::Invalid, {"time_range '", form, "' needs a unit: day, week, month, quarter or year"});
  std::optional<NamedGrain> named = namedGrain(unit_json->str());
  if (!named || grainRank(named->grain) < grainRank(Grain::day))
    return diag.fail(Err::Invalid, {"unknown time_range unit '", unit_json->str(), "'"});
  const std::optional<Grain> unit = named->grain;
  const int from = *unit == Grain::week ? calendar.week_start : named->fiscal ? calendar.fiscal_start : 0;
  int64_t n = 1;
  bool complete = false;
  if (form == "last") {
    const Json* count = tr.get("last");
    if (!count->isInt() || count->i < 1 || count->i > 100000)
      return diag.fail(Err::Invalid, {"time_range 'last' must be an integer from 1 to 100000"});
    n = count->i;
    if (const Json* c = tr.get("complete")) {
      if (!c->isBool()) return diag.fail(Err::Invalid, {"time_range 'complete' must be true or false"});
      complete = c->b;
    }
  }
  if (!now) return diag.fail(Err::Invalid, {"a relative time_range needs the query's 'now': the library has no clock"});
  // The unit that holds now, and the units around it, in the zone's
  // wall-clock time: the texts below are read in it.
  if (zone) {
    ZoneCursor c(*zone);
    now = c.toLocal(*now);
  }
  const int64_t p0 = truncate(*unit, *now, from);
  int64_t lo = p0, hi = shiftTime(p0, 1, *unit);
  if (form == "last") {
    lo = shiftTime(p0, complete ? -n : -(n - 1), *unit);
    hi = complete ? p0 : hi;
  } else if (form == "previous") {
    lo = shiftTime(p0, -1, *unit);
    hi = p0;
  }
  std::optional<Bytes> start = TRY(text(arena, lo, false));
  // Every end but to_date's is the exclusive midnight that starts the next
  // unit: the whole day before it, as a bare date.
  std::optional<Bytes> end = form == "to_date" ? TRY(text(arena, *now, true)) : TRY(text(arena, hi - kMicrosPerDay, false));
  if (!start || !end) return diag.fail(Err::Invalid, {"time_range lies outside the years 0 to 9999"});
  out.start = *start;
  out.end = *end;
  out.end_is_date = form != "to_date";
  return {};
}

}  // namespace quendra
