#include "base/grain.h"

namespace quendra {
namespace {
constexpr Bytes kNames[] = {"second", "minute", "hour", "day", "week", "month", "quarter", "year"};
}

Bytes grainName(Grain g) { return kNames[static_cast<int>(g)]; }

std::optional<NamedGrain> namedGrain(Bytes text) {
  if (eqNoCase(text, "fiscal_quarter")) return NamedGrain{Grain::quarter, true};
  if (eqNoCase(text, "fiscal_year")) return NamedGrain{Grain::year, true};
  if (std::optional<Grain> g = grainFromName(text)) return NamedGrain{*g, false};
  return std::nullopt;
}

Bytes grainLabel(Grain g, bool fiscal) {
  if (fiscal) return g == Grain::quarter ? Bytes("fiscal_quarter") : Bytes("fiscal_year");
  return grainName(g);
}

std::optional<Grain> grainFromName(Bytes text) {
  if (text.empty() || text.size() > 32) return std::nullopt;
  for (int i = 0; i < 8; ++i)
    if (eqNoCase(text, kNames[i])) return static_cast<Grain>(i);
  return std::nullopt;
}

}  // namespace quendra
