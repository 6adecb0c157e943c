// The device side of CUDA C++ for the host build (ZK_EMU): qualifiers, built-in variables and
// types, warp and block synchronisation, atomics and intrinsics. Kernels compiled with g++
// against this header run under zk_emu::launch_kernel (emu/kernel_exec.h), which gives every
// CUDA thread its own fiber.
//
// Shared memory: a worker host thread runs one block at a time from its first thread to its
// last, so `__shared__` is `static thread_local`: every block a worker runs sees the same
// storage, private to that block while it runs and, like the hardware, not cleared between
// blocks. Dynamic shared memory is a per-worker buffer, poisoned with 0xCD before each block.
#pragma once

// The standard headers below must be parsed before the qualifier macros exist: libstdc++'s
// shared_ptr uses __attribute__((__noinline__)), which the __noinline__ macro would break.
#include <math.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>

#define __global__
#define __device__
#define __host__
#define __constant__
#define __managed__
#define __forceinline__ inline __attribute__((always_inline))
#define __noinline__ __attribute__((noinline))
#define __restrict__ __restrict
#define __align__(n) __attribute__((aligned(n)))
#define __launch_bounds__(...)
#define __maxnreg__(count)
#define __shared__ static thread_local

// ---------------------------------------------------------------------------------------------
// Vector types with the alignment CUDA gives them.

#define ZK_EMU_VECTOR2(name, T, align) \
  struct alignas(align) name {         \
    T x, y;                            \
  };                                   \
  inline constexpr name make_##name(T x, T y) { return name{x, y}; }
#define ZK_EMU_VECTOR3(name, T, align) \
  struct alignas(align) name {         \
    T x, y, z;                         \
  };                                   \
  inline constexpr name make_##name(T x, T y, T z) { return name{x, y, z}; }
#define ZK_EMU_VECTOR4(name, T, align) \
  struct alignas(align) name {         \
    T x, y, z, w;                      \
  };                                   \
  inline constexpr name make_##name(T x, T y, T z, T w) { return name{x, y, z, w}; }

ZK_EMU_VECTOR2(char2, signed char, 2)
ZK_EMU_VECTOR4(char4, signed char, 4)
ZK_EMU_VECTOR2(uchar2, unsigned char, 2)
ZK_EMU_VECTOR4(uchar4, unsigned char, 4)
ZK_EMU_VECTOR2(short2, short, 4)
ZK_EMU_VECTOR4(short4, short, 8)
ZK_EMU_VECTOR2(ushort2, unsigned short, 4)
ZK_EMU_VECTOR4(ushort4, unsigned short, 8)
ZK_EMU_VECTOR2(int2, int, 8)
ZK_EMU_VECTOR3(int3, int, 4)
ZK_EMU_VECTOR4(int4, int, 16)
ZK_EMU_VECTOR2(uint2, unsigned int, 8)
ZK_EMU_VECTOR3(uint3, unsigned int, 4)
ZK_EMU_VECTOR4(uint4, unsigned int, 16)
ZK_EMU_VECTOR2(float2, float, 8)
ZK_EMU_VECTOR3(float3, float, 4)
ZK_EMU_VECTOR4(float4, float, 16)
ZK_EMU_VECTOR2(double2, double, 16)
ZK_EMU_VECTOR2(longlong2, long long, 16)
ZK_EMU_VECTOR2(ulonglong2, unsigned long long, 16)

#undef ZK_EMU_VECTOR2
#undef ZK_EMU_VECTOR3
#undef ZK_EMU_VECTOR4

struct dim3 {
  unsigned int x, y, z;
  constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1)
      : x(vx), y(vy), z(vz) {}
  constexpr dim3(uint3 v) : x(v.x), y(v.y), z(v.z) {}
  constexpr operator uint3() const { return uint3{x, y, z}; }
};

// ---------------------------------------------------------------------------------------------
// Execution context. The executor (emu/kernel_exec.cpp) points tls_thread at the running
// fiber's coordinates on every switch.

