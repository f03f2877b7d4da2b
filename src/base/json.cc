#include "base/json.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "base/hash.h"
#include "base/heap.h"

namespace quendra {

Bytes jsonErrorName(JsonError e) {
  switch (e) {
    case JsonError::SyntaxError: return "SyntaxError";
    case JsonError::UnexpectedEndOfInput: return "UnexpectedEndOfInput";
    case JsonError::DuplicateField: return "DuplicateField";
    case JsonError::OutOfMemory: return "OutOfMemory";
    case JsonError::NestingTooDeep: return "NestingTooDeep";
  }
  return "SyntaxError";
}

const Json* Json::get(Bytes key) const {
  if (kind != JsonKind::object) return nullptr;
  for (const JsonMember& m : members())
    if (m.key == key) return &m.value;
  return nullptr;
}

const Json* Json::getString(Bytes key) const {
  const Json* v = get(key);
  return v && v->isString() ? v : nullptr;
}

const Json* Json::getObject(Bytes key) const {
  const Json* v = get(key);
  return v && v->isObject() ? v : nullptr;
}

namespace {

// Scratch stack on the C heap for the children of the containers still open
// while reading. Children are copied into the arena in one piece when their
// container closes, so the arena holds each array exactly once.
template <class T>
class Stack {
 public:
  Stack() = default;
  Stack(const Stack&) = delete;
  Stack& operator=(const Stack&) = delete;
  ~Stack() { heapFree(p_); }

  [[nodiscard]] bool push(const T& v) {
    if (n_ == cap_ && !grow(n_ + 1)) return false;
    p_[n_++] = v;
    return true;
  }
  [[nodiscard]] bool resize(size_t n) {
    if (n > cap_ && !grow(n)) return false;
    n_ = n;
    return true;
  }
  T* at(size_t i) { return p_ + i; }
  size_t size() const { return n_; }
  void truncate(size_t n) { n_ = n; }

 private:
  bool grow(size_t want) {
    size_t cap = cap_ ? cap_ * 2 : 64;
    if (cap < want) cap = want;
    if (cap > SIZE_MAX / sizeof(T)) return false;
    auto* p = static_cast<T*>(heapRealloc(p_, cap * sizeof(T)));
    if (!p) return false;
    p_ = p;
    cap_ = cap;
    return true;
  }

  T* p_ = nullptr;
  size_t n_ = 0;
  size_t cap_ = 0;
};

// Objects with more members than this get a hash index for the duplicate
// check; smaller ones are scanned, which is faster at that size.
constexpr size_t kLinearKeys = 8;

inline bool isDigit(unsigned char c) { return static_cast<unsigned>(c - '0') < 10u; }

inline int hexValue(unsigned char c) {
  if (static_cast<unsigned>(c - '0') < 10u) return c - '0';
  c |= 0x20;
  if (static_cast<unsigned>(c - 'a') < 6u) return c - 'a' + 10;
  return -1;
}

class Reader {
 public:
  Reader(Arena& arena, const char* text, size_t len)
      : arena_(arena),
        p_(reinterpret_cast<const unsigned char*>(text)),
        end_(reinterpret_cast<const unsigned char*>(text) + len) {}

  std::expected<Json, JsonError> document() {
    Json v;
    if (!value(v)) return std::unexpected(err_);
    skipSpace();
    if (p_ != end_) return std::unexpected(JsonError::SyntaxError);
    return v;
  }

 private:
  // Per open object: where its duplicate-key index sits on index_ (valid
  // when cap != 0). The index holds member positions + 1, 0 for empty.
  struct KeyIndex {
    size_t off = 0;
    size_t cap = 0;
  };

  bool fail(JsonError e) {
    err_ = e;
    return false;
  }
  // A malformed byte, or the end of the text where more was needed.
  bool bad() { return fail(p_ >= end_ ? JsonError::UnexpectedEndOfInput : JsonError::SyntaxError); }

  void skipSpace() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  bool value(Json& out) {
    skipSpace();
    if (p_ >= end_) return bad();
    switch (*p_) {
      case '{': return object(out);
      case '[': return array(out);
      case '"': {
        Bytes s;
        if (!string(s)) return false;
        out.kind = JsonKind::string;
        out.seq = {s.data(), s.size()};
        return true;
      }
      case 't':
        out.kind = JsonKind::boolean;
        out.b = true;
        return word("true", 4);
      case 'f':
        out.kind = JsonKind::boolean;
        out.b = false;
        return word("false", 5);
      case 'n':
        out.kind = JsonKind::null;
        return word("null", 4);
      default:
        if (*p_ == '-' || isDigit(*p_)) return number(out);
        return fail(JsonError::SyntaxError);
    }
  }

