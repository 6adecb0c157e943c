// CUDA semantics of the host emulation: kernels written against emu/device_emu.h and run by
// zk_emu::launch_kernel. Expected values come from CUDA's documented rules, written out here.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "emu/device_emu.h"
#include "emu/kernel_exec.h"

namespace {

constexpr unsigned kFull = 0xffffffffu;

template <typename F>
cudaError_t launch(const char* name, dim3 grid, dim3 block, size_t shared_bytes, F body) {
  return zk_emu::launch_kernel(name, grid, block, shared_bytes, std::function<void()>(body));
}

unsigned linear_thread() {
  return threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
}

// ---------------------------------------------------------------------------------------------
// Built-in variables and lane numbering.

__global__ void coordinates_kernel(unsigned* out) {
  const unsigned t = linear_thread();
  const unsigned block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
  const unsigned threads = blockDim.x * blockDim.y * blockDim.z;
  unsigned* o = out + 2 * (block * threads + t);
  o[0] = block * threads + t + 1;
  // Lane 0 of each warp holds the smallest linear index of that warp.
  o[1] = __shfl_sync(__activemask(), t, 0);
}

TEST(EmuCoordinates, EveryThreadOnceAndLanesFollowLinearIndex) {
  const dim3 grid(3, 2, 2), block(8, 4, 2);
  const unsigned threads = 64, blocks = 12;
  std::vector<unsigned> out(2 * threads * blocks, 0);
  unsigned* o = out.data();
  ASSERT_EQ(launch("coordinates", grid, block, 0, [=] { coordinates_kernel(o); }), cudaSuccess);
  for (unsigned i = 0; i < threads * blocks; ++i) {
    EXPECT_EQ(out[2 * i], i + 1) << i;
    EXPECT_EQ(out[2 * i + 1], (i % threads) / 32 * 32) << i;
  }
}

// ---------------------------------------------------------------------------------------------
// Barriers.

constexpr int kRounds = 5;

// Each round every thread publishes a value, then reads its neighbour's after the barrier.
__global__ void barrier_rounds_kernel(unsigned* seen) {
  __shared__ unsigned slot[1024];
  const unsigned n = blockDim.x * blockDim.y * blockDim.z;
  const unsigned t = linear_thread();
  for (int r = 0; r < kRounds; ++r) {
    slot[t] = r * 10000 + t;
    __syncthreads();
    seen[(blockIdx.x * kRounds + r) * n + t] = slot[(t + 1) % n];
    __syncthreads();
  }
}

struct BlockShape {
  dim3 block;
  unsigned threads;
};

std::ostream& operator<<(std::ostream& os, const dim3& d) {
  return os << "(" << d.x << "," << d.y << "," << d.z << ")";
}
std::ostream& operator<<(std::ostream& os, const BlockShape& s) {
  return os << "block " << s.block;
}

class EmuBarrier : public ::testing::TestWithParam<BlockShape> {};

TEST_P(EmuBarrier, WritesBeforeBarrierAreVisibleAfterIt) {
  const BlockShape shape = GetParam();
  const unsigned blocks = 6;
  std::vector<unsigned> seen(blocks * kRounds * shape.threads, 0);
  unsigned* s = seen.data();
  ASSERT_EQ(
      launch("barrier_rounds", dim3(blocks), shape.block, 0, [=] { barrier_rounds_kernel(s); }),
      cudaSuccess);
  for (unsigned b = 0; b < blocks; ++b) {
    for (int r = 0; r < kRounds; ++r) {
      for (unsigned t = 0; t < shape.threads; ++t) {
        ASSERT_EQ(seen[(b * kRounds + r) * shape.threads + t], r * 10000 + (t + 1) % shape.threads)
            << "block " << b << " round " << r << " thread " << t;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, EmuBarrier,
                         ::testing::Values(BlockShape{dim3(256), 256}, BlockShape{dim3(512), 512},
                                           BlockShape{dim3(40), 40}, BlockShape{dim3(8, 4, 2), 64},
                                           BlockShape{dim3(1024), 1024}));

// Threads that exit early no longer count at later barriers.
__global__ void early_exit_kernel(unsigned* seen) {
  __shared__ unsigned value;
  if (threadIdx.x >= 100) return;
  if (threadIdx.x == 0) value = 77;
  __syncthreads();
  seen[threadIdx.x] = value;
}

TEST(EmuBarrierExit, ExitedThreadsDoNotBlockTheBarrier) {
  std::vector<unsigned> seen(100, 0);
  unsigned* s = seen.data();
  ASSERT_EQ(launch("early_exit", dim3(1), dim3(256), 0, [=] { early_exit_kernel(s); }),
            cudaSuccess);
  for (unsigned v : seen) EXPECT_EQ(v, 77u);
}

__global__ void barrier_reduce_kernel(int* out) {
  const int t = threadIdx.x;
  out[t * 3 + 0] = __syncthreads_count(t % 3 == 0);
  out[t * 3 + 1] = __syncthreads_and(t < 1000);
  out[t * 3 + 2] = __syncthreads_or(t == 77);
}

TEST(EmuBarrierReduce, CountAndOr) {
  const int n = 200;
  std::vector<int> out(3 * n, -1);
  int* o = out.data();
  ASSERT_EQ(launch("barrier_reduce", dim3(1), dim3(n), 0, [=] { barrier_reduce_kernel(o); }),
            cudaSuccess);
  for (int t = 0; t < n; ++t) {
    EXPECT_EQ(out[t * 3 + 0], 67) << t;  // multiples of 3 in 0..199
    EXPECT_NE(out[t * 3 + 1], 0) << t;
    EXPECT_NE(out[t * 3 + 2], 0) << t;
  }
}

// ---------------------------------------------------------------------------------------------
// Shuffles.

enum class Shfl { kIdx, kUp, kDown, kXor };

struct ShflCase {
  Shfl kind;
  int width;
  int operand;      // srcLane, delta or lane mask
  int lane_stride;  // srcLane grows by this per lane (index mode only)
};

std::ostream& operator<<(std::ostream& os, const ShflCase& c) {
  static const char* const kNames[] = {"idx", "up", "down", "xor"};
  return os << kNames[static_cast<int>(c.kind)] << " width " << c.width << " operand " << c.operand
            << " stride " << c.lane_stride;
}

// The documented rules, written with divisions rather than bit masks.
unsigned shfl_source(const ShflCase& c, unsigned lane) {
  const unsigned w = c.width, start = lane / w * w, pos = lane % w;
  switch (c.kind) {
    case Shfl::kIdx:
      return start + static_cast<unsigned>(c.operand + c.lane_stride * lane) % w;
    case Shfl::kUp:
      return pos >= static_cast<unsigned>(c.operand) ? lane - c.operand : lane;
    case Shfl::kDown:
      return pos + c.operand < w ? lane + c.operand : lane;
    case Shfl::kXor: {
      const unsigned src = lane ^ static_cast<unsigned>(c.operand);
      return src < start + w ? src : lane;  // earlier groups are reachable, later ones are not
    }
  }
  return lane;
}

template <typename T>
T lane_value(unsigned lane) {
  if constexpr (sizeof(T) == 8) {
    return static_cast<T>((lane + 1) * 0x100000001ull + 0x4000000000000000ull);
  } else {
    return static_cast<T>(lane * 3 + 1);
  }
}

template <typename T>
__global__ void shfl_kernel(ShflCase c, T* out) {
  const unsigned lane = threadIdx.x;
  const T v = lane_value<T>(lane);
  T r{};
  switch (c.kind) {
    case Shfl::kIdx:
      r = __shfl_sync(kFull, v, c.operand + c.lane_stride * static_cast<int>(lane), c.width);
      break;
    case Shfl::kUp:
      r = __shfl_up_sync(kFull, v, c.operand, c.width);
      break;
    case Shfl::kDown:
      r = __shfl_down_sync(kFull, v, c.operand, c.width);
      break;
    case Shfl::kXor:
      r = __shfl_xor_sync(kFull, v, c.operand, c.width);
      break;
  }
  out[lane] = r;
}

class EmuShuffle : public ::testing::TestWithParam<ShflCase> {
 protected:
  template <typename T>
  void check() {
    const ShflCase c = GetParam();
    std::vector<T> out(32);
    T* o = out.data();
    ASSERT_EQ(launch("shfl", dim3(1), dim3(32), 0, [=] { shfl_kernel<T>(c, o); }), cudaSuccess);
    for (unsigned lane = 0; lane < 32; ++lane) {
      EXPECT_EQ(out[lane], lane_value<T>(shfl_source(c, lane))) << "lane " << lane;
    }
  }
};

TEST_P(EmuShuffle, Int) { check<int>(); }
TEST_P(EmuShuffle, Unsigned) { check<unsigned>(); }
TEST_P(EmuShuffle, Float) { check<float>(); }
TEST_P(EmuShuffle, LongLong) { check<long long>(); }
TEST_P(EmuShuffle, UnsignedLongLong) { check<unsigned long long>(); }
TEST_P(EmuShuffle, Double) { check<double>(); }

INSTANTIATE_TEST_SUITE_P(
    Cases, EmuShuffle,
    ::testing::Values(ShflCase{Shfl::kIdx, 32, 5, 0}, ShflCase{Shfl::kIdx, 32, 3, 7},
                      ShflCase{Shfl::kIdx, 16, 3, 0}, ShflCase{Shfl::kIdx, 16, 19, 0},
                      ShflCase{Shfl::kIdx, 8, 2, 5}, ShflCase{Shfl::kUp, 32, 1, 0},
                      ShflCase{Shfl::kUp, 32, 31, 0}, ShflCase{Shfl::kUp, 16, 3, 0},
                      ShflCase{Shfl::kUp, 8, 5, 0}, ShflCase{Shfl::kUp, 8, 8, 0},
                      ShflCase{Shfl::kDown, 32, 1, 0}, ShflCase{Shfl::kDown, 32, 17, 0},
                      ShflCase{Shfl::kDown, 16, 4, 0}, ShflCase{Shfl::kDown, 8, 7, 0},
                      ShflCase{Shfl::kXor, 32, 1, 0}, ShflCase{Shfl::kXor, 32, 16, 0},
                      ShflCase{Shfl::kXor, 16, 8, 0}, ShflCase{Shfl::kXor, 16, 16, 0},
                      ShflCase{Shfl::kXor, 8, 3, 0}, ShflCase{Shfl::kXor, 8, 12, 0},
                      ShflCase{Shfl::kXor, 1, 1, 0}));

// ---------------------------------------------------------------------------------------------
// Partial warps and lane groups.

// A block of 40 threads: warp 1 has 8 lanes. Each warp sums its values with an xor butterfly
// that stays inside its own mask.
__global__ void partial_warp_kernel(int* sums, unsigned* ballots) {
  const unsigned t = threadIdx.x, lane = t % 32;
  const bool tail = t >= 32;
  const unsigned mask = tail ? 0xffu : kFull;
  int v = static_cast<int>(t) + 1;
  for (int offset = tail ? 4 : 16; offset > 0; offset /= 2) v += __shfl_xor_sync(mask, v, offset);
  sums[t] = v;
  ballots[t] = __ballot_sync(mask, lane % 3 == 0);
  ballots[40 + t] = __any_sync(mask, t == 35) | (__all_sync(mask, t < 40) << 1);
}

TEST(EmuPartialWarp, BlockOfFortyWithMatchingMasks) {
  std::vector<int> sums(40);
  std::vector<unsigned> ballots(80);
  int* s = sums.data();
  unsigned* b = ballots.data();
  ASSERT_EQ(launch("partial_warp", dim3(1), dim3(40), 0, [=] { partial_warp_kernel(s, b); }),
            cudaSuccess);
  for (unsigned t = 0; t < 40; ++t) {
    const bool tail = t >= 32;
    EXPECT_EQ(sums[t], tail ? (33 + 40) * 8 / 2 : 32 * 33 / 2) << t;
    EXPECT_EQ(ballots[t], tail ? 0b01001001u : 0x49249249u) << t;
    EXPECT_EQ(ballots[40 + t], tail ? 3u : 2u) << t;
  }
}

// Reading a lane outside the mask is undefined on the hardware; the emulator returns a
// recognisable pattern so that code relying on it goes wrong visibly.
__global__ void outside_mask_kernel(unsigned* out) {
  const unsigned lane = threadIdx.x;
  if (lane >= 8) return;
  out[lane] = __shfl_down_sync(0xffu, lane, 4);
}

TEST(EmuPartialWarp, SourceOutsideTheMaskReadsThePoisonPattern) {
  std::vector<unsigned> out(8);
  unsigned* o = out.data();
  ASSERT_EQ(launch("outside_mask", dim3(1), dim3(32), 0, [=] { outside_mask_kernel(o); }),
            cudaSuccess);
  for (unsigned lane = 0; lane < 8; ++lane) {
    EXPECT_EQ(out[lane], lane < 4 ? lane + 4 : 0xCDCDCDCDu) << lane;
  }
}

// Lanes 0-15 and 16-31 shuffle at the same time, each half with its own mask and operation.
__global__ void half_warp_kernel(int* out) {
  const int lane = threadIdx.x;
  const int v = lane * 10;
  if (lane < 16) {
    out[lane] = __shfl_sync(0x0000ffffu, v, 3, 16);
  } else {
    out[lane] = __shfl_up_sync(0xffff0000u, v, 2, 16);
  }
}

TEST(EmuLaneGroups, TwoHalfWarpsWithDifferentMasks) {
  std::vector<int> out(32);
  int* o = out.data();
  ASSERT_EQ(launch("half_warp", dim3(1), dim3(32), 0, [=] { half_warp_kernel(o); }), cudaSuccess);
  for (int lane = 0; lane < 16; ++lane) EXPECT_EQ(out[lane], 30) << lane;
  for (int lane = 16; lane < 32; ++lane) {
    EXPECT_EQ(out[lane], lane < 18 ? lane * 10 : (lane - 2) * 10) << lane;
  }
}

// While lanes 0-15 already wait in a full-warp __syncwarp, lanes 16-31 first synchronise among
// themselves: a different mask that overlaps the pending one is legitimate.
__global__ void nested_sync_kernel(int* out) {
  __shared__ int stage[32];
  const int lane = threadIdx.x;
  stage[lane] = lane;
  if (lane >= 16) {
    __syncwarp(0xffff0000u);
    const int partner = stage[47 - lane];
    __syncwarp(0xffff0000u);
    stage[lane] += partner;
  }
  __syncwarp();
  out[lane] = stage[31 - lane];
}

TEST(EmuLaneGroups, OverlappingMasksInSequence) {
  std::vector<int> out(32);
  int* o = out.data();
  ASSERT_EQ(launch("nested_sync", dim3(1), dim3(32), 0, [=] { nested_sync_kernel(o); }),
            cudaSuccess);
  for (int lane = 0; lane < 32; ++lane) {
    const int src = 31 - lane;
    EXPECT_EQ(out[lane], src >= 16 ? 47 : src) << lane;
  }
}

enum class Collective {
  kMatchAny,
  kMatchAll,
  kReduceAdd,
  kReduceMinInt,
  kReduceMaxUnsigned,
  kReduceXor
};

struct CollectiveCase {
  Collective kind;
  unsigned expected_lane0;
  unsigned expected_lane31;
};

__global__ void collective_kernel(Collective kind, unsigned* out) {
  const unsigned lane = threadIdx.x;
  unsigned r = 0;
  switch (kind) {
    case Collective::kMatchAny:
      r = __match_any_sync(kFull, lane % 4);
      break;
    case Collective::kMatchAll: {
      int pred = -1;
      r = __match_all_sync(kFull, lane < 40 ? 5.0 : 1.0, &pred) ^ (pred == 1 ? 0u : 1u);
      break;
    }
    case Collective::kReduceAdd:
      r = __reduce_add_sync(kFull, lane * 1000u);
      break;
    case Collective::kReduceMinInt:
      r = static_cast<unsigned>(__reduce_min_sync(kFull, static_cast<int>(lane) - 7));
      break;
    case Collective::kReduceMaxUnsigned:
      r = __reduce_max_sync(kFull, lane == 9 ? 0xfffffff0u : lane);
      break;
    case Collective::kReduceXor:
      r = __reduce_xor_sync(kFull, 1u << lane);
      break;
  }
  out[lane] = r;
}

std::ostream& operator<<(std::ostream& os, const CollectiveCase& c) {
  return os << "collective " << static_cast<int>(c.kind);
}

class EmuCollective : public ::testing::TestWithParam<CollectiveCase> {};

TEST_P(EmuCollective, FirstAndLastLane) {
  const CollectiveCase c = GetParam();
  std::vector<unsigned> out(32);
  unsigned* o = out.data();
  ASSERT_EQ(launch("collective", dim3(1), dim3(32), 0, [=] { collective_kernel(c.kind, o); }),
            cudaSuccess);
  EXPECT_EQ(out[0], c.expected_lane0);
  EXPECT_EQ(out[31], c.expected_lane31);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EmuCollective,
    ::testing::Values(CollectiveCase{Collective::kMatchAny, 0x11111111u, 0x88888888u},
                      CollectiveCase{Collective::kMatchAll, kFull, kFull},
                      CollectiveCase{Collective::kReduceAdd, 496000u, 496000u},
                      CollectiveCase{Collective::kReduceMinInt, static_cast<unsigned>(-7),
                                     static_cast<unsigned>(-7)},
                      CollectiveCase{Collective::kReduceMaxUnsigned, 0xfffffff0u, 0xfffffff0u},
                      CollectiveCase{Collective::kReduceXor, kFull, kFull}));

// ---------------------------------------------------------------------------------------------
// Shared memory.

std::mutex g_ids_mutex;
std::set<std::thread::id> g_ids;

__global__ void private_shared_kernel(int* mismatches) {
  __shared__ int slot[256];
  const int t = threadIdx.x, n = blockDim.x;
  if (t == 0) {
    std::lock_guard<std::mutex> lock(g_ids_mutex);
    g_ids.insert(std::this_thread::get_id());
  }
  for (int r = 0; r < 3; ++r) {
    slot[t] = static_cast<int>(blockIdx.x) * 1000 + t + r;
    __syncthreads();
    const int other = (t + 37) % n;
    if (slot[other] != static_cast<int>(blockIdx.x) * 1000 + other + r) atomicAdd(mismatches, 1);
    __syncthreads();
  }
}

TEST(EmuSharedMemory, StaticSharedIsPrivateToEachBlock) {
  g_ids.clear();
  int mismatches = 0;
  int* m = &mismatches;
  ASSERT_EQ(launch("private_shared", dim3(4096), dim3(256), 0, [=] { private_shared_kernel(m); }),
            cudaSuccess);
  EXPECT_EQ(mismatches, 0);
  EXPECT_GE(g_ids.size(), 2u) << "blocks should have run on several host threads";
}

__global__ void dynamic_shared_kernel(unsigned* poisoned, int* sums, unsigned* misaligned) {
  ZK_DYNAMIC_SHARED(int, buffer);
  const unsigned t = threadIdx.x, n = blockDim.x;
  unsigned char first_byte;
  std::memcpy(&first_byte, reinterpret_cast<unsigned char*>(buffer) + t * sizeof(int), 1);
  if (first_byte == 0xCD) atomicAdd(poisoned, 1u);
  if (reinterpret_cast<uintptr_t>(buffer) % 16 != 0) atomicAdd(misaligned, 1u);
  __syncthreads();  // everyone has looked at the poison before it is overwritten
  buffer[t] = static_cast<int>(t + blockIdx.x);
  __syncthreads();
  for (unsigned stride = n / 2; stride > 0; stride /= 2) {
    if (t < stride) buffer[t] += buffer[t + stride];
    __syncthreads();
  }
  if (t == 0) sums[blockIdx.x] = buffer[0];
}

TEST(EmuSharedMemory, DynamicSharedIsPoisonedAlignedAndUsable) {
  const unsigned n = 128, blocks = 64;
  unsigned poisoned = 0, misaligned = 0;
  std::vector<int> sums(blocks);
  unsigned* p = &poisoned;
  unsigned* ma = &misaligned;
  int* s = sums.data();
  ASSERT_EQ(launch("dynamic_shared", dim3(blocks), dim3(n), n * sizeof(int),
                   [=] { dynamic_shared_kernel(p, s, ma); }),
            cudaSuccess);
  EXPECT_EQ(poisoned, n * blocks);
  EXPECT_EQ(misaligned, 0u);
  for (unsigned b = 0; b < blocks; ++b)
    EXPECT_EQ(sums[b], static_cast<int>(n * (n - 1) / 2 + n * b));
  EXPECT_EQ(zk_emu::dynamic_shared_memory(), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Atomics.

struct AtomicTotals {
  int int_sum;
  unsigned long long ull_sum;
  float float_sum;
  double double_sum;
  int max_value;
  unsigned min_value;
  unsigned cas_count;
  unsigned or_bits;
  unsigned and_bits;
  int sub_total;
  unsigned inc_counter;
};

__global__ void atomics_kernel(AtomicTotals* a) {
  const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
  atomicAdd(&a->int_sum, static_cast<int>(i % 1000));
  atomicAdd(&a->ull_sum, 1ull << 33);
  atomicAdd(&a->float_sum, 0.5f);
  atomicAdd(&a->double_sum, 0.25);
  atomicMax(&a->max_value, static_cast<int>(i * 7 % 100003));
  atomicMin(&a->min_value, 5000000u - i);
  unsigned old = a->cas_count, seen;
  while ((seen = atomicCAS(&a->cas_count, old, old + 1)) != old) old = seen;
  atomicOr(&a->or_bits, 1u << (i % 32));
  atomicAnd(&a->and_bits, ~(1u << (i % 31)));
  atomicSub(&a->sub_total, 3);
  atomicInc(&a->inc_counter, 999u);
}

TEST(EmuAtomics, ManyBlocksOnSeveralWorkers) {
  const unsigned blocks = 2048, threads = 256, n = blocks * threads;
  AtomicTotals a{};
  a.min_value = ~0u;
  a.and_bits = ~0u;
  AtomicTotals* pa = &a;
  ASSERT_EQ(launch("atomics", dim3(blocks), dim3(threads), 0, [=] { atomics_kernel(pa); }),
            cudaSuccess);
  long long expected_int = 0;
  int expected_max = 0;
  for (unsigned i = 0; i < n; ++i) {
    expected_int += i % 1000;
    expected_max = std::max(expected_max, static_cast<int>(i * 7 % 100003));
  }
  EXPECT_EQ(a.int_sum, expected_int);
  EXPECT_EQ(a.ull_sum, static_cast<unsigned long long>(n) << 33);
  EXPECT_EQ(a.float_sum, n * 0.5f);
  EXPECT_EQ(a.double_sum, n * 0.25);
  EXPECT_EQ(a.max_value, expected_max);
  EXPECT_EQ(a.min_value, 5000000u - (n - 1));
  EXPECT_EQ(a.cas_count, n);
  EXPECT_EQ(a.or_bits, kFull);
  EXPECT_EQ(a.and_bits, 0x80000000u);
  EXPECT_EQ(a.sub_total, -3 * static_cast<int>(n));
  EXPECT_EQ(a.inc_counter, n % 1000);
}

TEST(EmuAtomics, ReturnOldValues) {
  int i = 5;
  unsigned u = 7;
  float f = 1.5f;
  unsigned long long ull = 3;
  EXPECT_EQ(atomicExch(&i, 9), 5);
  EXPECT_EQ(atomicExch(&f, 2.5f), 1.5f);
  EXPECT_EQ(atomicCAS(&u, 6u, 1u), 7u);  // no match: unchanged
  EXPECT_EQ(u, 7u);
  EXPECT_EQ(atomicCAS(&u, 7u, 1u), 7u);
  EXPECT_EQ(u, 1u);
  EXPECT_EQ(atomicCAS(&ull, 3ull, 4ull), 3ull);
  EXPECT_EQ(atomicDec(&u, 4u), 1u);
  EXPECT_EQ(atomicDec(&u, 4u), 0u);
  EXPECT_EQ(u, 4u);  // wraps to the limit from 0
  EXPECT_EQ(i, 9);
  EXPECT_EQ(f, 2.5f);
  EXPECT_EQ(ull, 4ull);
}

// ---------------------------------------------------------------------------------------------
// Launch configuration.

struct GeometryCase {
  dim3 grid, block;
  size_t shared;
  bool valid;
};

// A valid launch stops at once: its first thread traps, so even the largest grid is cheap.
__global__ void trap_first_kernel(int* ran) {
  atomicAdd(ran, 1);
  __trap();
}

std::ostream& operator<<(std::ostream& os, const GeometryCase& c) {
  return os << "grid " << c.grid << " block " << c.block << " shared " << c.shared;
}

class EmuGeometry : public ::testing::TestWithParam<GeometryCase> {};

TEST_P(EmuGeometry, ValidatedLikeTheHardware) {
  const GeometryCase c = GetParam();
  int ran = 0;
  int* r = &ran;
  const cudaError_t e =
      launch("geometry", c.grid, c.block, c.shared, [=] { trap_first_kernel(r); });
  if (c.valid) {
    EXPECT_EQ(e, cudaErrorLaunchFailure);
    EXPECT_GE(ran, 1);
  } else {
    EXPECT_EQ(e, cudaErrorInvalidConfiguration);
    EXPECT_EQ(ran, 0);
  }
  zk_emu::reset_misuse_reports();
}

INSTANTIATE_TEST_SUITE_P(
    Limits, EmuGeometry,
    ::testing::Values(
        GeometryCase{dim3(1), dim3(1), 0, true}, GeometryCase{dim3(0), dim3(1), 0, false},
        GeometryCase{dim3(1, 0), dim3(1), 0, false}, GeometryCase{dim3(1, 1, 0), dim3(1), 0, false},
        GeometryCase{dim3(0x7ffffffeu), dim3(1), 0, true},
        GeometryCase{dim3(0x7fffffffu), dim3(1), 0, true},
        GeometryCase{dim3(0x80000000u), dim3(1), 0, false},
        GeometryCase{dim3(1, 65534), dim3(1), 0, true},
        GeometryCase{dim3(1, 65535), dim3(1), 0, true},
        GeometryCase{dim3(1, 65536), dim3(1), 0, false},
        GeometryCase{dim3(1, 1, 65535), dim3(1), 0, true},
        GeometryCase{dim3(1, 1, 65536), dim3(1), 0, false},
        GeometryCase{dim3(1), dim3(0), 0, false}, GeometryCase{dim3(1), dim3(1, 0), 0, false},
        GeometryCase{dim3(1), dim3(1, 1, 0), 0, false}, GeometryCase{dim3(1), dim3(1023), 0, true},
        GeometryCase{dim3(1), dim3(1024), 0, true}, GeometryCase{dim3(1), dim3(1025), 0, false},
        GeometryCase{dim3(1), dim3(1, 1024), 0, true},
        GeometryCase{dim3(1), dim3(1, 1025), 0, false},
        GeometryCase{dim3(1), dim3(1, 1, 63), 0, true},
        GeometryCase{dim3(1), dim3(1, 1, 64), 0, true},
        GeometryCase{dim3(1), dim3(1, 1, 65), 0, false},
        GeometryCase{dim3(1), dim3(32, 32), 0, true}, GeometryCase{dim3(1), dim3(33, 32), 0, false},
        GeometryCase{dim3(1), dim3(16, 16, 4), 0, true},
        GeometryCase{dim3(1), dim3(16, 16, 5), 0, false},
        GeometryCase{dim3(1), dim3(1), 49151, true}, GeometryCase{dim3(1), dim3(1), 49152, true},
        GeometryCase{dim3(1), dim3(1), 49153, false}));

// ---------------------------------------------------------------------------------------------
// Misuse reports.

enum class Misuse {
  kExitedBeforeCall,
  kExitedWhileWaiting,
  kNonexistentLane,
  kMaskWithoutSelf,
  kDisagreeingMasks,
  kDisagreeingOperations,
  kWidthNotPowerOfTwo,
  kWidthZero,
  kWidthAboveWarp,
  kDifferentBarriers,
  kDeadlock,
  kTrap,
};

// Only block 2 misbehaves, so that the report must name the right block.
__global__ void misuse_kernel(Misuse kind, int* sink) {
  if (blockIdx.x != 2) return;
  const unsigned lane = threadIdx.x % 32;
  int v = static_cast<int>(threadIdx.x);
  switch (kind) {
    case Misuse::kExitedBeforeCall:
      if (lane == 0) return;
      v = __shfl_sync(kFull, v, 1);
      break;
    case Misuse::kExitedWhileWaiting:
      if (lane == 31) return;
      v = __shfl_sync(kFull, v, 1);
      break;
    case Misuse::kNonexistentLane:
      __syncwarp(kFull);  // launched with 40 threads: warp 1 has 8 lanes
      break;
    case Misuse::kMaskWithoutSelf:
      if (lane == 0) __syncwarp(0x2u);
      break;
    case Misuse::kDisagreeingMasks:
      if (lane < 3) v = __shfl_sync(lane == 0 ? 0x3u : 0x7u, v, 0);
      break;
    case Misuse::kDisagreeingOperations:
      if (lane == 0) {
        __syncwarp(0x3u);
      } else if (lane == 1) {
        v = static_cast<int>(__ballot_sync(0x3u, 1));
      }
      break;
    case Misuse::kWidthNotPowerOfTwo:
      v = __shfl_xor_sync(kFull, v, 1, 12);
      break;
    case Misuse::kWidthZero:
      v = __shfl_down_sync(kFull, v, 1, 0);
      break;
    case Misuse::kWidthAboveWarp:
      v = __shfl_up_sync(kFull, v, 1, 64);
      break;
    case Misuse::kDifferentBarriers:
      if (threadIdx.x < 16) {
        __syncthreads();
      } else {
        __syncthreads();
      }
      break;
    case Misuse::kDeadlock:
      if (threadIdx.x == 0) {
        v = __shfl_sync(0x3u, v, 1);
      } else {
        __syncthreads();
      }
      break;
    case Misuse::kTrap:
      if (threadIdx.x == 5) __trap();
      break;
  }
  sink[threadIdx.x] = v;
}

struct MisuseCase {
  const char* kernel;
  Misuse kind;
  unsigned threads;
  const char* expected;
};

std::ostream& operator<<(std::ostream& os, const MisuseCase& c) { return os << c.kernel; }

class EmuMisuse : public ::testing::TestWithParam<MisuseCase> {};

TEST_P(EmuMisuse, ReportedNotHung) {
  const MisuseCase c = GetParam();
  zk_emu::reset_misuse_reports();
  std::vector<int> sink(64);
  int* s = sink.data();
  const Misuse kind = c.kind;
  EXPECT_EQ(launch(c.kernel, dim3(4), dim3(c.threads), 0, [=] { misuse_kernel(kind, s); }),
            cudaErrorLaunchFailure);
  EXPECT_EQ(zk_emu::misuse_count(), 1);
  const std::string report = zk_emu::last_misuse_report();
  EXPECT_NE(report.find(std::string("kernel '") + c.kernel + "'"), std::string::npos) << report;
  EXPECT_NE(report.find("block (2,0,0)"), std::string::npos) << report;
  EXPECT_NE(report.find(c.expected), std::string::npos) << report;
  EXPECT_EQ(report.find('\n'), std::string::npos) << report;
  zk_emu::reset_misuse_reports();
  EXPECT_EQ(zk_emu::misuse_count(), 0);
  EXPECT_STREQ(zk_emu::last_misuse_report(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EmuMisuse,
    ::testing::Values(
        MisuseCase{"exited_before", Misuse::kExitedBeforeCall, 32,
                   "lane 1 of warp 0 (thread (1,0,0)): mask 0xffffffff names lanes {0} that "
                   "have exited"},
        MisuseCase{"exited_while_waiting", Misuse::kExitedWhileWaiting, 32,
                   "lane 31 of warp 0 (thread (31,0,0)) exited while lanes {0-30} wait for it in "
                   "__shfl_sync"},
        MisuseCase{"nonexistent", Misuse::kNonexistentLane, 40,
                   "lane 0 of warp 1 (thread (32,0,0)): mask 0xffffffff names lanes {8-31} that "
                   "do not exist"},
        MisuseCase{"without_self", Misuse::kMaskWithoutSelf, 32,
                   "mask 0x00000002 does not include the calling lane"},
        MisuseCase{"disagreeing_masks", Misuse::kDisagreeingMasks, 32,
                   "lanes disagree: lane 1 of warp 0 (thread (1,0,0)) calls __shfl_sync with mask "
                   "0x00000007 while lanes {0} wait for it in __shfl_sync with mask 0x00000003"},
        MisuseCase{"disagreeing_ops", Misuse::kDisagreeingOperations, 32,
                   "calls __ballot_sync with mask 0x00000003 while lanes {0} wait for it in "
                   "__syncwarp"},
        MisuseCase{"width_12", Misuse::kWidthNotPowerOfTwo, 32,
                   "__shfl_xor_sync by lane 0 of warp 0 (thread (0,0,0)): width 12 is not a power "
                   "of two"},
        MisuseCase{"width_0", Misuse::kWidthZero, 32, "width 0 is not a power of two"},
        MisuseCase{"width_64", Misuse::kWidthAboveWarp, 32, "width 64 is not a power of two"},
        MisuseCase{"split_barrier", Misuse::kDifferentBarriers, 32,
                   "threads are at different barriers: thread (16,0,0) reached __syncthreads"},
        MisuseCase{"deadlock", Misuse::kDeadlock, 2,
                   "deadlock, no thread can continue: 1 thread(s) wait at __syncthreads"},
        MisuseCase{"trap", Misuse::kTrap, 32, "__trap() at"}));

TEST(EmuMisuseRecovery, GridStopsAndLaterLaunchesRun) {
  zk_emu::reset_misuse_reports();
  int blocks_run = 0;
  int* br = &blocks_run;
  std::vector<int> sink(32);
  int* s = sink.data();
  const unsigned grid = 20000;
  EXPECT_EQ(launch("stops_early", dim3(grid), dim3(32), 0,
                   [=] {
                     if (threadIdx.x == 0) atomicAdd(br, 1);
                     misuse_kernel(Misuse::kDeadlock, s);
                   }),
            cudaErrorLaunchFailure);
  EXPECT_LT(blocks_run, static_cast<int>(grid));
  // Abandoned fibers must not disturb the next launch on the same workers.
  std::vector<unsigned> seen(6 * kRounds * 256);
  unsigned* sn = seen.data();
  ASSERT_EQ(launch("after_misuse", dim3(6), dim3(256), 0, [=] { barrier_rounds_kernel(sn); }),
            cudaSuccess);
  EXPECT_EQ(seen[kRounds * 256 + 255], 0u);  // block 1, round 0: thread 255 reads thread 0
  EXPECT_EQ(seen[256 + 255], 10000u);        // block 0, round 1
  EXPECT_EQ(zk_emu::misuse_count(), 1);
  zk_emu::reset_misuse_reports();
}

TEST(EmuExceptions, EscapingExceptionStopsLaunchAndIsRethrown) {
  EXPECT_THROW(launch("throws", dim3(64), dim3(64), 0,
                      [] {
                        __syncthreads();
                        if (blockIdx.x == 3 && threadIdx.x == 5) throw std::runtime_error("boom");
                      }),
               std::runtime_error);
  int ok = 0;
  int* p = &ok;
  EXPECT_EQ(launch("after_throw", dim3(2), dim3(64), 0, [=] { atomicAdd(p, 1); }), cudaSuccess);
  EXPECT_EQ(ok, 128);
}

// gtest death tests fork: the child has no pool workers and must still run multi-block grids.
TEST(EmuForkedChild, LaunchesRunWithoutThePool) {
  int warm = 0;
  int* pw = &warm;
  ASSERT_EQ(launch("warm_pool", dim3(8), dim3(32), 0, [=] { atomicAdd(pw, 1); }), cudaSuccess);
  ASSERT_EQ(warm, 256);
  EXPECT_EXIT(
      {
        alarm(10);  // a launch waiting for workers that do not exist fails instead of hanging
        int n = 0;
        int* pn = &n;
        const cudaError_t e = launch("in_child", dim3(64), dim3(32), 0, [=] { atomicAdd(pn, 1); });
        std::exit(e == cudaSuccess && n == 64 * 32 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------------------------------------
// Conversion and arithmetic intrinsics (plain functions: no launch needed).

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

struct F2ICase {
  float x;
  int rn, rz, rd, ru;
};

std::ostream& operator<<(std::ostream& os, const F2ICase& c) { return os << c.x; }

class EmuFloatToInt : public ::testing::TestWithParam<F2ICase> {};

TEST_P(EmuFloatToInt, AllRoundingModes) {
  const F2ICase c = GetParam();
  EXPECT_EQ(__float2int_rn(c.x), c.rn) << c.x;
  EXPECT_EQ(__float2int_rz(c.x), c.rz) << c.x;
  EXPECT_EQ(__float2int_rd(c.x), c.rd) << c.x;
  EXPECT_EQ(__float2int_ru(c.x), c.ru) << c.x;
}

constexpr int kIntMax = std::numeric_limits<int>::max();
constexpr int kIntMin = std::numeric_limits<int>::min();

INSTANTIATE_TEST_SUITE_P(
    Table, EmuFloatToInt,
    ::testing::Values(F2ICase{0.5f, 0, 0, 0, 1}, F2ICase{1.5f, 2, 1, 1, 2},
                      F2ICase{2.5f, 2, 2, 2, 3}, F2ICase{-0.5f, 0, 0, -1, 0},
                      F2ICase{-1.5f, -2, -1, -2, -1}, F2ICase{-2.5f, -2, -2, -3, -2},
                      F2ICase{0.49999997f, 0, 0, 0, 1}, F2ICase{-0.0f, 0, 0, 0, 0},
                      F2ICase{4194305.5f, 4194306, 4194305, 4194305, 4194306},
                      F2ICase{2147483520.0f, 2147483520, 2147483520, 2147483520, 2147483520},
                      F2ICase{2147483648.0f, kIntMax, kIntMax, kIntMax, kIntMax},
                      F2ICase{-2147483648.0f, kIntMin, kIntMin, kIntMin, kIntMin},
                      F2ICase{-2147483904.0f, kIntMin, kIntMin, kIntMin, kIntMin},
                      F2ICase{1e20f, kIntMax, kIntMax, kIntMax, kIntMax},
                      F2ICase{-1e20f, kIntMin, kIntMin, kIntMin, kIntMin},
                      F2ICase{kInf, kIntMax, kIntMax, kIntMax, kIntMax},
                      F2ICase{-kInf, kIntMin, kIntMin, kIntMin, kIntMin},
                      F2ICase{kNaN, 0, 0, 0, 0}));

TEST(EmuConversions, OtherFloatToIntegerForms) {
  constexpr unsigned kUintMax = std::numeric_limits<unsigned>::max();
  constexpr long long kLlMax = std::numeric_limits<long long>::max();
  constexpr long long kLlMin = std::numeric_limits<long long>::min();
  const struct {
    float x;
    unsigned u_rn, u_rz;
    long long ll_rz;
  } cases[] = {
      {2.5f, 2u, 2u, 2},
      {3.5f, 4u, 3u, 3},
      {-1.0f, 0u, 0u, -1},
      {-0.7f, 0u, 0u, 0},
      {4294967040.0f, 4294967040u, 4294967040u, 4294967040ll},
      {4294967296.0f, kUintMax, kUintMax, 4294967296ll},
      {9223372036854775808.0f, kUintMax, kUintMax, kLlMax},
      {-9223372036854775808.0f, 0u, 0u, kLlMin},
      {-1e30f, 0u, 0u, kLlMin},
      {kNaN, 0u, 0u, 0},
      {kInf, kUintMax, kUintMax, kLlMax},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(__float2uint_rn(c.x), c.u_rn) << c.x;
    EXPECT_EQ(__float2uint_rz(c.x), c.u_rz) << c.x;
    EXPECT_EQ(__float2ll_rz(c.x), c.ll_rz) << c.x;
  }
}

TEST(EmuConversions, IntegerToFloat) {
  const struct {
    long long x;
    float rn;
  } signed_cases[] = {
      {16777216, 16777216.0f},
      {16777217, 16777216.0f},  // tie: to even
      {16777219, 16777220.0f},
      {16777221, 16777220.0f},  // tie: to even
      {-16777217, -16777216.0f},
      {2147483647, 2147483648.0f},
      {-2147483648LL, -2147483648.0f},
      {0, 0.0f},
      {-1, -1.0f},
  };
  for (const auto& c : signed_cases) {
    EXPECT_EQ(__int2float_rn(static_cast<int>(c.x)), c.rn) << c.x;
    EXPECT_EQ(__ll2float_rn(c.x), c.rn) << c.x;
  }
  EXPECT_EQ(__int2float_rz(16777219), 16777218.0f);
  EXPECT_EQ(__int2float_rz(-16777219), -16777218.0f);
  EXPECT_EQ(__uint2float_rn(4294967295u), 4294967296.0f);
  EXPECT_EQ(__uint2float_rn(16777217u), 16777216.0f);
  EXPECT_EQ(__ll2float_rn((1LL << 53) + 1), 9007199254740992.0f);
  EXPECT_EQ(__ll2float_rn(std::numeric_limits<long long>::max()), 9223372036854775808.0f);
  EXPECT_EQ(__ll2float_rn((1LL << 40) + (1LL << 16) + 1), 0x1.000002p40f);  // above the tie
}

struct BinaryCase {
  float a, b, expected;
};

std::ostream& operator<<(std::ostream& os, const BinaryCase& c) {
  return os << std::hexfloat << c.a << " + " << c.b;
}

class EmuAddRz : public ::testing::TestWithParam<BinaryCase> {};

TEST_P(EmuAddRz, TruncatesExactSum) {
  const BinaryCase c = GetParam();
  const float r = __fadd_rz(c.a, c.b);
  if (std::isnan(c.expected)) {
    EXPECT_TRUE(std::isnan(r));
  } else {
    EXPECT_EQ(r, c.expected) << std::hexfloat << c.a << " + " << c.b;
    EXPECT_EQ(std::signbit(r), std::signbit(c.expected));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, EmuAddRz,
    ::testing::Values(BinaryCase{1.0f, 0x1.8p-24f, 1.0f},           // nearest would round up
                      BinaryCase{-1.0f, -0x1.8p-24f, -1.0f},        // symmetric
                      BinaryCase{1.0f, -0x1p-25f, 0x1.fffffep-1f},  // nearest: tie back to 1
                      BinaryCase{1.0f, 0x1p-23f, 0x1.000002p0f},    // exact
                      BinaryCase{0x1p24f, 1.0f, 0x1p24f}, BinaryCase{0x1p24f, 3.0f, 0x1.000002p24f},
                      BinaryCase{FLT_MAX, FLT_MAX, FLT_MAX},
                      BinaryCase{-FLT_MAX, -FLT_MAX, -FLT_MAX}, BinaryCase{1.0f, -1.0f, 0.0f},
                      BinaryCase{0x1p-149f, 0x1p-149f, 0x1p-148f}, BinaryCase{kInf, 1.0f, kInf},
                      BinaryCase{kInf, -kInf, kNaN}));

TEST(EmuArithmetic, OtherRoundedOperations) {
  EXPECT_EQ(__fsub_rz(1.0f, 0x1p-25f), 0x1.fffffep-1f);
  EXPECT_EQ(__fmul_rz(3.0f, 0x1.000002p0f), 0x1.800002p1f);  // nearest gives 0x1.800004p1
  EXPECT_EQ(__fmul_rn(3.0f, 0x1.000002p0f), 0x1.800004p1f);
  EXPECT_EQ(__fmul_rz(-3.0f, 0x1.000002p0f), -0x1.800002p1f);
  EXPECT_EQ(__fmul_rz(FLT_MAX, 2.0f), FLT_MAX);
  EXPECT_EQ(__fmul_rz(0x1p-149f, 1.5f), 0x1p-149f);
  EXPECT_EQ(__fadd_rn(1.0f, 0x1.8p-24f), 0x1.000002p0f);
  EXPECT_EQ(__fmaf_rn(0x1.001p0f, 0x1.001p0f, -1.0f), 0x1.0008p-11f);  // one rounding, not two
  EXPECT_EQ(__fdiv_rn(1.0f, 3.0f), 1.0f / 3.0f);
  EXPECT_EQ(__frcp_rn(4.0f), 0.25f);
  EXPECT_EQ(__fsqrt_rn(2.0f), 0x1.6a09e6p0f);
  EXPECT_EQ(rsqrtf(4.0f), 0.5f);
  EXPECT_EQ(__fdividef(1.0f, 0x1p127f), 0.0f);
  EXPECT_TRUE(std::isnan(__fdividef(kInf, 0x1p127f)));
  EXPECT_EQ(__fdividef(6.0f, 3.0f), 2.0f);
  EXPECT_EQ(__saturatef(kNaN), 0.0f);
  EXPECT_EQ(__saturatef(-1.0f), 0.0f);
  EXPECT_EQ(__saturatef(2.0f), 1.0f);
  EXPECT_EQ(__saturatef(0.25f), 0.25f);
  EXPECT_EQ(min(3.0f, kNaN), 3.0f);
  EXPECT_EQ(max(-1, 4u), 0xffffffffu);  // mixed signedness compares as unsigned
  EXPECT_EQ(min(-1, -4), -4);
}

int pack16(int lo, int hi) {
  return static_cast<int>((static_cast<unsigned>(lo) & 0xffffu) |
                          (static_cast<unsigned>(hi) << 16));
}
int pack8(int b0, int b1, int b2, int b3) {
  return static_cast<int>(
      (static_cast<unsigned>(b0) & 0xffu) | ((static_cast<unsigned>(b1) & 0xffu) << 8) |
      ((static_cast<unsigned>(b2) & 0xffu) << 16) | (static_cast<unsigned>(b3) << 24));
}

TEST(EmuIntegerIntrinsics, DotProducts) {
  const struct {
    int a, b, c, lo, hi;
  } cases[] = {
      {pack16(-3, 1000), pack8(-128, 127, 5, -7), 10, 10 + 384 + 127000, 10 - 15 - 7000},
      {pack16(32767, 32767), pack8(127, 127, -128, -128), kIntMax, -2139160831, 2139095295},
      {pack16(32767, 32767), pack8(127, 127, -128, -128), kIntMin, -2139160830, 2139095296},
      {pack16(-32768, -32768), pack8(-128, -128, 1, 1), 0, 8388608, -65536},
      {0, pack8(1, 2, 3, 4), -5, -5, -5},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(__dp2a_lo(c.a, c.b, c.c), c.lo);
    EXPECT_EQ(__dp2a_hi(c.a, c.b, c.c), c.hi);
  }
  EXPECT_EQ(__dp2a_lo(0x0002ffffu, 0x00000301u, 7u), 7u + 65535u * 1u + 2u * 3u);
  EXPECT_EQ(__dp2a_hi(0x0002ffffu, 0xff030000u, 7u), 7u + 65535u * 3u + 2u * 255u);
  EXPECT_EQ(__dp4a(pack8(1, -2, 3, -4), pack8(5, 6, -7, 8), 100), 100 + 5 - 12 - 21 - 32);
}

TEST(EmuIntegerIntrinsics, SaturatingHalfwordAdd) {
  const struct {
    int a_lo, a_hi, b_lo, b_hi, r_lo, r_hi;
  } cases[] = {
      {30000, -30000, 10000, -10000, 32767, -32768},
      {32767, -32768, 1, -1, 32767, -32768},
      {-5, 7, 3, -9, -2, -2},
      {-32768, 32767, 32767, -32768, -1, -1},
      {100, 0, -200, 0, -100, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(__vaddss2(static_cast<unsigned>(pack16(c.a_lo, c.a_hi)),
                        static_cast<unsigned>(pack16(c.b_lo, c.b_hi))),
              static_cast<unsigned>(pack16(c.r_lo, c.r_hi)));
  }
}

TEST(EmuIntegerIntrinsics, BitsAndMultiplies) {
  EXPECT_EQ(__byte_perm(0x33221100u, 0x77665544u, 0x5140u), 0x55114400u);
  EXPECT_EQ(__byte_perm(0x33221100u, 0x77665544u, 0xffffcdefu), 0x44556677u);  // 3 bits used
  EXPECT_EQ(__popc(0xf0f0f0f1u), 17);
  EXPECT_EQ(__clz(0), 32);
  EXPECT_EQ(__clz(1), 31);
  EXPECT_EQ(__clz(-1), 0);
  EXPECT_EQ(__ffs(0), 0);
  EXPECT_EQ(__ffs(static_cast<int>(0x80000000u)), 32);
  EXPECT_EQ(__ffs(12), 3);
  EXPECT_EQ(__brev(1u), 0x80000000u);
  EXPECT_EQ(__brev(0x12345678u), 0x1e6a2c48u);
  EXPECT_EQ(__mul24(-1, 5), -5);
  EXPECT_EQ(__mul24(0x00800000, 2), -16777216);    // bit 23 is the sign
  EXPECT_EQ(__mul24(0x7f000003, 0x01000005), 15);  // bits above 23 are ignored
  EXPECT_EQ(__umulhi(0xffffffffu, 0xffffffffu), 0xfffffffeu);
  EXPECT_EQ(__mulhi(-1, 1), -1);
  EXPECT_EQ(__mulhi(kIntMin, kIntMin), 1 << 30);
  EXPECT_EQ(__umul64hi(~0ull, ~0ull), 0xfffffffffffffffeull);
  EXPECT_EQ(__mul64hi(std::numeric_limits<long long>::min(), 2), -1);
  EXPECT_EQ(__funnelshift_l(0x80000000u, 0x1u, 1), 0x3u);
  EXPECT_EQ(__funnelshift_lc(0x80000000u, 0x1u, 40), 0x80000000u);
  EXPECT_EQ(__funnelshift_r(0x1u, 0x3u, 1), 0x80000000u);
  EXPECT_EQ(__float_as_uint(1.0f), 0x3f800000u);
  EXPECT_EQ(__int_as_float(0x40490fdb), 3.14159274f);
  EXPECT_EQ(__double_as_longlong(1.0), 0x3ff0000000000000LL);
}

// ---------------------------------------------------------------------------------------------
// Throughput.

__global__ void saxpy_kernel(int n, float a, const float* x, float* y) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i < n) y[i] = a * x[i] + y[i];
}

TEST(EmuTiming, SixteenMillionThreads) {
  const int n = 1 << 24;
  std::vector<float> x(n), y(n);
  for (int i = 0; i < n; ++i) {
    x[i] = static_cast<float>(i % 1024);
    y[i] = 1.0f;
  }
  const float* px = x.data();
  float* py = y.data();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(launch("saxpy", dim3(n / 256), dim3(256), 0, [=] { saxpy_kernel(n, 2.0f, px, py); }),
            cudaSuccess);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("saxpy, 65536 blocks of 256 threads: %.3f s\n", seconds);
  for (int i = 0; i < n; i += 4099) ASSERT_EQ(y[i], 2.0f * (i % 1024) + 1.0f) << i;
  EXPECT_LT(seconds, 10.0);
}

}  // namespace
