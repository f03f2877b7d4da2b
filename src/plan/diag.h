// Diag: the diagnostic threaded through planning, execution and SQL writing.
//
// Code that knows why something failed records a kind and a message here
// before returning the kind; the C boundary turns both into the error
// document. Messages are built from fixed pieces with the offending names
// between them.
#pragma once

#include <initializer_list>
#include <optional>

#include "base/arena.h"
#include "base/bytes.h"
#include "base/err.h"

namespace quendra {

struct Diag {
  Arena* arena = nullptr;    // where messages live: the call arena
  Bytes message;             // empty until a failure is recorded
  std::optional<Err> err;    // the recorded kind, if any

  // Records kind `e` with the message made of `pieces` joined. When the
  // message cannot be allocated it becomes "out of memory"; the kind stays.
  void set(Err e, std::initializer_list<Bytes> pieces);

  // set(), except that a message that cannot be allocated becomes `bare`,
  // which must outlive the Diag (a literal): the failure keeps its own
  // words when only its details cannot be had.
  void setOr(Err e, Bytes bare, std::initializer_list<Bytes> pieces);

  // set(), then the kind as an error value to return.
  std::unexpected<Err> fail(Err e, std::initializer_list<Bytes> pieces) {
    set(e, pieces);
    return std::unexpected(e);
  }
};

}  // namespace quendra
