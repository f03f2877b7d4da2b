// Hand-built Arrow columns for import and binding tests: the buffers are
// laid out exactly as the Arrow columnar format prescribes, and the release
// callbacks record every call so tests can require "array, then schema,
// exactly once".
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "quendra.h"

namespace quendra::testing {

using Buf = std::optional<std::vector<uint8_t>>;  // nullopt: a null buffer pointer

template <class T>
std::vector<uint8_t> bytesOf(const std::vector<T>& v) {
  std::vector<uint8_t> out(v.size() * sizeof(T));
  if (!v.empty()) std::memcpy(out.data(), v.data(), out.size());
  return out;
}

// A bit buffer, least significant bit first.
inline std::vector<uint8_t> bitsOf(const std::vector<bool>& v) {
  std::vector<uint8_t> out((v.size() + 7) / 8, 0);
  for (size_t i = 0; i < v.size(); ++i)
    if (v[i]) out[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
  return out;
}

// The offsets (of type O) and data buffers of a utf8 column, offsets
// starting at `base` (bytes before it are filler the column must skip).
template <class O>
std::pair<std::vector<uint8_t>, std::vector<uint8_t>> utf8Of(const std::vector<std::string>& v, O base = 0) {
  std::vector<O> offs{base};
  std::string data(static_cast<size_t>(base), '#');
  for (const auto& s : v) {
    data += s;
    offs.push_back(static_cast<O>(data.size()));
  }
  return {bytesOf(offs), std::vector<uint8_t>(data.begin(), data.end())};
}

// One column in the host's hands. Not movable: the callbacks find it
// through private_data.
struct HostColumn {
  std::string format;
  std::vector<Buf> buffers;
  std::vector<const void*> ptrs;
  ArrowArray array{};
  ArrowSchema schema{};
  std::string releases;  // "a" per array release, "s" per schema release, in order

  HostColumn(std::string fmt, int64_t length, std::vector<Buf> bufs, int64_t offset = 0, int64_t null_count = 0)
      : format(std::move(fmt)), buffers(std::move(bufs)) {
    for (auto& b : buffers) ptrs.push_back(b ? static_cast<const void*>(b->data()) : nullptr);
    array.length = length;
    array.offset = offset;
    array.null_count = null_count;
    array.n_buffers = static_cast<int64_t>(ptrs.size());
    array.buffers = ptrs.empty() ? nullptr : ptrs.data();
    array.release = releaseArray;
    array.private_data = this;
    schema.format = format.c_str();
    schema.name = "";
    schema.flags = ARROW_FLAG_NULLABLE;
    schema.release = releaseSchema;
    schema.private_data = this;
  }
  HostColumn(const HostColumn&) = delete;
  HostColumn& operator=(const HostColumn&) = delete;

  // Live again after a release, so one column can be bound repeatedly.
  void rearm() {
    array.release = releaseArray;
    schema.release = releaseSchema;
  }

  static void releaseArray(ArrowArray* a) {
    static_cast<HostColumn*>(a->private_data)->releases += 'a';
    a->release = nullptr;
  }
  static void releaseSchema(ArrowSchema* s) {
    static_cast<HostColumn*>(s->private_data)->releases += 's';
    s->release = nullptr;
  }
};

}  // namespace quendra::testing
