#include "expr/show.h"

#include <gtest/gtest.h>

#include <string>

#include "expr/parser.h"

namespace quendra {
namespace {

std::string shown(Arena& arena, const std::string& text) {
  auto e = parse(arena, text);
  EXPECT_TRUE(e) << text;
  if (!e) return "";
  Shown out;
  showExpr(out, *e, e->root);
  return std::string(out.view());
}

// What a message shows reads back as the same expression: showing the
// shown text again gives it unchanged.
TEST(Show, WritesTheLanguageBackFaithfully) {
  const std::pair<std::string, std::string> cases[] = {
      {"date_egg - date_egg", "date_egg - date_egg"},
      {"a+b*c", "a + (b * c)"},
      {"(a + b) * -c", "(a + b) * (-c)"},
      {"NOT a AND b IS NOT NULL", "(NOT a) AND (b IS NOT NULL)"},
      {"\"odd \"\"name\"\"\" = 'it''s'", "\"odd \"\"name\"\"\" = 'it''s'"},
      {"x not in (1, 2.5, null, true)", "x NOT IN (1, 2.5, NULL, TRUE)"},
      {"s ilike '%a%' or s not like 'b_'", "(s ILIKE '%a%') OR (s NOT LIKE 'b_')"},
      {"case when a > 1 then 'x' when b then 'y' else 'z' end", "CASE WHEN a > 1 THEN 'x' WHEN b THEN 'y' ELSE 'z' END"},
      {"case when a then 1 end", "CASE WHEN a THEN 1 END"},
      {"coalesce(a, abs(b % 3))", "COALESCE(a, ABS(b % 3))"},
      {"round(x * 1.5, -2) + round(y) + floor(z) + ceiling(w)", "((ROUND(x * 1.5, -2) + ROUND(y)) + FLOOR(z)) + CEIL(w)"},
      {"Year(d) = 2024 and fiscal_quarter(d) = 1", "(Year(d) = 2024) AND (fiscal_quarter(d) = 1)"},
      {"length(substring(s, 2, 3)) >= 1", "LENGTH(SUBSTRING(s, 2, 3)) >= 1"},
      {"concat(upper(a), lower(b), trim(c))", "CONCAT(UPPER(a), LOWER(b), TRIM(c))"},
      {"date_diff('Week', a, b) + 1", "DATE_DIFF('week', a, b) + 1"},
  };
  for (const auto& [text, want] : cases) {
    Arena arena;
    const std::string once = shown(arena, text);
    EXPECT_EQ(once, want) << text;
    EXPECT_EQ(shown(arena, once), once) << text;
  }
}

// A shown text stops at the bound, never inside a character, and ends in
// "…"; operands can be shown as words.
TEST(Show, CutsAtTheBoundAndShowsWords) {
  Arena arena;
  std::string sum = "x";
  for (int i = 0; i < 200; ++i) sum += " + x";
  const std::string deep = shown(arena, sum);
  EXPECT_EQ(deep.size(), kShownBytes + 3);
  EXPECT_TRUE(deep.ends_with("\xE2\x80\xA6"));

  for (size_t pad = 0; pad < 3; ++pad) {
    Shown out;
    out.put(std::string(kShownBytes - 1 - pad, 'a'));
    out.put("\xC3\xA9\xC3\xA9\xC3\xA9");
    const std::string got(out.view());
    EXPECT_TRUE(got.ends_with("\xE2\x80\xA6")) << pad;
    EXPECT_LE(got.size(), kShownBytes + 3);
    // Whole characters before the "…" only.
    EXPECT_EQ((got.size() - 3 - (kShownBytes - 1 - pad)) % 2, 0u) << pad;
    out.put("more");
    EXPECT_EQ(std::string(out.view()), got);
  }

  auto e = parse(arena, "CASE WHEN a THEN b ELSE c END");
  ASSERT_TRUE(e);
  const Bytes words[] = {"boolean", "text"};
  Shown out;
  showExpr(out, *e, e->root, words);
  EXPECT_EQ(out.view(), "CASE WHEN boolean THEN text ELSE \xE2\x80\xA6 END");
}

}  // namespace
}  // namespace quendra