  bool word(const char* w, size_t n) {
    for (size_t i = 0; i < n; ++i, ++p_) {
      if (p_ >= end_) return fail(JsonError::UnexpectedEndOfInput);
      if (*p_ != static_cast<unsigned char>(w[i])) return fail(JsonError::SyntaxError);
    }
    return true;
  }

  bool array(Json& out) {
    if (++depth_ > kMaxJsonDepth) return fail(JsonError::NestingTooDeep);
    ++p_;
    size_t base = items_.size();
    skipSpace();
    if (p_ < end_ && *p_ == ']') {
      ++p_;
    } else {
      for (;;) {
        Json v;
        if (!value(v)) return false;
        if (!items_.push(v)) return fail(JsonError::OutOfMemory);
        skipSpace();
        if (p_ >= end_) return bad();
        if (*p_ == ',') {
          ++p_;
          continue;
        }
        if (*p_ != ']') return bad();
        ++p_;
        break;
      }
    }
    size_t n = items_.size() - base;
    const Json* dst = arena_.copy(items_.at(base), n);
    if (!dst) return fail(JsonError::OutOfMemory);
    items_.truncate(base);
    out.kind = JsonKind::array;
    out.seq = {dst, n};
    --depth_;
    return true;
  }

  bool object(Json& out) {
    if (++depth_ > kMaxJsonDepth) return fail(JsonError::NestingTooDeep);
    ++p_;
    size_t base = members_.size();
    KeyIndex index;
    index.off = index_.size();
    skipSpace();
    if (p_ < end_ && *p_ == '}') {
      ++p_;
    } else {
      for (;;) {
        skipSpace();
        if (p_ >= end_ || *p_ != '"') return bad();
        JsonMember m;
        if (!string(m.key)) return false;
        if (seen(m.key, base, index)) return fail(JsonError::DuplicateField);
        skipSpace();
        if (p_ >= end_ || *p_ != ':') return bad();
        ++p_;
        if (!value(m.value)) return false;
        if (!members_.push(m)) return fail(JsonError::OutOfMemory);
        if (!remember(base, index)) return fail(JsonError::OutOfMemory);
        skipSpace();
        if (p_ >= end_) return bad();
        if (*p_ == ',') {
          ++p_;
          continue;
        }
        if (*p_ != '}') return bad();
        ++p_;
        break;
      }
    }
    size_t n = members_.size() - base;
    const JsonMember* dst = arena_.copy(members_.at(base), n);
    if (!dst) return fail(JsonError::OutOfMemory);
    members_.truncate(base);
    index_.truncate(index.off);
    out.kind = JsonKind::object;
    out.seq = {dst, n};
    --depth_;
    return true;
  }

  // True when the open object starting at members_[base] already has `key`.
  bool seen(Bytes key, size_t base, const KeyIndex& index) {
    size_t n = members_.size() - base;
    if (index.cap == 0) {
      for (size_t i = 0; i < n; ++i)
        if (members_.at(base + i)->key == key) return true;
      return false;
    }
    size_t mask = index.cap - 1;
    for (size_t i = hashBytes(key) & mask;; i = (i + 1) & mask) {
      size_t slot = *index_.at(index.off + i);
      if (slot == 0) return false;
      if (members_.at(base + slot - 1)->key == key) return true;
    }
  }

  // Adds the member just pushed to the open object's index, creating or
  // doubling the index when the object has outgrown the current one. The
  // object's index is on top of index_ here: nested objects have closed.
  bool remember(size_t base, KeyIndex& index) {
    size_t n = members_.size() - base;
    if (n < kLinearKeys) return true;
    if (index.cap == 0 || n * 2 > index.cap) {
      size_t cap = index.cap ? index.cap * 2 : 4 * kLinearKeys;
      if (!index_.resize(index.off + cap)) return false;
      std::memset(index_.at(index.off), 0, cap * sizeof(size_t));
      index.cap = cap;
      for (size_t k = 0; k < n; ++k) insert(base, index, k);
    } else {
      insert(base, index, n - 1);
    }
    return true;
  }

  void insert(size_t base, const KeyIndex& index, size_t k) {
    size_t mask = index.cap - 1;
    size_t i = hashBytes(members_.at(base + k)->key) & mask;
    while (*index_.at(index.off + i) != 0) i = (i + 1) & mask;
    *index_.at(index.off + i) = k + 1;
  }

