// quillan-ring-cost: the receive data path's own work, for callgrind. It
// moves the same bytes twice in one run: through the driver's ring buffer
// (a put as the bulk-in completion makes it, gets as reads make them) and
// through a plain copy into and out of a staging buffer of the same size.
// Under callgrind the inclusive instruction counts of RingPath and CopyPath,
// divided by the bytes each moved, compare the two.
//
//   valgrind --tool=callgrind --callgrind-out-file=F quillan-ring-cost [rounds]
//   callgrind_annotate --inclusive=yes F | grep -E 'RingPath|CopyPath'
#include "driver/receive/ring_buffer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr ULONG kCapacity = 1024;  // the buffer a port opens with
constexpr ULONG kTransferSize = 256;  // what one bulk-in transfer brings
// Read through a volatile, so that neither path's copy sizes are known to
// the compiler, as they are not on the driver's path.
volatile ULONG g_transfer = kTransferSize;

// Puts a transfer's bytes, then takes them in gets of `getSize`.
__attribute__((noinline)) unsigned long RingPath(RingBuffer* ring, const UCHAR* source, UCHAR* destination,
                                                 ULONG getSize, unsigned rounds) {
  const ULONG kTransfer = g_transfer;
  unsigned long moved = 0;
  for (unsigned round = 0; round < rounds; ++round) {
    if (RingBufferPut(ring, source, kTransfer) != STATUS_SUCCESS) std::abort();
    for (ULONG taken = 0; taken < kTransfer; taken += getSize) {
      if (RingBufferGet(ring, destination + taken, getSize) != STATUS_SUCCESS) std::abort();
    }
    moved += kTransfer;
  }
  return moved;
}

// The same bytes through a plain copy in and out of a staging buffer.
__attribute__((noinline)) unsigned long CopyPath(UCHAR* staging, const UCHAR* source, UCHAR* destination,
                                                 ULONG getSize, unsigned rounds) {
  const ULONG kTransfer = g_transfer;
  unsigned long moved = 0;
  ULONG at = 0;
  for (unsigned round = 0; round < rounds; ++round) {
    std::memcpy(staging + at, source, kTransfer);
    for (ULONG taken = 0; taken < kTransfer; taken += getSize) {
      std::memcpy(destination + taken, staging + at + taken, getSize);
    }
    at = (at + kTransfer) % kCapacity;
    moved += kTransfer;
  }
  return moved;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned rounds = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 0)) : 20000;
  ULONG getSize = g_transfer;
  std::vector<UCHAR> source(kTransferSize), destination(kTransferSize), staging(kCapacity);
  for (ULONG i = 0; i < kTransferSize; ++i) source[i] = static_cast<UCHAR>(i * 7 + 1);

  std::vector<UCHAR> storage(kCapacity);
  RingBuffer ring{};
  ring.Data = storage.data();
  ring.Capacity = kCapacity;
  // One byte ahead, so the indices reach every position and transfers wrap.
  UCHAR one = 0;
  RingBufferPut(&ring, &one, 1);
  RingBufferGet(&ring, &one, 1);

  unsigned long ringBytes = RingPath(&ring, source.data(), destination.data(), getSize, rounds);
  bool same = std::memcmp(source.data(), destination.data(), kTransferSize) == 0;
  unsigned long copyBytes = CopyPath(staging.data(), source.data(), destination.data(), getSize, rounds);
  std::printf("ring path %lu bytes, copy path %lu bytes, data %s\n", ringBytes, copyBytes, same ? "intact" : "CORRUPT");
  return same ? 0 : 1;
}
