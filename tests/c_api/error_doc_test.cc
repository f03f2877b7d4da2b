#include "c_api/error_doc.h"

#include <gtest/gtest.h>

#include <string>

#include "base/heap.h"

namespace quendra {
namespace {

std::string render(Bytes code, Bytes message) {
  char* doc = renderErrorDoc(code, message);
  if (!doc) return "<null>";
  std::string s(doc);
  heapFree(doc);
  return s;
}

TEST(ErrorDoc, EscapesExactlyTheListedBytes) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", R"({"code":"invalid","message":"plain"})"},
      {"", R"({"code":"invalid","message":""})"},
      {"say \"hi\"\\ now\t!", R"({"code":"invalid","message":"say \"hi\"\\ now\t!"})"},
      {"\b\f\n\r", R"({"code":"invalid","message":"\b\f\n\r"})"},
      {std::string("\x01\x1f\x00", 3), R"({"code":"invalid","message":"\u0001\u001f\u0000"})"},
      {"a/b\x7f", "{\"code\":\"invalid\",\"message\":\"a/b\x7f\"}"},
      {"héllo ✓ 😀", R"({"code":"invalid","message":"héllo ✓ 😀"})"},
  };
  for (const auto& [msg, want] : cases) EXPECT_EQ(render("invalid", msg), want);
}

TEST(ErrorDoc, InvalidUtf8BecomesAByteArray) {
  EXPECT_EQ(render("Invalid", "hi\xff"), R"({"code":"Invalid","message":[104,105,255]})");
  EXPECT_EQ(render("Invalid", "\xc3"), R"({"code":"Invalid","message":[195]})");
  EXPECT_EQ(render("Invalid", std::string("\0\x09\xed\xa0\x80", 5)),
            R"({"code":"Invalid","message":[0,9,237,160,128]})");
}

TEST(ErrorDoc, HeapRefusalGivesNoDocument) {
  setHeapFailure(1, false);
  char* doc = renderErrorDoc("invalid", "x");
  setHeapFailure(0, false);
  EXPECT_EQ(doc, nullptr);
}

}  // namespace
}  // namespace quendra