namespace zk_emu {

// The running block's dynamic shared memory; null outside a kernel.
void* dynamic_shared_memory();

namespace detail {

struct BlockCoords {
  uint3 block_idx;
  dim3 block_dim;
  dim3 grid_dim;
  void* dynamic_shared;
};

struct ThreadCoords {
  uint3 thread_idx;
  const BlockCoords* block;
};

// The emulated library is loaded with dlopen by engines, so its thread-locals (this and
// every kernel's __shared__ arrays) must stay in dynamic TLS; the build uses TLS
// descriptors to keep the access cheap.
inline thread_local ThreadCoords* tls_thread = nullptr;

inline const uint3& thread_idx() { return tls_thread->thread_idx; }
inline const uint3& block_idx() { return tls_thread->block->block_idx; }
inline const dim3& block_dim() { return tls_thread->block->block_dim; }
inline const dim3& grid_dim() { return tls_thread->block->grid_dim; }

enum class WarpOp : int {
  kShflIdx,
  kShflUp,
  kShflDown,
  kShflXor,
  kSyncWarp,
  kBallot,
  kAny,
  kAll,
  kMatchAny,
  kMatchAll,
  kReduceAdd,
  kReduceMinSigned,
  kReduceMaxSigned,
  kReduceMinUnsigned,
  kReduceMaxUnsigned,
  kReduceAnd,
  kReduceOr,
  kReduceXor,
};

// Rendezvous of the lanes named in mask; every lane passes its own value, operand and width.
uint64_t warp_op(WarpOp op, unsigned mask, uint64_t value, int64_t operand, int width);
unsigned active_mask();

enum class BarrierKind : int { kPlain, kCount, kAnd, kOr };
// The call site identifies the barrier so that a block split over two of them is reported.
int sync_block(const char* file, int line, BarrierKind kind, int predicate);

[[noreturn]] void trap(const char* file, int line);

template <typename T>
inline uint64_t to_bits(T v) {
  static_assert(sizeof(T) == 4 || sizeof(T) == 8, "warp exchange carries 4 or 8 bytes");
  if constexpr (sizeof(T) == 4) {
    uint32_t b;
    std::memcpy(&b, &v, 4);
    return b;
  } else {
    uint64_t b;
    std::memcpy(&b, &v, 8);
    return b;
  }
}

template <typename T>
inline T from_bits(uint64_t b) {
  T v;
  if constexpr (sizeof(T) == 4) {
    const uint32_t lo = static_cast<uint32_t>(b);
    std::memcpy(&v, &lo, 4);
  } else {
    std::memcpy(&v, &b, 8);
  }
  return v;
}

}  // namespace detail
}  // namespace zk_emu

#define ZK_DYNAMIC_SHARED(type, name) \
  type* name = reinterpret_cast<type*>(::zk_emu::dynamic_shared_memory())

#define threadIdx (::zk_emu::detail::thread_idx())
#define blockIdx (::zk_emu::detail::block_idx())
#define blockDim (::zk_emu::detail::block_dim())
#define gridDim (::zk_emu::detail::grid_dim())
inline constexpr int warpSize = 32;

// ---------------------------------------------------------------------------------------------
// Block and warp synchronisation.

#define __syncthreads() \
  static_cast<void>(    \
      ::zk_emu::detail::sync_block(__FILE__, __LINE__, ::zk_emu::detail::BarrierKind::kPlain, 1))
#define __syncthreads_count(pred) \
  ::zk_emu::detail::sync_block(__FILE__, __LINE__, ::zk_emu::detail::BarrierKind::kCount, (pred))
#define __syncthreads_and(pred) \
  ::zk_emu::detail::sync_block(__FILE__, __LINE__, ::zk_emu::detail::BarrierKind::kAnd, (pred))
#define __syncthreads_or(pred) \
  ::zk_emu::detail::sync_block(__FILE__, __LINE__, ::zk_emu::detail::BarrierKind::kOr, (pred))
#define __trap() ::zk_emu::detail::trap(__FILE__, __LINE__)

inline void __syncwarp(unsigned mask = 0xffffffffu) {
  ::zk_emu::detail::warp_op(::zk_emu::detail::WarpOp::kSyncWarp, mask, 0, 0, 32);
}

// Lanes of the warp that have not exited: what a converged warp reports.
inline unsigned __activemask() { return ::zk_emu::detail::active_mask(); }

inline void __threadfence() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
inline void __threadfence_block() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
inline void __threadfence_system() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }

#define ZK_EMU_SHUFFLES(T)                                                                         \
  inline T __shfl_sync(unsigned mask, T var, int src_lane, int width = warpSize) {                 \
    return ::zk_emu::detail::from_bits<T>(                                                         \
        ::zk_emu::detail::warp_op(::zk_emu::detail::WarpOp::kShflIdx, mask,                        \
                                  ::zk_emu::detail::to_bits(var), src_lane, width));               \
  }                                                                                                \
  inline T __shfl_up_sync(unsigned mask, T var, unsigned int delta, int width = warpSize) {        \
    return ::zk_emu::detail::from_bits<T>(::zk_emu::detail::warp_op(                               \
        ::zk_emu::detail::WarpOp::kShflUp, mask, ::zk_emu::detail::to_bits(var), delta, width));   \
  }                                                                                                \
  inline T __shfl_down_sync(unsigned mask, T var, unsigned int delta, int width = warpSize) {      \
    return ::zk_emu::detail::from_bits<T>(::zk_emu::detail::warp_op(                               \
        ::zk_emu::detail::WarpOp::kShflDown, mask, ::zk_emu::detail::to_bits(var), delta, width)); \
  }                                                                                                \
  inline T __shfl_xor_sync(unsigned mask, T var, int lane_mask, int width = warpSize) {            \
    return ::zk_emu::detail::from_bits<T>(                                                         \
        ::zk_emu::detail::warp_op(::zk_emu::detail::WarpOp::kShflXor, mask,                        \
                                  ::zk_emu::detail::to_bits(var), lane_mask, width));              \
  }                                                                                                \
  inline unsigned __match_any_sync(unsigned mask, T value) {                                       \
    return static_cast<unsigned>(::zk_emu::detail::warp_op(::zk_emu::detail::WarpOp::kMatchAny,    \
                                                           mask, ::zk_emu::detail::to_bits(value), \
                                                           0, warpSize));                          \
  }                                                                                                \
  inline unsigned __match_all_sync(unsigned mask, T value, int* pred) {                            \
    const unsigned r = static_cast<unsigned>(                                                      \
        ::zk_emu::detail::warp_op(::zk_emu::detail::WarpOp::kMatchAll, mask,                       \
                                  ::zk_emu::detail::to_bits(value), 0, warpSize));                 \
    *pred = r != 0;                                                                                \
    return r;                                                                                      \
  }

