// A range of bytes that a request names: where it starts and how long it is.
#ifndef QUORVEL_CONNECTION_BYTE_SPAN_H_
#define QUORVEL_CONNECTION_BYTE_SPAN_H_

#include <cstddef>
#include <cstdint>

namespace qrv {

struct ByteSpan {
  const void* data = nullptr;
  size_t size = 0;

  // True when this span shares a byte with the `size` bytes at `block`; an
  // empty span shares none.
  bool Overlaps(const void* block, size_t blockSize) const {
    const auto begin = reinterpret_cast<uintptr_t>(data);
    const auto other = reinterpret_cast<uintptr_t>(block);
    return size != 0 && blockSize != 0 && begin < other + blockSize && other < begin + size;
  }
};

}  // namespace qrv

#endif  // QUORVEL_CONNECTION_BYTE_SPAN_H_
