// The receive ring buffer, on the simulated kernel's pool: the one free slot,
// partial puts, all-or-nothing gets, wrap-around, clear, resize, allocation
// failures, and a long randomized run against a simple model.
#include "support/kernel_test.h"

#include "driver/receive/ring_buffer.h"
#include "sim/ex/pool.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Hex(NTSTATUS status) {
  std::ostringstream text;
  text << "0x" << std::hex << static_cast<ULONG>(status);
  return text.str();
}

// `count` bytes counting up from `first`, wrapping at 256.
std::vector<UCHAR> Sequence(size_t count, unsigned first) {
  std::vector<UCHAR> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<UCHAR>(first + i);
  return bytes;
}

// The fields of a ring buffer, compared as a whole.
struct Fields {
  PUCHAR data;
  ULONG count, capacity, readIndex, writeIndex;
  bool operator==(const Fields& other) const {
    return data == other.data && count == other.count && capacity == other.capacity &&
           readIndex == other.readIndex && writeIndex == other.writeIndex;
  }
};

Fields FieldsOf(const RingBuffer& ring) {
  return {ring.Data, ring.Count, ring.Capacity, ring.ReadIndex, ring.WriteIndex};
}

std::ostream& operator<<(std::ostream& out, const Fields& f) {
  return out << "{Data " << static_cast<const void*>(f.data) << ", Count " << f.count << ", Capacity " << f.capacity
             << ", ReadIndex " << f.readIndex << ", WriteIndex " << f.writeIndex << "}";
}

}  // namespace

class RingBufferTest : public KernelTest {
 protected:
  void TearDown() override {
    RingBufferFree(&ring_);
    KernelTest::TearDown();
  }

  void Init(ULONG capacity) {
    NTSTATUS status = RingBufferInit(&ring_, capacity);
    ASSERT_EQ(status, STATUS_SUCCESS) << "RingBufferInit(" << capacity << ") returned " << Hex(status);
  }

  void Put(const std::vector<UCHAR>& bytes) {
    NTSTATUS status = RingBufferPut(&ring_, bytes.data(), static_cast<ULONG>(bytes.size()));
    ASSERT_EQ(status, STATUS_SUCCESS) << "put of " << bytes.size() << " bytes returned " << Hex(status);
  }

  std::vector<UCHAR> Get(size_t count) {
    std::vector<UCHAR> bytes(count);
    NTSTATUS status = RingBufferGet(&ring_, bytes.data(), static_cast<ULONG>(count));
    EXPECT_EQ(status, STATUS_SUCCESS) << "get of " << count << " bytes with Count " << ring_.Count << " returned "
                                      << Hex(status);
    return bytes;
  }

  // The bytes a get of Count would return, without taking them.
  std::vector<UCHAR> Peek() const {
    std::vector<UCHAR> bytes;
    for (ULONG i = 0, at = ring_.ReadIndex; i < ring_.Count; ++i, at = (at + 1) % ring_.Capacity) {
      bytes.push_back(ring_.Data[at]);
    }
    return bytes;
  }

  // 700 bytes stored across the end of a 1024-byte storage: ReadIndex 600,
  // WriteIndex 276. Returns the bytes in the order they were put.
  std::vector<UCHAR> StoreSevenHundredAcrossTheWrap() {
    Init(1024);
    Put(Sequence(600, 0x80));
    Get(600);
    std::vector<UCHAR> stored = Sequence(700, 7);
    Put(stored);
    EXPECT_EQ(FieldsOf(ring_), (Fields{ring_.Data, 700, 1024, 600, 276}));
    return stored;
  }

  RingBuffer ring_{};
};

TEST_F(RingBufferTest, InitAllocatesNonPagedStorageAndStartsEmpty) {
  std::memset(&ring_, 0x55, sizeof ring_);
  ASSERT_EQ(RingBufferInit(&ring_, 1024), STATUS_SUCCESS);
  ASSERT_NE(ring_.Data, nullptr);
  EXPECT_EQ(FieldsOf(ring_), (Fields{ring_.Data, 0, 1024, 0, 0}));
  EXPECT_EQ(RingBufferCount(&ring_), 0u);
  sim::pool::Usage usage = sim::pool::Outstanding();
  EXPECT_EQ(usage.blocks, 1u);
  EXPECT_EQ(usage.bytes, 1024u);
  EXPECT_NE(sim::pool::DescribeOutstanding().find("NonPagedPool block of 1024 bytes"), std::string::npos)
      << "pool: " << sim::pool::DescribeOutstanding();
}

