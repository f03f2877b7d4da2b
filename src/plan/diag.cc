#include "plan/diag.h"

namespace quendra {

void Diag::set(Err e, std::initializer_list<Bytes> pieces) {
  err = e;
  auto text = concat(*arena, pieces);
  message = text ? *text : Bytes("out of memory");
}

void Diag::setOr(Err e, Bytes bare, std::initializer_list<Bytes> pieces) {
  err = e;
  auto text = concat(*arena, pieces);
  message = text ? *text : bare;
}

}  // namespace quendra
