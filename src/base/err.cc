#include "base/err.h"

namespace quendra {

std::string_view errName(Err e) {
  switch (e) {
    case Err::Invalid: return "Invalid";
    case Err::OutOfMemory: return "OutOfMemory";
    case Err::UnknownField: return "UnknownField";
    case Err::UnknownModel: return "UnknownModel";
    case Err::Unsupported: return "Unsupported";
    case Err::WriteFailed: return "WriteFailed";
  }
  return "Invalid";
}

int codeOf(Err e) {
  switch (e) {
    case Err::Invalid: return 1;
    case Err::UnknownModel: return 2;
    case Err::UnknownField: return 3;
    case Err::Unsupported: return 4;
    case Err::OutOfMemory: return 5;
    case Err::WriteFailed: return 6;
  }
  return 1;
}

}  // namespace quendra