TEST_F(RingBufferTest, InitFailureLeavesDataNullAndTheOtherFieldsAsTheyWere) {
  std::memset(&ring_, 0x55, sizeof ring_);
  sim::pool::FailNth(1);
  EXPECT_EQ(RingBufferInit(&ring_, 1024), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(FieldsOf(ring_), (Fields{nullptr, 0x55555555, 0x55555555, 0x55555555, 0x55555555}));
  EXPECT_EQ(sim::pool::Outstanding().blocks, 0u);
  EXPECT_EQ(sim::pool::Attempts(), 1u) << "init makes exactly one allocation";
}

// The largest number of bytes a buffer holds is one less than its capacity.
TEST_F(RingBufferTest, HoldsOneByteLessThanItsCapacity) {
  for (ULONG capacity : {2u, 3u, 16u, 1024u}) {
    SCOPED_TRACE("capacity " + std::to_string(capacity));
    Init(capacity);
    std::vector<UCHAR> bytes = Sequence(capacity - 1, 1);
    ASSERT_NO_FATAL_FAILURE(Put(bytes));
    EXPECT_EQ(RingBufferCount(&ring_), capacity - 1);

    UCHAR extra = 0xEE;
    EXPECT_EQ(RingBufferPut(&ring_, &extra, 1), STATUS_BUFFER_TOO_SMALL) << "put into a full buffer";
    EXPECT_EQ(FieldsOf(ring_), (Fields{ring_.Data, capacity - 1, capacity, 0, capacity - 1}))
        << "a refused put changes nothing";
    EXPECT_EQ(Get(capacity - 1), bytes);
    RingBufferFree(&ring_);
  }
}

// A put that does not fit stores the bytes that do, in order, and drops the
// rest, also when the room is split by the end of the storage.
TEST_F(RingBufferTest, PartialPutStoresExactlyTheBytesThatFit) {
  struct Case {
    const char* name;
    ULONG capacity;
    ULONG shift;   // bytes put and taken first, to move both indices
    ULONG stored;  // bytes already waiting
    ULONG length;
    NTSTATUS status;
    ULONG fits;
  };
  const Case cases[] = {
      {"10 bytes with room for 4", 5, 0, 0, 10, STATUS_BUFFER_TOO_SMALL, 4},
      {"10 bytes with room for 4 across the wrap", 1024, 1000, 1019, 10, STATUS_BUFFER_TOO_SMALL, 4},
      {"room for exactly the bytes", 16, 0, 5, 10, STATUS_SUCCESS, 10},
      {"room for exactly the bytes across the wrap", 16, 12, 5, 10, STATUS_SUCCESS, 10},
      {"one byte too many", 16, 3, 5, 11, STATUS_BUFFER_TOO_SMALL, 10},
      {"no room at all", 16, 9, 15, 1, STATUS_BUFFER_TOO_SMALL, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Init(c.capacity);
    if (c.shift != 0) {
      Put(Sequence(c.shift, 0));
      Get(c.shift);
    }
    std::vector<UCHAR> waiting = Sequence(c.stored, 0x40);
    if (c.stored != 0) Put(waiting);
    std::vector<UCHAR> source = Sequence(c.length, 0xA0);

    NTSTATUS status = RingBufferPut(&ring_, source.data(), c.length);
    EXPECT_EQ(status, c.status) << "put status: got " << Hex(status) << ", expected " << Hex(c.status);
    EXPECT_EQ(ring_.Count, c.stored + c.fits);
    EXPECT_EQ(ring_.WriteIndex, (c.shift + c.stored + c.fits) % c.capacity);
    EXPECT_EQ(ring_.ReadIndex, c.shift % c.capacity);

    if (c.stored != 0) {
      EXPECT_EQ(Get(c.stored), waiting) << "the bytes waiting before the put";
    }
    if (c.fits != 0) {
      EXPECT_EQ(Get(c.fits), std::vector<UCHAR>(source.begin(), source.begin() + c.fits))
          << "the stored part of the put";
    }
    UCHAR more;
    EXPECT_EQ(RingBufferGet(&ring_, &more, 1), STATUS_ARRAY_BOUNDS_EXCEEDED) << "nothing beyond what fitted";
    RingBufferFree(&ring_);
  }
}

TEST_F(RingBufferTest, PutOfNothingOrFromNowhereIsRefusedAndChangesNothing) {
  Init(16);
  Put(Sequence(5, 1));
  const Fields before = FieldsOf(ring_);
  UCHAR byte = 0x11;
  struct Case {
    const char* name;
    const UCHAR* source;
    ULONG length;
  } const cases[] = {
      {"zero length", &byte, 0},
      {"null source", nullptr, 4},
      {"null source, zero length", nullptr, 0},
  };
  for (const Case& c : cases) {
    NTSTATUS status = RingBufferPut(&ring_, c.source, c.length);
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER) << c.name << ": got " << Hex(status);
    EXPECT_EQ(FieldsOf(ring_), before) << c.name;
  }
  EXPECT_EQ(Get(5), Sequence(5, 1));
}

TEST_F(RingBufferTest, GetOfNothingOrOfMoreThanIsStoredIsRefusedAndTakesNothing) {
  struct Case {
    const char* name;
    ULONG stored;
    ULONG length;
  } const cases[] = {
      {"0 bytes from an empty buffer", 0, 0},
      {"0 bytes with bytes stored", 3, 0},
      {"1 byte from an empty buffer", 0, 1},
      {"one more than stored", 3, 4},
      {"far more than stored", 3, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Init(16);
    std::vector<UCHAR> stored = Sequence(c.stored, 0x30);
    if (c.stored != 0) Put(stored);
    const Fields before = FieldsOf(ring_);
    std::vector<UCHAR> destination(c.length + 1, 0xEE);
    NTSTATUS status = RingBufferGet(&ring_, destination.data(), c.length);
    EXPECT_EQ(status, STATUS_ARRAY_BOUNDS_EXCEEDED) << "got " << Hex(status);
    EXPECT_EQ(FieldsOf(ring_), before);
    EXPECT_EQ(destination, std::vector<UCHAR>(c.length + 1, 0xEE)) << "the destination is not written";
    if (c.stored != 0) {
      EXPECT_EQ(Get(c.stored), stored);
    }
    RingBufferFree(&ring_);
  }
}

TEST_F(RingBufferTest, GetIntoANullDestinationIsRefused) {
  Init(16);
  Put(Sequence(4, 1));
  const Fields before = FieldsOf(ring_);
  EXPECT_EQ(RingBufferGet(&ring_, nullptr, 2), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(FieldsOf(ring_), before);
}

// Uneven puts and gets walk both indices past the end of the storage many
// times; every byte comes out in the order it went in.
TEST_F(RingBufferTest, WrapAroundKeepsTheOrder) {
  Init(7);
  unsigned next = 0;      // the number of the next byte to put
  unsigned expected = 0;  // the number of the next byte to come out
  int wraps = 0;
  for (int round = 0; round < 60; ++round) {
    ULONG room = ring_.Capacity - 1 - ring_.Count;
    ULONG putLength = 1 + round % 6;
    if (putLength > room) putLength = room;
    ULONG before = ring_.WriteIndex;
    Put(Sequence(putLength, next));
    next += putLength;
    if (ring_.WriteIndex < before) ++wraps;

    ULONG getLength = 1 + (round * 5) % ring_.Count;
    EXPECT_EQ(Get(getLength), Sequence(getLength, expected)) << "round " << round;
    expected += getLength;
    ASSERT_EQ(ring_.Count, (ring_.WriteIndex + ring_.Capacity - ring_.ReadIndex) % ring_.Capacity);
  }
  EXPECT_GT(wraps, 20) << "the test should wrap the indices many times";
  ASSERT_EQ(ring_.Count, next - expected);
  if (ring_.Count != 0) {
    EXPECT_EQ(Get(ring_.Count), Sequence(next - expected, expected));
  }
}

// Every position of the indices, every fill level and every put length up
// to past the capacity: a put stores exactly the bytes that fit, across the
// end of the storage where it reaches it, and gets of that length take the
// bytes back in order, across the end too.
TEST_F(RingBufferTest, EveryWrapPositionAndFillLevelKeepsTheBytesInOrder) {
  const ULONG capacity = 16;
  Init(capacity);
  int wrappedPuts = 0, partialPuts = 0, wrappedGets = 0;
  for (ULONG start = 0; start < capacity; ++start) {
    for (ULONG fill = 0; fill < capacity; ++fill) {
      for (ULONG length = 1; length <= capacity + 1; ++length) {
        auto what = [&] {
          return "start " + std::to_string(start) + ", fill " + std::to_string(fill) + ", length " +
                 std::to_string(length);
        };
        RingBufferClear(&ring_);
        std::vector<UCHAR> scratch(capacity);
        if (start != 0) {
          ASSERT_EQ(RingBufferPut(&ring_, Sequence(start, 0).data(), start), STATUS_SUCCESS) << what();
          ASSERT_EQ(RingBufferGet(&ring_, scratch.data(), start), STATUS_SUCCESS) << what();
        }
        std::vector<UCHAR> expected = Sequence(fill, 0x40);
        if (fill != 0) {
          ASSERT_EQ(RingBufferPut(&ring_, expected.data(), fill), STATUS_SUCCESS) << what();
        }

        std::vector<UCHAR> source = Sequence(length, 0xA0);
        ULONG fits = std::min(length, capacity - 1 - fill);
        NTSTATUS status = RingBufferPut(&ring_, source.data(), length);
        ASSERT_EQ(status, fits == length ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL) << what() << ": " << Hex(status);
        ASSERT_EQ(FieldsOf(ring_), (Fields{ring_.Data, fill + fits, capacity, start, (start + fill + fits) % capacity}))
            << what();
        wrappedPuts += (start + fill) % capacity + fits > capacity;
        partialPuts += fits < length;
        expected.insert(expected.end(), source.begin(), source.begin() + fits);

        std::vector<UCHAR> taken;
        while (ring_.Count != 0) {
          ULONG piece = std::min(length, ring_.Count);
          wrappedGets += ring_.ReadIndex + piece > capacity;
          std::vector<UCHAR> out(piece + 1, 0xEE);
          ASSERT_EQ(RingBufferGet(&ring_, out.data(), piece), STATUS_SUCCESS) << what();
          ASSERT_EQ(out[piece], 0xEE) << what() << ": a get wrote past its length";
          taken.insert(taken.end(), out.begin(), out.end() - 1);
        }
        ASSERT_EQ(taken, expected) << what();
        ASSERT_EQ(ring_.ReadIndex, ring_.WriteIndex) << what();
      }
    }
  }
  EXPECT_GT(wrappedPuts, 1000);
  EXPECT_GT(partialPuts, 1000);
  EXPECT_GT(wrappedGets, 1000);
}

TEST_F(RingBufferTest, ClearKeepsTheStorageAndRestartsAtIndexZero) {
  Init(64);
  Put(Sequence(50, 1));
  Get(30);
  PUCHAR storage = ring_.Data;
  RingBufferClear(&ring_);
  EXPECT_EQ(FieldsOf(ring_), (Fields{storage, 0, 64, 0, 0}));
  UCHAR byte;
  EXPECT_EQ(RingBufferGet(&ring_, &byte, 1), STATUS_ARRAY_BOUNDS_EXCEEDED) << "cleared bytes are gone";

  Put({0xC1, 0xC2, 0xC3});
  EXPECT_EQ(FieldsOf(ring_), (Fields{storage, 3, 64, 0, 3}));
  EXPECT_EQ(std::vector<UCHAR>(storage, storage + 3), (std::vector<UCHAR>{0xC1, 0xC2, 0xC3}))
      << "the first put after a clear starts at index 0";
  EXPECT_EQ(Get(3), (std::vector<UCHAR>{0xC1, 0xC2, 0xC3}));
  Put(Sequence(63, 0));  // the whole capacity is usable again
  EXPECT_EQ(RingBufferCount(&ring_), 63u);
}

TEST_F(RingBufferTest, ResizeToTheSameOrASmallerCapacityChangesNothing) {
  struct Case {
    const char* name;
    ULONG newCapacity;
    NTSTATUS status;
  } const cases[] = {
      {"same capacity", 1024, STATUS_SUCCESS},
      {"one smaller", 1023, STATUS_INVALID_PARAMETER},
      {"much smaller", 16, STATUS_INVALID_PARAMETER},
      {"zero", 0, STATUS_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<UCHAR> stored = StoreSevenHundredAcrossTheWrap();
    const Fields before = FieldsOf(ring_);
    uint64_t attempts = sim::pool::Attempts();
    NTSTATUS status = RingBufferResize(&ring_, c.newCapacity);
    EXPECT_EQ(status, c.status) << "got " << Hex(status) << ", expected " << Hex(c.status);
    EXPECT_EQ(FieldsOf(ring_), before);
    EXPECT_EQ(sim::pool::Attempts(), attempts) << "no allocation is attempted";
    EXPECT_EQ(Get(700), stored);
    RingBufferFree(&ring_);
  }
}

TEST_F(RingBufferTest, ResizeLargerKeepsTheContentInOrderFromIndexZero) {
  std::vector<UCHAR> stored = StoreSevenHundredAcrossTheWrap();
  PUCHAR oldStorage = ring_.Data;
  ASSERT_EQ(RingBufferResize(&ring_, 4096), STATUS_SUCCESS);
  EXPECT_NE(ring_.Data, oldStorage);
  EXPECT_EQ(FieldsOf(ring_), (Fields{ring_.Data, 700, 4096, 0, 700}));
  sim::pool::Usage usage = sim::pool::Outstanding();
  EXPECT_EQ(usage.blocks, 1u) << "the old storage is released";
  EXPECT_EQ(usage.bytes, 4096u);

  // The new room is all usable: 4095 bytes in all.
  std::vector<UCHAR> more = Sequence(4095 - 700, 0x11);
  Put(more);
  UCHAR extra = 0;
  EXPECT_EQ(RingBufferPut(&ring_, &extra, 1), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Get(700), stored) << "the bytes from before the resize come first, in order";
  EXPECT_EQ(Get(more.size()), more);
}

TEST_F(RingBufferTest, ResizeOfAnEmptyBufferStartsAtIndexZero) {
  Init(16);
  Put(Sequence(10, 0));
  Get(10);
  ASSERT_EQ(RingBufferResize(&ring_, 32), STATUS_SUCCESS);
  EXPECT_EQ(FieldsOf(ring_), (Fields{ring_.Data, 0, 32, 0, 0}));
  Put(Sequence(31, 5));
  EXPECT_EQ(Get(31), Sequence(31, 5));
}

TEST_F(RingBufferTest, ResizeUnderTheSpinLockUsesNonPagedPool) {
  // The port resizes with RxBufferLock held, at DISPATCH_LEVEL; the verifier
  // (checked at the end of the test) reports pageable pool there.
  Init(1024);
  Put(Sequence(100, 0));
  KSPIN_LOCK lock{};
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  NTSTATUS status = RingBufferResize(&ring_, 2048);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_NE(sim::pool::DescribeOutstanding().find("NonPagedPool block of 2048 bytes"), std::string::npos)
      << "pool: " << sim::pool::DescribeOutstanding();
  EXPECT_EQ(Get(100), Sequence(100, 0));
}

TEST_F(RingBufferTest, ResizeAllocationFailureLeavesTheBufferAsItWas) {
  std::vector<UCHAR> stored = StoreSevenHundredAcrossTheWrap();
  const Fields before = FieldsOf(ring_);
  sim::pool::FailNth(1);
  EXPECT_EQ(RingBufferResize(&ring_, 4096), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(FieldsOf(ring_), before);
  EXPECT_EQ(Peek(), stored);
  sim::pool::Usage usage = sim::pool::Outstanding();
  EXPECT_EQ(usage.blocks, 1u);
  EXPECT_EQ(usage.bytes, 1024u);

  // The buffer works on, and a later resize succeeds.
  Put({0x01, 0x02});
  ASSERT_EQ(RingBufferResize(&ring_, 4096), STATUS_SUCCESS);
  EXPECT_EQ(Get(700), stored);
  EXPECT_EQ(Get(2), (std::vector<UCHAR>{0x01, 0x02}));
}

TEST_F(RingBufferTest, FreeReleasesTheStorageAndASecondFreeDoesNothing) {
  Init(1024);
  Put(Sequence(10, 0));
  EXPECT_EQ(RingBufferFree(&ring_), STATUS_SUCCESS);
  EXPECT_EQ(ring_.Data, nullptr);
  EXPECT_EQ(sim::pool::Outstanding().blocks, 0u);
  EXPECT_EQ(RingBufferFree(&ring_), STATUS_SUCCESS);
  EXPECT_EQ(ring_.Data, nullptr);
  EXPECT_TRUE(sim::verifier::Findings().empty()) << sim::verifier::Describe(sim::verifier::Findings());

  RingBuffer never{};
  EXPECT_EQ(RingBufferFree(&never), STATUS_SUCCESS) << "free of a buffer that never had storage";
  EXPECT_EQ(never.Data, nullptr);
}

// A buffer without storage is empty and has no room: nothing reaches through
// the null pointer. Open after close initialises it again.
TEST_F(RingBufferTest, ABufferWithoutStorageTakesAndGivesNothing) {
  Init(1024);
  Put(Sequence(10, 0));
  RingBufferFree(&ring_);
  EXPECT_EQ(RingBufferCount(&ring_), 0u);
  EXPECT_EQ(ring_.Count, (ring_.WriteIndex + ring_.Capacity - ring_.ReadIndex) % ring_.Capacity);
  UCHAR byte = 0x42;
  EXPECT_EQ(RingBufferGet(&ring_, &byte, 1), STATUS_ARRAY_BOUNDS_EXCEEDED);
  EXPECT_EQ(RingBufferPut(&ring_, &byte, 1), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(ring_.Count, 0u);

  sim::pool::FailNth(1);
  EXPECT_EQ(RingBufferInit(&ring_, 1024), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(RingBufferGet(&ring_, &byte, 1), STATUS_ARRAY_BOUNDS_EXCEEDED) << "after a failed reopen";
  EXPECT_EQ(RingBufferPut(&ring_, &byte, 1), STATUS_BUFFER_TOO_SMALL) << "after a failed reopen";

  Init(1024);
  Put({0x42});
  EXPECT_EQ(Get(1), (std::vector<UCHAR>{0x42}));
}

// Many puts, gets, resizes and clears chosen at random (fixed seed) against a
// deque; after every operation the status, the count, the invariant between
// the count and the indices, and the stored bytes in order must agree.
TEST_F(RingBufferTest, RandomOperationsAgreeWithASimpleModel) {
  const unsigned seed = 20100106;
  std::mt19937 random(seed);
  auto below = [&random](unsigned n) { return static_cast<unsigned>(random() % n); };

  ULONG capacity = 8;
  Init(capacity);
  std::deque<UCHAR> model;
  unsigned nextByte = 0;
  int fullPuts = 0, partialPuts = 0, resizes = 0, failedResizes = 0;

  for (int step = 0; step < 10000; ++step) {
    std::ostringstream what;
    NTSTATUS status;
    NTSTATUS expected;
    unsigned choice = below(100);
    if (choice < 45) {
      ULONG length = below(capacity + 4);
      std::vector<UCHAR> source = Sequence(length, nextByte);
      bool nullSource = below(50) == 0;
      what << "put of " << length << (nullSource ? " from null" : "");
      status = RingBufferPut(&ring_, nullSource ? nullptr : source.data(), length);
      if (nullSource || length == 0) {
        expected = STATUS_INVALID_PARAMETER;
      } else {
        size_t room = capacity - 1 - model.size();
        size_t fits = length < room ? length : room;
        model.insert(model.end(), source.begin(), source.begin() + fits);
        nextByte += length;
        expected = fits == length ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
        (fits == length ? fullPuts : partialPuts) += 1;
      }
    } else if (choice < 90) {
      ULONG length = below(static_cast<unsigned>(model.size()) + 3);
      what << "get of " << length;
      std::vector<UCHAR> destination(length + 1, 0xEE);
      status = RingBufferGet(&ring_, destination.data(), length);
      if (length == 0 || length > model.size()) {
        expected = STATUS_ARRAY_BOUNDS_EXCEEDED;
        EXPECT_EQ(destination, std::vector<UCHAR>(length + 1, 0xEE)) << "step " << step << ": refused " << what.str();
      } else {
        expected = STATUS_SUCCESS;
        std::vector<UCHAR> wanted(model.begin(), model.begin() + length);
        model.erase(model.begin(), model.begin() + length);
        EXPECT_EQ(std::vector<UCHAR>(destination.begin(), destination.end() - 1), wanted)
            << "step " << step << ": bytes of " << what.str();
      }
    } else if (choice < 96) {
      ULONG newCapacity = capacity + below(8) - 2;
      bool failAllocation = below(5) == 0;
      what << "resize from " << capacity << " to " << newCapacity << (failAllocation ? " failing" : "");
      const Fields before = FieldsOf(ring_);
      if (failAllocation) sim::pool::FailNth(1);
      status = RingBufferResize(&ring_, newCapacity);
      sim::pool::StopFailing();
      bool grows = newCapacity > capacity && !failAllocation;
      if (newCapacity < capacity) {
        expected = STATUS_INVALID_PARAMETER;
      } else if (newCapacity == capacity) {
        expected = STATUS_SUCCESS;
      } else if (failAllocation) {
        expected = STATUS_INSUFFICIENT_RESOURCES;
        ++failedResizes;
      } else {
        expected = STATUS_SUCCESS;
        capacity = newCapacity;
        ++resizes;
      }
      if (grows) {
        EXPECT_EQ(ring_.ReadIndex, 0u) << "step " << step << ": " << what.str();
        EXPECT_EQ(ring_.WriteIndex, model.size()) << "step " << step << ": " << what.str();
      } else {
        EXPECT_EQ(FieldsOf(ring_), before) << "step " << step << ": " << what.str() << " changes nothing";
      }
    } else {
      what << "clear";
      RingBufferClear(&ring_);
      model.clear();
      status = expected = STATUS_SUCCESS;
      EXPECT_EQ(ring_.ReadIndex, 0u) << "step " << step << ": after clear";
      EXPECT_EQ(ring_.WriteIndex, 0u) << "step " << step << ": after clear";
    }

    ASSERT_EQ(status, expected) << "seed " << seed << ", step " << step << ", " << what.str() << ": got "
                                << Hex(status) << ", expected " << Hex(expected);
    ASSERT_EQ(ring_.Capacity, capacity) << "step " << step << ", " << what.str();
    ASSERT_EQ(RingBufferCount(&ring_), model.size()) << "step " << step << ", " << what.str();
    ASSERT_EQ(ring_.Count, (ring_.WriteIndex + ring_.Capacity - ring_.ReadIndex) % ring_.Capacity)
        << "step " << step << ", " << what.str() << ": Count against the indices " << FieldsOf(ring_);
    ASSERT_LT(ring_.ReadIndex, capacity) << "step " << step;
    ASSERT_LT(ring_.WriteIndex, capacity) << "step " << step;
    ASSERT_EQ(Peek(), std::vector<UCHAR>(model.begin(), model.end())) << "step " << step << ", " << what.str();
    ASSERT_EQ(sim::pool::Outstanding().blocks, 1u) << "step " << step << ", " << what.str();
  }
  // The run must have covered the interesting cases, or it proves little.
  EXPECT_GT(fullPuts, 100);
  EXPECT_GT(partialPuts, 100);
  EXPECT_GT(resizes, 20);
  EXPECT_GT(failedResizes, 5);
}
