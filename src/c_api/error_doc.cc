#include "c_api/error_doc.h"

#include <cstring>

#include "base/heap.h"
#include "c_api/ctx.h"

namespace quendra {
namespace {

constexpr Bytes kHead = "{\"code\":\"";
constexpr Bytes kMid = "\",\"message\":";

// Bytes the escaped form of c takes inside a JSON string.
inline size_t escapedLen(unsigned char c) {
  if (c == '"' || c == '\\') return 2;
  if (c >= 0x20) return 1;
  switch (c) {
    case '\b': case '\f': case '\n': case '\r': case '\t': return 2;
    default: return 6;
  }
}

char* put(char* d, Bytes s) {
  std::memcpy(d, s.data(), s.size());
  return d + s.size();
}

char* putEscaped(char* d, Bytes s) {
  static constexpr char kHex[] = "0123456789abcdef";
  *d++ = '"';
  for (unsigned char c : s) {
    if (c >= 0x20 && c != '"' && c != '\\') {
      *d++ = static_cast<char>(c);
      continue;
    }
    *d++ = '\\';
    switch (c) {
      case '"': *d++ = '"'; break;
      case '\\': *d++ = '\\'; break;
      case '\b': *d++ = 'b'; break;
      case '\f': *d++ = 'f'; break;
      case '\n': *d++ = 'n'; break;
      case '\r': *d++ = 'r'; break;
      case '\t': *d++ = 't'; break;
      default:
        *d++ = 'u';
        *d++ = '0';
        *d++ = '0';
        *d++ = kHex[c >> 4];
        *d++ = kHex[c & 15];
    }
  }
  *d++ = '"';
  return d;
}

// Decimal digits of a byte value.
inline size_t digits(unsigned char c) { return c >= 100 ? 3 : c >= 10 ? 2 : 1; }

char* putByteArray(char* d, Bytes s) {
  *d++ = '[';
  for (size_t i = 0; i < s.size(); ++i) {
    if (i) *d++ = ',';
    unsigned c = static_cast<unsigned char>(s[i]);
    if (c >= 100) *d++ = static_cast<char>('0' + c / 100);
    if (c >= 10) *d++ = static_cast<char>('0' + c / 10 % 10);
    *d++ = static_cast<char>('0' + c % 10);
  }
  *d++ = ']';
  return d;
}

}  // namespace

char* renderErrorDoc(Bytes code, Bytes message) {
  bool utf8 = validUtf8(message);
  // Measure first so the document takes exactly one allocation.
  size_t body = 2;
  if (utf8) {
    for (unsigned char c : message) body += escapedLen(c);
  } else {
    body += message.empty() ? 0 : message.size() - 1;  // commas
    for (unsigned char c : message) body += digits(c);
  }
  size_t n = kHead.size() + code.size() + kMid.size() + body + 2;  // "}" and NUL
  char* doc = static_cast<char*>(heapAlloc(n));
  if (!doc) return nullptr;
  char* d = put(doc, kHead);
  d = put(d, code);
  d = put(d, kMid);
  d = utf8 ? putEscaped(d, message) : putByteArray(d, message);
  *d++ = '}';
  *d = '\0';
  return doc;
}

void setError(Ctx& ctx, Bytes code, Bytes message) {
  clearError(ctx);
  ctx.error_json = renderErrorDoc(code, message);
}

int reportKind(Ctx& ctx, Err e, Bytes message) {
  setError(ctx, errName(e), message.empty() ? errName(e) : message);
  return codeOf(e);
}

void clearError(Ctx& ctx) {
  heapFree(ctx.error_json);
  ctx.error_json = nullptr;
}

}  // namespace quendra