ZK_EMU_SHUFFLES(int)
ZK_EMU_SHUFFLES(unsigned int)
ZK_EMU_SHUFFLES(long)
ZK_EMU_SHUFFLES(unsigned long)
ZK_EMU_SHUFFLES(long long)
ZK_EMU_SHUFFLES(unsigned long long)
ZK_EMU_SHUFFLES(float)
ZK_EMU_SHUFFLES(double)
#undef ZK_EMU_SHUFFLES

inline unsigned __ballot_sync(unsigned mask, int predicate) {
  return static_cast<unsigned>(::zk_emu::detail::warp_op(::zk_emu::detail::WarpOp::kBallot, mask,
                                                         predicate != 0, 0, warpSize));
}
inline int __any_sync(unsigned mask, int predicate) {
  return static_cast<int>(
      ::zk_emu::detail::warp_op(::zk_emu::detail::WarpOp::kAny, mask, predicate != 0, 0, warpSize));
}
inline int __all_sync(unsigned mask, int predicate) {
  return static_cast<int>(
      ::zk_emu::detail::warp_op(::zk_emu::detail::WarpOp::kAll, mask, predicate != 0, 0, warpSize));
}

#define ZK_EMU_REDUCE(name, T, op)                                                        \
  inline T name(unsigned mask, T value) {                                                 \
    return static_cast<T>(static_cast<uint32_t>(::zk_emu::detail::warp_op(                \
        ::zk_emu::detail::WarpOp::op, mask, static_cast<uint32_t>(value), 0, warpSize))); \
  }
ZK_EMU_REDUCE(__reduce_add_sync, unsigned, kReduceAdd)
ZK_EMU_REDUCE(__reduce_add_sync, int, kReduceAdd)
ZK_EMU_REDUCE(__reduce_min_sync, unsigned, kReduceMinUnsigned)
ZK_EMU_REDUCE(__reduce_min_sync, int, kReduceMinSigned)
ZK_EMU_REDUCE(__reduce_max_sync, unsigned, kReduceMaxUnsigned)
ZK_EMU_REDUCE(__reduce_max_sync, int, kReduceMaxSigned)
ZK_EMU_REDUCE(__reduce_and_sync, unsigned, kReduceAnd)
ZK_EMU_REDUCE(__reduce_or_sync, unsigned, kReduceOr)
ZK_EMU_REDUCE(__reduce_xor_sync, unsigned, kReduceXor)
#undef ZK_EMU_REDUCE

// ---------------------------------------------------------------------------------------------
// Atomics: sequentially consistent GCC builtins, safe across the worker host threads.

namespace zk_emu {
namespace detail {

template <typename T, typename F>
inline T atomic_update(T* address, F f) {
  T old;
  __atomic_load(address, &old, __ATOMIC_SEQ_CST);
  T desired = f(old);
  while (!__atomic_compare_exchange(address, &old, &desired, false, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST)) {
    desired = f(old);
  }
  return old;
}

}  // namespace detail
}  // namespace zk_emu

#define ZK_EMU_ATOMIC_FETCH(name, builtin, T) \
  inline T name(T* address, T val) { return builtin(address, val, __ATOMIC_SEQ_CST); }
ZK_EMU_ATOMIC_FETCH(atomicAdd, __atomic_fetch_add, int)
ZK_EMU_ATOMIC_FETCH(atomicAdd, __atomic_fetch_add, unsigned int)
ZK_EMU_ATOMIC_FETCH(atomicAdd, __atomic_fetch_add, unsigned long long)
ZK_EMU_ATOMIC_FETCH(atomicSub, __atomic_fetch_sub, int)
ZK_EMU_ATOMIC_FETCH(atomicSub, __atomic_fetch_sub, unsigned int)
ZK_EMU_ATOMIC_FETCH(atomicAnd, __atomic_fetch_and, int)
ZK_EMU_ATOMIC_FETCH(atomicAnd, __atomic_fetch_and, unsigned int)
ZK_EMU_ATOMIC_FETCH(atomicAnd, __atomic_fetch_and, unsigned long long)
ZK_EMU_ATOMIC_FETCH(atomicOr, __atomic_fetch_or, int)
ZK_EMU_ATOMIC_FETCH(atomicOr, __atomic_fetch_or, unsigned int)
ZK_EMU_ATOMIC_FETCH(atomicOr, __atomic_fetch_or, unsigned long long)
ZK_EMU_ATOMIC_FETCH(atomicXor, __atomic_fetch_xor, int)
ZK_EMU_ATOMIC_FETCH(atomicXor, __atomic_fetch_xor, unsigned int)
ZK_EMU_ATOMIC_FETCH(atomicXor, __atomic_fetch_xor, unsigned long long)
#undef ZK_EMU_ATOMIC_FETCH