  // Reads a string whose opening quote is at p_, copying it into the arena.
  bool string(Bytes& out) {
    const unsigned char* start = ++p_;
    bool escaped = false;
    for (;;) {
      while (p_ < end_ && *p_ >= 0x20 && *p_ < 0x80 && *p_ != '"' && *p_ != '\\') ++p_;
      if (p_ >= end_) return fail(JsonError::UnexpectedEndOfInput);
      unsigned char c = *p_;
      if (c == '"') break;
      if (c == '\\') {
        // The escape itself is checked while decoding; here it only must not
        // end the string.
        escaped = true;
        if (end_ - p_ < 2) {
          p_ = end_;
          return fail(JsonError::UnexpectedEndOfInput);
        }
        p_ += 2;
        continue;
      }
      if (c < 0x20) return fail(JsonError::SyntaxError);
      size_t len = utf8SeqLen(p_, end_ - p_);
      if (len == 0) return fail(truncatedUtf8() ? JsonError::UnexpectedEndOfInput : JsonError::SyntaxError);
      p_ += len;
    }
    const unsigned char* stop = p_++;
    size_t n = stop - start;
    if (!escaped) {
      const char* s = arena_.copy(reinterpret_cast<const char*>(start), n);
      if (!s) return fail(JsonError::OutOfMemory);
      out = Bytes(s, n);
      return true;
    }
    return decode(start, stop, out);
  }

  // True when the bytes from p_ to the end are the start of a well-formed
  // UTF-8 sequence that the end of the text cut short.
  bool truncatedUtf8() const {
    size_t avail = end_ - p_;
    unsigned char c = *p_;
    size_t need = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
    if (need == 0 || avail >= need) return false;
    for (size_t i = 1; i < avail; ++i)
      if ((p_[i] & 0xC0) != 0x80) return false;
    return true;
  }

  // Decodes the escapes of the string text [s, stop); the text is known to be
  // well-formed UTF-8 without raw control bytes.
  bool decode(const unsigned char* s, const unsigned char* stop, Bytes& out) {
    // Every escape is at least as long as what it decodes to.
    char* dst = arena_.make<char>(stop - s);
    if (!dst) return fail(JsonError::OutOfMemory);
    char* d = dst;
    while (s < stop) {
      if (*s != '\\') {
        *d++ = static_cast<char>(*s++);
        continue;
      }
      ++s;
      switch (*s++) {
        case '"': *d++ = '"'; break;
        case '\\': *d++ = '\\'; break;
        case '/': *d++ = '/'; break;
        case 'b': *d++ = '\b'; break;
        case 'f': *d++ = '\f'; break;
        case 'n': *d++ = '\n'; break;
        case 'r': *d++ = '\r'; break;
        case 't': *d++ = '\t'; break;
        case 'u': {
          uint32_t cp;
          if (!hex4(s, stop, cp)) return fail(JsonError::SyntaxError);
          s += 4;
          if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(JsonError::SyntaxError);
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            // A high surrogate must be followed by an escaped low one; a lone
            // surrogate has no UTF-8 form, so it is rejected.
            uint32_t lo;
            if (stop - s < 6 || s[0] != '\\' || s[1] != 'u' || !hex4(s + 2, stop, lo) || lo < 0xDC00 ||
                lo > 0xDFFF)
              return fail(JsonError::SyntaxError);
            s += 6;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          }
          d = putUtf8(d, cp);
          break;
        }
        default:
          return fail(JsonError::SyntaxError);
      }
    }
    out = Bytes(dst, d - dst);
    return true;
  }

  static bool hex4(const unsigned char* s, const unsigned char* stop, uint32_t& cp) {
    if (stop - s < 4) return false;
    cp = 0;
    for (int i = 0; i < 4; ++i) {
      int h = hexValue(s[i]);
      if (h < 0) return false;
      cp = cp << 4 | static_cast<uint32_t>(h);
    }
    return true;
  }

