// The receive ring, called directly on a device's extension: wrap-around by split copies,
// count-based full and empty, truncation, reset.

#include "receive_test_support.h"

namespace {

using porttest::PortTestbed;

constexpr ULONG kCapacity = RING_BUFFER_SIZE;

class RingBuffer : public ::testing::Test {
 protected:
  PDEVICE_EXTENSION ext() { return tb.Ext(); }
  // Puts and takes `n` bytes so that the indices stand at `index` with the ring empty.
  void MoveTo(ULONG index) {
    ASSERT_EQ(RingReset(ext()), STATUS_SUCCESS);
    std::vector<uint8_t> scratch(index);
    ULONG done = 0;
    if (index != 0) {
      ASSERT_EQ(RingPut(ext(), scratch.data(), index, &done), STATUS_SUCCESS);
      ASSERT_EQ(RingGet(ext(), scratch.data(), index, &done), STATUS_SUCCESS);
    }
    ASSERT_EQ(ext()->RingHead, index);
    ASSERT_EQ(ext()->RingTail, index);
  }
  void ExpectInvariant() {
    EXPECT_EQ(ext()->RingHead, (ext()->RingTail + ULONG(ext()->RingCount)) % kCapacity);
  }
  PortTestbed tb;
};

TEST_F(RingBuffer, PutAcrossTheEndSplitsTheCopy) {
  MoveTo(kCapacity - 5);
  auto bytes = rxtest::PatternBytes(0, 10);
  ULONG stored = 99;
  EXPECT_EQ(RingPut(ext(), bytes.data(), 10, &stored), STATUS_SUCCESS);
  EXPECT_EQ(stored, 10u);
  EXPECT_EQ(ext()->RingHead, 5u);
  EXPECT_EQ(memcmp(&ext()->RingBuffer[kCapacity - 5], bytes.data(), 5), 0);
  EXPECT_EQ(memcmp(&ext()->RingBuffer[0], bytes.data() + 5, 5), 0);
  ExpectInvariant();

  std::vector<uint8_t> out(10);
  ULONG taken = 0;
  EXPECT_EQ(RingGet(ext(), out.data(), 10, &taken), STATUS_SUCCESS);
  EXPECT_EQ(taken, 10u);
  EXPECT_EQ(out, bytes);
  EXPECT_EQ(ext()->RingTail, 5u);
}

TEST_F(RingBuffer, GetEndingAtTheEndWrapsTheTailToZero) {
  MoveTo(kCapacity - 8);
  auto bytes = rxtest::PatternBytes(3, 8);
  ULONG n = 0;
  ASSERT_EQ(RingPut(ext(), bytes.data(), 8, &n), STATUS_SUCCESS);
  EXPECT_EQ(ext()->RingHead, 0u);
  std::vector<uint8_t> out(8);
  ASSERT_EQ(RingGet(ext(), out.data(), 8, &n), STATUS_SUCCESS);
  EXPECT_EQ(ext()->RingTail, 0u);
  EXPECT_EQ(out, bytes);
}

TEST_F(RingBuffer, AllBytesCanBeHeldAndAFullRingRefusesMore) {
  MoveTo(12345);
  auto bytes = rxtest::PatternBytes(0, kCapacity);
  ULONG n = 0;
  ASSERT_EQ(RingPut(ext(), bytes.data(), kCapacity, &n), STATUS_SUCCESS);
  EXPECT_EQ(n, kCapacity);
  EXPECT_EQ(RingAvailable(ext()), LONG(kCapacity));
  EXPECT_EQ(ext()->RingHead, ext()->RingTail);  // full and empty look alike; the count decides

  uint8_t one = 1;
  n = 77;
  EXPECT_EQ(RingPut(ext(), &one, 1, &n), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(RingAvailable(ext()), LONG(kCapacity));

  std::vector<uint8_t> out(kCapacity);
  ASSERT_EQ(RingGet(ext(), out.data(), kCapacity, &n), STATUS_SUCCESS);
  EXPECT_EQ(n, kCapacity);
  EXPECT_TRUE(out == bytes);
}

TEST_F(RingBuffer, APutLargerThanTheRoomIsTruncatedToIt) {
  std::vector<uint8_t> fill(kCapacity - 100, 0xAA);
  ULONG n = 0;
  ASSERT_EQ(RingPut(ext(), fill.data(), ULONG(fill.size()), &n), STATUS_SUCCESS);
  auto block = rxtest::PatternBytes(0, 4096);
  EXPECT_EQ(RingPut(ext(), block.data(), 4096, &n), STATUS_SUCCESS);
  EXPECT_EQ(n, 100u);
  EXPECT_EQ(RingAvailable(ext()), LONG(kCapacity));

  // What was held is intact, and only the first 100 bytes of the block follow it.
  std::vector<uint8_t> out(kCapacity);
  ASSERT_EQ(RingGet(ext(), out.data(), kCapacity, &n), STATUS_SUCCESS);
  EXPECT_TRUE(std::equal(fill.begin(), fill.end(), out.begin()));
  EXPECT_TRUE(std::equal(block.begin(), block.begin() + 100, out.begin() + fill.size()));
}

TEST_F(RingBuffer, GetFromAnEmptyRingTakesNothing) {
  uint8_t out[4] = {9, 9, 9, 9};
  ULONG n = 55;
  EXPECT_EQ(RingGet(ext(), out, sizeof out, &n), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(out[0], 9);
}

TEST_F(RingBuffer, GetOfMoreThanHeldTakesEverything) {
  auto bytes = rxtest::PatternBytes(0, 30);
  ULONG n = 0;
  ASSERT_EQ(RingPut(ext(), bytes.data(), 30, &n), STATUS_SUCCESS);
  std::vector<uint8_t> out(100);
  EXPECT_EQ(RingGet(ext(), out.data(), 100, &n), STATUS_SUCCESS);
  EXPECT_EQ(n, 30u);
  EXPECT_EQ(RingAvailable(ext()), 0);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), out.begin()));
}

TEST_F(RingBuffer, ResetEmptiesAndTheNextPutStartsAtZero) {
  MoveTo(500);
  uint8_t data[3] = {1, 2, 3};
  ULONG n = 0;
  ASSERT_EQ(RingPut(ext(), data, 3, &n), STATUS_SUCCESS);
  EXPECT_EQ(RingReset(ext()), STATUS_SUCCESS);
  EXPECT_EQ(RingAvailable(ext()), 0);
  ASSERT_EQ(RingPut(ext(), data, 3, &n), STATUS_SUCCESS);
  EXPECT_EQ(ext()->RingHead, 3u);
  EXPECT_EQ(ext()->RingTail, 0u);
  EXPECT_EQ(memcmp(&ext()->RingBuffer[0], data, 3), 0);
}

TEST_F(RingBuffer, InterleavedPutsAndGetsKeepOrderAcrossManyWraps) {
  // Odd sizes so that every offset of the wrap is met over 3 MB.
  uint64_t put = 0, got = 0;
  std::vector<uint8_t> out(7001);
  const uint64_t total = 3 * 1024 * 1024;
  while (got < total) {
    ULONG n = 0;
    if (put < total) {
      auto block = rxtest::PatternBytes(put, 4093);
      RingPut(ext(), block.data(), 4093, &n);
      put += n;
    }
    ULONG take = 0;
    RingGet(ext(), out.data(), ULONG(out.size()), &take);
    for (ULONG k = 0; k < take; ++k) {
      ASSERT_EQ(out[k], rxtest::Pattern(got + k)) << "byte " << got + k;
    }
    got += take;
    ExpectInvariant();
  }
}

}  // namespace