#define ZK_EMU_ATOMIC_UPDATE(name, T, expr)                                         \
  inline T name(T* address, T val) {                                                \
    return ::zk_emu::detail::atomic_update(address, [val](T old) { return expr; }); \
  }
ZK_EMU_ATOMIC_UPDATE(atomicAdd, float, old + val)
ZK_EMU_ATOMIC_UPDATE(atomicAdd, double, old + val)
ZK_EMU_ATOMIC_UPDATE(atomicMax, int, old < val ? val : old)
ZK_EMU_ATOMIC_UPDATE(atomicMax, unsigned int, old < val ? val : old)
ZK_EMU_ATOMIC_UPDATE(atomicMax, long long, old < val ? val : old)
ZK_EMU_ATOMIC_UPDATE(atomicMax, unsigned long long, old < val ? val : old)
ZK_EMU_ATOMIC_UPDATE(atomicMin, int, val < old ? val : old)
ZK_EMU_ATOMIC_UPDATE(atomicMin, unsigned int, val < old ? val : old)
ZK_EMU_ATOMIC_UPDATE(atomicMin, long long, val < old ? val : old)
ZK_EMU_ATOMIC_UPDATE(atomicMin, unsigned long long, val < old ? val : old)
ZK_EMU_ATOMIC_UPDATE(atomicInc, unsigned int, old >= val ? 0u : old + 1u)
ZK_EMU_ATOMIC_UPDATE(atomicDec, unsigned int, (old == 0u || old > val) ? val : old - 1u)
#undef ZK_EMU_ATOMIC_UPDATE

#define ZK_EMU_ATOMIC_EXCH(T)                                 \
  inline T atomicExch(T* address, T val) {                    \
    T old;                                                    \
    __atomic_exchange(address, &val, &old, __ATOMIC_SEQ_CST); \
    return old;                                               \
  }
ZK_EMU_ATOMIC_EXCH(int)
ZK_EMU_ATOMIC_EXCH(unsigned int)
ZK_EMU_ATOMIC_EXCH(unsigned long long)
ZK_EMU_ATOMIC_EXCH(float)
#undef ZK_EMU_ATOMIC_EXCH

#define ZK_EMU_ATOMIC_CAS(T)                                                                       \
  inline T atomicCAS(T* address, T compare, T val) {                                               \
    __atomic_compare_exchange(address, &compare, &val, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST); \
    return compare;                                                                                \
  }
ZK_EMU_ATOMIC_CAS(int)
ZK_EMU_ATOMIC_CAS(unsigned int)
ZK_EMU_ATOMIC_CAS(unsigned long long)
ZK_EMU_ATOMIC_CAS(unsigned short)
#undef ZK_EMU_ATOMIC_CAS

// ---------------------------------------------------------------------------------------------
// Conversions. Float to integer saturates to the destination range and maps NaN to 0, as the
// hardware does; all rounding is computed exactly, independent of the host rounding mode.

namespace zk_emu {
namespace detail {

enum class Round { kNearestEven, kZero, kDown, kUp };

// Exact: floor, trunc, ceil and the difference v - floor(v) need no rounding.
inline double round_integral(double v, Round mode) {
  switch (mode) {
    case Round::kZero:
      return std::trunc(v);
    case Round::kDown:
      return std::floor(v);
    case Round::kUp:
      return std::ceil(v);
    case Round::kNearestEven:
      break;
  }
  const double f = std::floor(v);
  const double d = v - f;
  if (d > 0.5) return f + 1.0;
  if (d < 0.5) return f;
  return std::fmod(f, 2.0) == 0.0 ? f : f + 1.0;
}

// lo and hi_exclusive are powers of two (or 0), exact in double.
template <typename I>
inline I saturating_convert(double v, Round mode, double lo, double hi_exclusive) {
  if (std::isnan(v)) return 0;
  const double r = round_integral(v, mode);
  if (r >= hi_exclusive) return std::numeric_limits<I>::max();
  if (r < lo) return std::numeric_limits<I>::min();
  return static_cast<I>(r);
}

template <typename I>
inline I float_to_int(double v, Round mode) {
  const double hi = std::ldexp(1.0, std::numeric_limits<I>::digits);
  const double lo = std::numeric_limits<I>::is_signed ? -hi : 0.0;
  return saturating_convert<I>(v, mode, lo, hi);
}

// Integer magnitude to float: shifts to 24 significant bits and rounds the dropped bits.
inline float magnitude_to_float(uint64_t m, bool negative, Round mode) {
  if (m == 0) return 0.0f;
  const int msb = 63 - __builtin_clzll(m);
  if (msb < 24) {
    const float f = static_cast<float>(m);
    return negative ? -f : f;
  }
  const int shift = msb - 23;
  uint64_t q = m >> shift;
  const uint64_t rem = m & ((uint64_t{1} << shift) - 1);
  const uint64_t half = uint64_t{1} << (shift - 1);
  bool up = false;
  switch (mode) {
    case Round::kNearestEven:
      up = rem > half || (rem == half && (q & 1) != 0);
      break;
    case Round::kZero:
      break;
    case Round::kDown:
      up = rem != 0 && negative;
      break;
    case Round::kUp:
      up = rem != 0 && !negative;
      break;
  }
  q += up ? 1 : 0;
  const float f = std::ldexp(static_cast<float>(q), shift);
  return negative ? -f : f;
}

inline float signed_to_float(long long x, Round mode) {
  const uint64_t u = static_cast<uint64_t>(x);
  return magnitude_to_float(x < 0 ? uint64_t{0} - u : u, x < 0, mode);
}

// Rounds an exactly known double to float toward zero.
inline float double_to_float_rz(double exact) {
  float f = static_cast<float>(exact);
  if (std::isinf(f) && !std::isinf(exact)) return std::copysign(FLT_MAX, f);
  if (std::fabs(static_cast<double>(f)) > std::fabs(exact)) f = std::nextafter(f, 0.0f);
  return f;
}

}  // namespace detail
}  // namespace zk_emu

