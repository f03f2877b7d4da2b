// Error kinds and the result type every fallible function returns.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>
#include <utility>

namespace quendra {

// The kinds a failure can carry up the call chain. Each kind's name is also
// the code text of the error document.
enum class Err : uint8_t {
  Invalid,
  OutOfMemory,
  UnknownField,
  UnknownModel,
  Unsupported,
  WriteFailed,
};

template <class T>
using Result = std::expected<T, Err>;

// "Invalid", "OutOfMemory", ... exactly as written in the enum.
std::string_view errName(Err e);

// The integer result a kind maps to at the C boundary:
// Invalid 1, UnknownModel 2, UnknownField 3, Unsupported 4, OutOfMemory 5,
// WriteFailed 6.
int codeOf(Err e);

}  // namespace quendra

// Evaluates a Result-returning expression; on failure returns its error from
// the enclosing function, otherwise yields the value (void for Result<void>).
#define TRY(expr)                                            \
  ({                                                         \
    auto&& try_result_ = (expr);                             \
    if (!try_result_) [[unlikely]]                           \
      return std::unexpected(try_result_.error());           \
    *std::move(try_result_);                                 \
  })
