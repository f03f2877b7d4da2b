#include "base/grain.h"

#include <gtest/gtest.h>

namespace quendra {
namespace {

TEST(Grain, NamesMatchIgnoringAsciiCaseOnly) {
  EXPECT_EQ(grainFromName("Month"), Grain::month);
  EXPECT_EQ(grainFromName("QUARTER"), Grain::quarter);
  EXPECT_EQ(grainFromName("second"), Grain::second);
  for (Bytes bad : {"", "months", " day", "d", "wëek", "yearyearyearyearyearyearyearyeary"})
    EXPECT_FALSE(grainFromName(bad)) << bad;
  for (int g = 0; g < 8; ++g) EXPECT_EQ(grainFromName(grainName(static_cast<Grain>(g))), static_cast<Grain>(g));
  EXPECT_LT(grainRank(Grain::hour), grainRank(Grain::day));
}

}  // namespace
}  // namespace quendra