inline int __float2int_rn(float x) {
  return ::zk_emu::detail::float_to_int<int>(x, ::zk_emu::detail::Round::kNearestEven);
}
inline int __float2int_rz(float x) {
  return ::zk_emu::detail::float_to_int<int>(x, ::zk_emu::detail::Round::kZero);
}
inline int __float2int_rd(float x) {
  return ::zk_emu::detail::float_to_int<int>(x, ::zk_emu::detail::Round::kDown);
}
inline int __float2int_ru(float x) {
  return ::zk_emu::detail::float_to_int<int>(x, ::zk_emu::detail::Round::kUp);
}
inline unsigned int __float2uint_rn(float x) {
  return ::zk_emu::detail::float_to_int<unsigned int>(x, ::zk_emu::detail::Round::kNearestEven);
}
inline unsigned int __float2uint_rz(float x) {
  return ::zk_emu::detail::float_to_int<unsigned int>(x, ::zk_emu::detail::Round::kZero);
}
inline long long __float2ll_rn(float x) {
  return ::zk_emu::detail::float_to_int<long long>(x, ::zk_emu::detail::Round::kNearestEven);
}
inline long long __float2ll_rz(float x) {
  return ::zk_emu::detail::float_to_int<long long>(x, ::zk_emu::detail::Round::kZero);
}
inline unsigned long long __float2ull_rz(float x) {
  return ::zk_emu::detail::float_to_int<unsigned long long>(x, ::zk_emu::detail::Round::kZero);
}
inline int __double2int_rn(double x) {
  return ::zk_emu::detail::float_to_int<int>(x, ::zk_emu::detail::Round::kNearestEven);
}
inline int __double2int_rz(double x) {
  return ::zk_emu::detail::float_to_int<int>(x, ::zk_emu::detail::Round::kZero);
}
inline float __int2float_rn(int x) {
  return ::zk_emu::detail::signed_to_float(x, ::zk_emu::detail::Round::kNearestEven);
}
inline float __int2float_rz(int x) {
  return ::zk_emu::detail::signed_to_float(x, ::zk_emu::detail::Round::kZero);
}
inline float __uint2float_rn(unsigned int x) {
  return ::zk_emu::detail::magnitude_to_float(x, false, ::zk_emu::detail::Round::kNearestEven);
}
inline float __ll2float_rn(long long x) {
  return ::zk_emu::detail::signed_to_float(x, ::zk_emu::detail::Round::kNearestEven);
}
inline float __ull2float_rn(unsigned long long x) {
  return ::zk_emu::detail::magnitude_to_float(x, false, ::zk_emu::detail::Round::kNearestEven);
}

inline float __int_as_float(int x) {
  return ::zk_emu::detail::from_bits<float>(static_cast<uint32_t>(x));
}
inline float __uint_as_float(unsigned int x) { return ::zk_emu::detail::from_bits<float>(x); }
inline int __float_as_int(float x) {
  return static_cast<int>(static_cast<uint32_t>(::zk_emu::detail::to_bits(x)));
}
inline unsigned int __float_as_uint(float x) {
  return static_cast<uint32_t>(::zk_emu::detail::to_bits(x));
}
inline double __longlong_as_double(long long x) {
  return ::zk_emu::detail::from_bits<double>(static_cast<uint64_t>(x));
}
inline long long __double_as_longlong(double x) {
  return static_cast<long long>(::zk_emu::detail::to_bits(x));
}

// ---------------------------------------------------------------------------------------------
// Floating-point arithmetic intrinsics. The _rn forms are the host's IEEE operations (the
// build uses -ffp-contract=off, so none is fused); the _rz forms are computed exactly.