  static char* putUtf8(char* d, uint32_t cp) {
    if (cp < 0x80) {
      *d++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
      *d++ = static_cast<char>(0xC0 | cp >> 6);
      *d++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      *d++ = static_cast<char>(0xE0 | cp >> 12);
      *d++ = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      *d++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *d++ = static_cast<char>(0xF0 | cp >> 18);
      *d++ = static_cast<char>(0x80 | (cp >> 12 & 0x3F));
      *d++ = static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      *d++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return d;
  }

  bool number(Json& out) {
    const unsigned char* start = p_;
    bool neg = *p_ == '-';
    if (neg && ++p_ >= end_) return bad();
    const unsigned char* int_start = p_;
    if (*p_ == '0') {
      ++p_;
    } else if (isDigit(*p_)) {
      while (p_ < end_ && isDigit(*p_)) ++p_;
    } else {
      return fail(JsonError::SyntaxError);
    }
    const unsigned char* int_end = p_;
    bool integral = true;
    if (p_ < end_ && *p_ == '.') {
      integral = false;
      if (++p_ >= end_) return bad();
      if (!isDigit(*p_)) return fail(JsonError::SyntaxError);
      while (p_ < end_ && isDigit(*p_)) ++p_;
    }
    const unsigned char* frac_end = p_;
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      integral = false;
      if (++p_ >= end_) return bad();
      if (*p_ == '+' || *p_ == '-')
        if (++p_ >= end_) return bad();
      if (!isDigit(*p_)) return fail(JsonError::SyntaxError);
      while (p_ < end_ && isDigit(*p_)) ++p_;
    }
    const char* text = reinterpret_cast<const char*>(start);
    size_t len = p_ - start;
    bool minus_zero = neg && len == 2 && start[1] == '0';
    if (integral && !minus_zero) {
      // Accumulate the magnitude; the limit is 2^63 for a negative number.
      uint64_t limit = neg ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
      uint64_t v = 0;
      bool fits = true;
      for (const unsigned char* q = int_start; q < int_end; ++q) {
        uint64_t digit = *q - '0';
        if (v > (limit - digit) / 10) {
          fits = false;
          break;
        }
        v = v * 10 + digit;
      }
      if (fits) {
        out.kind = JsonKind::integer;
        out.i = neg ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
        return true;
      }
      return numberString(out, text, len);
    }
    double d = 0;
    auto [ptr, ec] = std::from_chars(text, text + len, d);
    if (ptr != text + len) return fail(JsonError::SyntaxError);
    if (ec == std::errc::result_out_of_range) {
      if (!underflows(int_start, int_end, frac_end)) return numberString(out, text, len);
      // Too small for a double: the nearest double is a zero of that sign.
      d = neg ? -0.0 : 0.0;
    } else if (ec != std::errc() || !std::isfinite(d)) {
      return numberString(out, text, len);
    }
    out.kind = JsonKind::float_;
    out.f = d;
    return true;
  }

  // Whether an out-of-range number is tiny (rather than huge): its first
  // significant digit sits at or below the decimal point once the exponent
  // is applied. The exponent text follows frac_end ("e", sign, digits).
  bool underflows(const unsigned char* int_start, const unsigned char* int_end,
                  const unsigned char* frac_end) const {
    int64_t mag = 0;  // decimal position of the first significant digit
    const unsigned char* q = int_start;
    while (q < int_end && *q == '0') ++q;
    if (q < int_end) {
      mag = int_end - q;
    } else {
      q = int_end + 1;  // past '.'
      while (q < frac_end && *q == '0') ++q;
      if (q >= frac_end) return true;  // all zeros
      mag = -(q - (int_end + 1));
    }
    int64_t exp = 0;
    bool exp_neg = false;
    q = frac_end;
    if (q < p_) {
      ++q;  // 'e' or 'E'
      if (*q == '+' || *q == '-') exp_neg = *q++ == '-';
      for (; q < p_; ++q)
        if (exp < (int64_t{1} << 40)) exp = exp * 10 + (*q - '0');
    }
    return mag + (exp_neg ? -exp : exp) <= 0;
  }

  bool numberString(Json& out, const char* text, size_t len) {
    const char* s = arena_.copy(text, len);
    if (!s) return fail(JsonError::OutOfMemory);
    out.kind = JsonKind::number_string;
    out.seq = {s, len};
    return true;
  }

  Arena& arena_;
  const unsigned char* p_;
  const unsigned char* end_;
  Stack<Json> items_;
  Stack<JsonMember> members_;
  Stack<size_t> index_;
  int depth_ = 0;
  JsonError err_ = JsonError::SyntaxError;
};

}  // namespace

std::expected<Json, JsonError> readJson(Arena& arena, const char* text, size_t len) {
  if (!text) len = 0;
  Reader reader(arena, text ? text : "", len);
  return reader.document();
}

}  // namespace quendra