inline float __fadd_rn(float a, float b) { return a + b; }
inline float __fsub_rn(float a, float b) { return a - b; }
inline float __fmul_rn(float a, float b) { return a * b; }
inline float __fdiv_rn(float a, float b) { return a / b; }
inline float __frcp_rn(float x) { return 1.0f / x; }
inline float __fsqrt_rn(float x) { return std::sqrt(x); }
inline float __fmaf_rn(float a, float b, float c) { return std::fma(a, b, c); }
inline double __dadd_rn(double a, double b) { return a + b; }
inline double __dmul_rn(double a, double b) { return a * b; }
inline double __fma_rn(double a, double b, double c) { return std::fma(a, b, c); }

// Round-to-nearest sum plus its exact error (TwoSum); a nonzero error of the opposite sign
// means the sum was rounded away from zero, so one step back toward zero truncates it.
inline float __fadd_rz(float a, float b) {
  float s = a + b;
  if (!std::isfinite(s)) {
    return std::isfinite(a) && std::isfinite(b) ? std::copysign(FLT_MAX, s) : s;
  }
  const float bv = s - a;
  const float err = (a - (s - bv)) + (b - bv);
  if (err != 0.0f && ((s > 0.0f) != (err > 0.0f))) s = std::nextafter(s, 0.0f);
  return s;
}
inline float __fsub_rz(float a, float b) { return __fadd_rz(a, -b); }
// A product of two floats is exact in double.
inline float __fmul_rz(float a, float b) {
  return ::zk_emu::detail::double_to_float_rz(static_cast<double>(a) * static_cast<double>(b));
}

// The hardware's fast approximations; the host gives the accurate value instead.
inline float __expf(float x) { return std::exp(x); }
inline float __exp10f(float x) { return std::pow(10.0f, x); }
inline float __logf(float x) { return std::log(x); }
inline float __log2f(float x) { return std::log2(x); }
inline float __log10f(float x) { return std::log10(x); }
inline float __sinf(float x) { return std::sin(x); }
inline float __cosf(float x) { return std::cos(x); }
inline float __tanf(float x) { return std::tan(x); }
inline float __powf(float x, float y) { return std::pow(x, y); }
inline void __sincosf(float x, float* s, float* c) {
  *s = std::sin(x);
  *c = std::cos(x);
}
// Like the hardware, 0 (NaN for an infinite numerator) when 2^126 < |y| < 2^128.
inline float __fdividef(float x, float y) {
  if (std::isfinite(y) && std::fabs(y) > 0x1p126f) {
    return std::isinf(x) ? std::numeric_limits<float>::quiet_NaN() : 0.0f * (x / y);
  }
  return x / y;
}
inline float __saturatef(float x) {
  if (std::isnan(x)) return 0.0f;
  return x < 0.0f ? 0.0f : (x > 1.0f ? 1.0f : x);
}
inline float rsqrtf(float x) { return 1.0f / std::sqrt(x); }
inline double rsqrt(double x) { return 1.0 / std::sqrt(x); }

// ---------------------------------------------------------------------------------------------
// Integer intrinsics: unsigned arithmetic wherever the hardware wraps.

inline int __popc(unsigned int x) { return __builtin_popcount(x); }
inline int __popcll(unsigned long long x) { return __builtin_popcountll(x); }
inline int __clz(int x) { return x == 0 ? 32 : __builtin_clz(static_cast<unsigned>(x)); }
inline int __clzll(long long x) {
  return x == 0 ? 64 : __builtin_clzll(static_cast<unsigned long long>(x));
}
inline int __ffs(int x) { return __builtin_ffs(x); }
inline int __ffsll(long long x) { return __builtin_ffsll(x); }
inline unsigned int __brev(unsigned int x) {
  x = ((x >> 1) & 0x55555555u) | ((x & 0x55555555u) << 1);
  x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
  x = ((x >> 4) & 0x0f0f0f0fu) | ((x & 0x0f0f0f0fu) << 4);
  x = ((x >> 8) & 0x00ff00ffu) | ((x & 0x00ff00ffu) << 8);
  return (x >> 16) | (x << 16);
}
inline unsigned long long __brevll(unsigned long long x) {
  return (static_cast<unsigned long long>(__brev(static_cast<unsigned>(x))) << 32) |
         __brev(static_cast<unsigned>(x >> 32));
}
// Products of the low 24 bits (sign-extended for the signed form), low 32 bits kept.
inline int __mul24(int x, int y) {
  const int64_t a = static_cast<int32_t>(static_cast<uint32_t>(x) << 8) >> 8;
  const int64_t b = static_cast<int32_t>(static_cast<uint32_t>(y) << 8) >> 8;
  return static_cast<int>(static_cast<uint32_t>(static_cast<uint64_t>(a * b)));
}
inline unsigned int __umul24(unsigned int x, unsigned int y) {
  return (x & 0xffffffu) * (y & 0xffffffu);
}
inline unsigned int __umulhi(unsigned int x, unsigned int y) {
  return static_cast<unsigned>((static_cast<uint64_t>(x) * y) >> 32);
}
inline int __mulhi(int x, int y) { return static_cast<int>((static_cast<int64_t>(x) * y) >> 32); }
namespace zk_emu {
namespace detail {
__extension__ typedef unsigned __int128 uint128;
__extension__ typedef __int128 int128;
}  // namespace detail
}  // namespace zk_emu
inline unsigned long long __umul64hi(unsigned long long x, unsigned long long y) {
  return static_cast<unsigned long long>((static_cast<::zk_emu::detail::uint128>(x) * y) >> 64);
}
inline long long __mul64hi(long long x, long long y) {
  return static_cast<long long>((static_cast<::zk_emu::detail::int128>(x) * y) >> 64);
}
inline int __hadd(int x, int y) { return static_cast<int>((static_cast<int64_t>(x) + y) >> 1); }
inline int __rhadd(int x, int y) {
  return static_cast<int>((static_cast<int64_t>(x) + y + 1) >> 1);
}
inline unsigned int __uhadd(unsigned int x, unsigned int y) {
  return static_cast<unsigned>((static_cast<uint64_t>(x) + y) >> 1);
}
inline unsigned int __urhadd(unsigned int x, unsigned int y) {
  return static_cast<unsigned>((static_cast<uint64_t>(x) + y + 1) >> 1);
}
inline unsigned int __sad(int x, int y, unsigned int z) {
  const uint32_t d = x > y ? static_cast<uint32_t>(x) - static_cast<uint32_t>(y)
                           : static_cast<uint32_t>(y) - static_cast<uint32_t>(x);
  return d + z;
}
inline unsigned int __usad(unsigned int x, unsigned int y, unsigned int z) {
  return (x > y ? x - y : y - x) + z;
}
inline unsigned int __funnelshift_l(unsigned int lo, unsigned int hi, unsigned int shift) {
  const uint64_t v = (static_cast<uint64_t>(hi) << 32) | lo;
  return static_cast<unsigned>((v << (shift & 31)) >> 32);
}
inline unsigned int __funnelshift_lc(unsigned int lo, unsigned int hi, unsigned int shift) {
  const uint64_t v = (static_cast<uint64_t>(hi) << 32) | lo;
  return static_cast<unsigned>((v << (shift < 32 ? shift : 32)) >> 32);
}
inline unsigned int __funnelshift_r(unsigned int lo, unsigned int hi, unsigned int shift) {
  const uint64_t v = (static_cast<uint64_t>(hi) << 32) | lo;
  return static_cast<unsigned>(v >> (shift & 31));
}
inline unsigned int __funnelshift_rc(unsigned int lo, unsigned int hi, unsigned int shift) {
  const uint64_t v = (static_cast<uint64_t>(hi) << 32) | lo;
  return static_cast<unsigned>(v >> (shift < 32 ? shift : 32));
}

// Result byte n is byte (s >> 4n) & 7 of the eight bytes {y:x}, x holding bytes 0..3.
inline unsigned int __byte_perm(unsigned int x, unsigned int y, unsigned int s) {
  const uint64_t bytes = (static_cast<uint64_t>(y) << 32) | x;
  unsigned int r = 0;
  for (int n = 0; n < 4; ++n) {
    const unsigned sel = (s >> (4 * n)) & 7u;
    r |= static_cast<unsigned>((bytes >> (8 * sel)) & 0xffu) << (8 * n);
  }
  return r;
}

namespace zk_emu {
namespace detail {

inline int32_t half_signed(uint32_t v, int i) {
  return static_cast<int16_t>(static_cast<uint16_t>(v >> (16 * i)));
}
inline int32_t byte_signed(uint32_t v, int i) {
  return static_cast<int8_t>(static_cast<uint8_t>(v >> (8 * i)));
}
inline uint32_t half_unsigned(uint32_t v, int i) { return (v >> (16 * i)) & 0xffffu; }
inline uint32_t byte_unsigned(uint32_t v, int i) { return (v >> (8 * i)) & 0xffu; }

// Two 16x8 products of the halves of a with bytes first_byte, first_byte+1 of b, added to c
// with 32-bit wraparound.
inline int dp2a_signed(int a, int b, int c, int first_byte) {
  const uint32_t ua = static_cast<uint32_t>(a), ub = static_cast<uint32_t>(b);
  const uint32_t p0 = static_cast<uint32_t>(half_signed(ua, 0) * byte_signed(ub, first_byte));
  const uint32_t p1 = static_cast<uint32_t>(half_signed(ua, 1) * byte_signed(ub, first_byte + 1));
  return static_cast<int>(static_cast<uint32_t>(c) + p0 + p1);
}
inline unsigned dp2a_unsigned(unsigned a, unsigned b, unsigned c, int first_byte) {
  return c + half_unsigned(a, 0) * byte_unsigned(b, first_byte) +
         half_unsigned(a, 1) * byte_unsigned(b, first_byte + 1);
}

template <typename Op>
inline unsigned per_half(unsigned a, unsigned b, Op op) {
  unsigned r = 0;
  for (int i = 0; i < 2; ++i) {
    r |= (static_cast<unsigned>(op(half_signed(a, i), half_signed(b, i))) & 0xffffu) << (16 * i);
  }
  return r;
}
inline int32_t saturate16(int32_t v) { return v < -32768 ? -32768 : (v > 32767 ? 32767 : v); }

}  // namespace detail
}  // namespace zk_emu

inline int __dp2a_lo(int srcA, int srcB, int c) {
  return ::zk_emu::detail::dp2a_signed(srcA, srcB, c, 0);
}
inline int __dp2a_hi(int srcA, int srcB, int c) {
  return ::zk_emu::detail::dp2a_signed(srcA, srcB, c, 2);
}
inline unsigned int __dp2a_lo(unsigned int srcA, unsigned int srcB, unsigned int c) {
  return ::zk_emu::detail::dp2a_unsigned(srcA, srcB, c, 0);
}
inline unsigned int __dp2a_hi(unsigned int srcA, unsigned int srcB, unsigned int c) {
  return ::zk_emu::detail::dp2a_unsigned(srcA, srcB, c, 2);
}
inline int __dp4a(int srcA, int srcB, int c) {
  uint32_t acc = static_cast<uint32_t>(c);
  for (int i = 0; i < 4; ++i) {
    acc += static_cast<uint32_t>(::zk_emu::detail::byte_signed(static_cast<uint32_t>(srcA), i) *
                                 ::zk_emu::detail::byte_signed(static_cast<uint32_t>(srcB), i));
  }
  return static_cast<int>(acc);
}
inline unsigned int __dp4a(unsigned int srcA, unsigned int srcB, unsigned int c) {
  for (int i = 0; i < 4; ++i) {
    c += ::zk_emu::detail::byte_unsigned(srcA, i) * ::zk_emu::detail::byte_unsigned(srcB, i);
  }
  return c;
}
inline unsigned int __vaddss2(unsigned int a, unsigned int b) {
  return ::zk_emu::detail::per_half(
      a, b, [](int32_t x, int32_t y) { return ::zk_emu::detail::saturate16(x + y); });
}
inline unsigned int __vsubss2(unsigned int a, unsigned int b) {
  return ::zk_emu::detail::per_half(
      a, b, [](int32_t x, int32_t y) { return ::zk_emu::detail::saturate16(x - y); });
}
inline unsigned int __vadd2(unsigned int a, unsigned int b) {
  return ::zk_emu::detail::per_half(a, b, [](int32_t x, int32_t y) { return x + y; });
}
inline unsigned int __vsub2(unsigned int a, unsigned int b) {
  return ::zk_emu::detail::per_half(a, b, [](int32_t x, int32_t y) { return x - y; });
}

template <typename T>
inline T __ldg(const T* p) {
  return *p;
}

// ---------------------------------------------------------------------------------------------
// min / max with the overload set device code has (mixed signedness compares as unsigned).

#define ZK_EMU_MINMAX(R, A, B)                                                            \
  inline R min(A a, B b) {                                                                \
    return static_cast<R>(a) < static_cast<R>(b) ? static_cast<R>(a) : static_cast<R>(b); \
  }                                                                                       \
  inline R max(A a, B b) {                                                                \
    return static_cast<R>(a) < static_cast<R>(b) ? static_cast<R>(b) : static_cast<R>(a); \
  }
ZK_EMU_MINMAX(int, int, int)
ZK_EMU_MINMAX(unsigned int, unsigned int, unsigned int)
ZK_EMU_MINMAX(unsigned int, int, unsigned int)
ZK_EMU_MINMAX(unsigned int, unsigned int, int)
ZK_EMU_MINMAX(long, long, long)
ZK_EMU_MINMAX(unsigned long, unsigned long, unsigned long)
ZK_EMU_MINMAX(unsigned long, long, unsigned long)
ZK_EMU_MINMAX(unsigned long, unsigned long, long)
ZK_EMU_MINMAX(long long, long long, long long)
ZK_EMU_MINMAX(unsigned long long, unsigned long long, unsigned long long)
ZK_EMU_MINMAX(unsigned long long, long long, unsigned long long)
ZK_EMU_MINMAX(unsigned long long, unsigned long long, long long)
#undef ZK_EMU_MINMAX
inline float min(float a, float b) { return std::fmin(a, b); }
inline float max(float a, float b) { return std::fmax(a, b); }
inline double min(double a, double b) { return std::fmin(a, b); }
inline double max(double a, double b) { return std::fmax(a, b); }
inline double min(float a, double b) { return std::fmin(static_cast<double>(a), b); }
inline double max(float a, double b) { return std::fmax(static_cast<double>(a), b); }
inline double min(double a, float b) { return std::fmin(a, static_cast<double>(b)); }
inline double max(double a, float b) { return std::fmax(a, static_cast<double>(b)); }
inline unsigned int umin(unsigned int a, unsigned int b) { return a < b ? a : b; }
inline unsigned int umax(unsigned int a, unsigned int b) { return a < b ? b : a; }
inline long long llmin(long long a, long long b) { return a < b ? a : b; }
inline long long llmax(long long a, long long b) { return a < b ? b : a; }
inline unsigned long long ullmin(unsigned long long a, unsigned long long b) {
  return a < b ? a : b;
}
inline unsigned long long ullmax(unsigned long long a, unsigned long long b) {
  return a < b ? b : a;
}
