// Activations times a block-quantized weight matrix. One input row takes a matrix-vector
// path on the null stream; several rows take a register-tiled path that runs each width
// segment on its own device stream. Both read the plane-split block layout.
#include "ops/linear/block_quant_format.cuh"
#include "runtime/device.h"
#include "runtime/operator.cuh"

// Entry e is 2^(e - 35), the weight of a scale code's exponent field.
static __constant__ float EXPONENT_GPU[32] = {
    0x1p-35f, 0x1p-34f, 0x1p-33f, 0x1p-32f, 0x1p-31f, 0x1p-30f, 0x1p-29f, 0x1p-28f,
    0x1p-27f, 0x1p-26f, 0x1p-25f, 0x1p-24f, 0x1p-23f, 0x1p-22f, 0x1p-21f, 0x1p-20f,
    0x1p-19f, 0x1p-18f, 0x1p-17f, 0x1p-16f, 0x1p-15f, 0x1p-14f, 0x1p-13f, 0x1p-12f,
    0x1p-11f, 0x1p-10f, 0x1p-9f,  0x1p-8f,  0x1p-7f,  0x1p-6f,  0x1p-5f,  0x1p-4f};

namespace {

namespace bq = zk::block_quant;

// The float bits of 2^23. An integer q below 2^23 ORed into them reads as 2^23 + q, so
// subtracting 2^23 converts q exactly, with two full-rate instructions instead of the slower
// integer-to-float conversion.
constexpr uint32_t kTwoPow23Bits = 0x4B000000u;

__device__ __forceinline__ float biased_integer_value(uint32_t bits) {
  return __fsub_rn(__uint_as_float(bits), 8388608.0f);
}

// Scale code: sign in bit 15, exponent in bits 10-14, mantissa in bits 0-9 with no implicit
// leading one. Every value is exact in float32.
__device__ __forceinline__ float decode_scale(uint32_t code) {
  const float magnitude = __fmul_rn(biased_integer_value(kTwoPow23Bits | (code & 0x3FFu)),
                                    EXPONENT_GPU[(code >> 10) & 0x1Fu]);
  return __fmul_rn(magnitude, (code & 0x8000u) != 0u ? -1.0f : 1.0f);
}

// The codes of `Rows` consecutive weight rows of a block, kept as the raw plane words (few
// registers) and unpacked where each code is used. Plane P's rows are Rows * w contiguous
// bytes, held in ceil(Rows * w / 4) 32-bit words; the planes follow one another.
template <int B, int Rows>
struct RowCodes {
  __host__ __device__ static constexpr int plane_words(int plane) {
    return (Rows * bq::plane_width(B, plane) + 3) / 4;
  }
  __host__ __device__ static constexpr int first_word(int plane) {
    int words = 0;
    for (int p = 0; p < plane; ++p) words += plane_words(p);
    return words;
  }
  uint32_t word[first_word(bq::plane_count(B))];
};

// Loads `Bytes` (1, 2, 4, 8, 16 or 32) aligned bytes with the fewest accesses.
template <int Bytes>
__device__ __forceinline__ void load_words(const uint8_t* from, uint32_t* to) {
  if constexpr (Bytes == 1) {
    to[0] = *from;
  } else if constexpr (Bytes == 2) {
    to[0] = *reinterpret_cast<const uint16_t*>(from);
  } else if constexpr (Bytes == 4) {
    to[0] = *reinterpret_cast<const uint32_t*>(from);
  } else if constexpr (Bytes == 8) {
    const uint2 v = *reinterpret_cast<const uint2*>(from);
    to[0] = v.x;
    to[1] = v.y;
  } else {
#pragma unroll
    for (int i = 0; i < Bytes / 16; ++i) {
      const uint4 v = reinterpret_cast<const uint4*>(from)[i];
      to[4 * i] = v.x;
      to[4 * i + 1] = v.y;
      to[4 * i + 2] = v.z;
      to[4 * i + 3] = v.w;
    }
  }
}

// Rows first_row .. first_row + Rows - 1 of plane P and the planes after it, one aligned
// access per plane.
template <int B, int Rows, int P = 0>
__device__ __forceinline__ void load_row_codes(const uint8_t* block, int32_t first_row,
                                               RowCodes<B, Rows>& codes) {
  if constexpr (P < bq::plane_count(B)) {
    constexpr int kWidth = bq::plane_width(B, P);
    load_words<Rows * kWidth>(block + bq::plane_offset(B, P) + first_row * kWidth,
                              codes.word + RowCodes<B, Rows>::first_word(P));
    load_row_codes<B, Rows, P + 1>(block, first_row, codes);
  }
}

// Moves columns 4-7 of every row of plane P and of the planes after it to where columns 0-3
// were.
template <int B, int Rows, int P = 0>
__device__ __forceinline__ void shift_half(RowCodes<B, Rows>& codes) {
  if constexpr (P < bq::plane_count(B)) {
    constexpr int kWidth = bq::plane_width(B, P);
    uint32_t* words = codes.word + RowCodes<B, Rows>::first_word(P);
    if constexpr (kWidth == 8) {
#pragma unroll
      for (int r = 0; r < Rows; ++r) words[2 * r] = words[2 * r + 1];
    } else {
#pragma unroll
      for (int k = 0; k < RowCodes<B, Rows>::plane_words(P); ++k) words[k] >>= 4 * kWidth;
    }
    shift_half<B, Rows, P + 1>(codes);
  }
}

// The float bits of 2^23 + q for code `index` (8 * row + column, rows counted from the first
// loaded): the fields of plane P and of the planes after it, each shifted above the code bits
// of the planes before it. A w-bit field never straddles two words, as w divides 32.
template <int B, int Rows, int P = 0>
__device__ __forceinline__ uint32_t biased_code(const RowCodes<B, Rows>& codes, int index) {
  if constexpr (P == bq::plane_count(B)) {
    return kTwoPow23Bits;
  } else {
    constexpr int kWidth = bq::plane_width(B, P);
    const int bit = index * kWidth;
    const uint32_t word = codes.word[RowCodes<B, Rows>::first_word(P) + bit / 32];
    if constexpr (kWidth == 8) {
      // The only plane: its byte under the bytes 0x4B, 0, 0 of 2^23.
      return __byte_perm(word, kTwoPow23Bits >> 24, 0x4550u + (bit % 32) / 8);
    } else {
      return ((word >> (bit % 32)) & ((1u << kWidth) - 1u)) << bq::plane_shift(B, P) |
             biased_code<B, Rows, P + 1>(codes, index);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Single-row path.

__global__ void permute_input_kernel(const float* input, const uint32_t* permutation,
                                     int32_t columns, float* permuted) {
  const int32_t j = static_cast<int32_t>(blockIdx.x * blockDim.x + threadIdx.x);
  if (j >= columns) return;
  permuted[j] = input[permutation[j]];
}

// Thread t covers weight row t mod 16 of row group 16 * blockIdx.x + t / 16 over column
// blocks 4 * blockIdx.y .. + 3. The block's affine dequantization is factored out of the dot
// product: offset * sum(x) + step * sum(q * x).
template <int B>
__global__ void block_gemv_kernel(const float* permuted, uint64_t input_offset,
                                  const uint16_t* codes, uint64_t code_offset,
                                  const uint8_t* weights, uint64_t weight_offset, int32_t blocks,
                                  int32_t num_groups, float* output) {
  const int32_t t = static_cast<int32_t>(threadIdx.x);
  const int32_t group = 16 * static_cast<int32_t>(blockIdx.x) + t / 16;
  const int32_t row = t % 16;
  if (group >= num_groups) return;
  const float* x_segment = permuted + input_offset;
  const uint16_t* segment_codes = codes + code_offset;
  const uint8_t* segment_weights = weights + weight_offset;
  const int32_t first_block = 4 * static_cast<int32_t>(blockIdx.y);

  // The scale codes and weight rows of all (up to 4) column blocks are loaded before any is
  // used, so that their loads are in flight together.
  uint32_t scale_pairs[4] = {};
  RowCodes<B, 1> q[4] = {};
#pragma unroll
  for (int32_t i = 0; i < 4; ++i) {
    const int32_t c = first_block + i;
    if (c < blocks) {
      const int32_t block = group * blocks + c;
      // Offset and step codes in one aligned word (the segment starts at an even code index),
      // the offset in the low half.
      scale_pairs[i] = *reinterpret_cast<const uint32_t*>(segment_codes + 2 * block);
      load_row_codes<B, 1>(segment_weights + block * (16 * B), row, q[i]);
    }
  }

  float acc = 0.0f;
#pragma unroll
  for (int32_t i = 0; i < 4; ++i) {
    const int32_t c = first_block + i;
    if (c < blocks) {
      const float offset = decode_scale(scale_pairs[i] & 0xFFFFu);
      const float step = decode_scale(scale_pairs[i] >> 16);
      const float4 lo = reinterpret_cast<const float4*>(x_segment + 8 * c)[0];
      const float4 hi = reinterpret_cast<const float4*>(x_segment + 8 * c)[1];
      const float x[8] = {lo.x, lo.y, lo.z, lo.w, hi.x, hi.y, hi.z, hi.w};
      float sum_x = 0.0f;
      float dot = 0.0f;
#pragma unroll
      for (int j = 0; j < 8; ++j) {
        sum_x = __fadd_rn(sum_x, x[j]);
        dot = fmaf(x[j], biased_integer_value(biased_code<B, 1>(q[i], j)), dot);
      }
      acc = __fadd_rn(acc, fmaf(offset, sum_x, __fmul_rn(step, dot)));
    }
  }
  atomicAdd(output + (16 * group + row), acc);
}

// ---------------------------------------------------------------------------------------------
// Batched path.

// Permuted column j of input row r goes to column block j / 8, which holds all rows' eight
// floats of that block one after the other.
__global__ void permute_input_tiled_kernel(const float* input, const uint32_t* permutation,
                                           int32_t rows, int32_t columns, float* permuted) {
  const int32_t j = static_cast<int32_t>(blockIdx.x * blockDim.x + threadIdx.x);
  if (j >= columns) return;
  const int32_t r = static_cast<int32_t>(blockIdx.y);
  const uint32_t source =
      static_cast<uint32_t>(r) * static_cast<uint32_t>(columns) + permutation[j];
  permuted[((j / 8) * rows + r) * 8 + j % 8] = input[source];
}

// Decodes a segment's scale codes once into (offset, step) float pairs.
__global__ void decode_block_scales_kernel(float* decoded, const uint16_t* codes,
                                           uint64_t first_code, int32_t blocks,
                                           int32_t num_groups) {
  // Below 2^31 (the host checks the totals), so neither the count nor i + stride wraps.
  const uint32_t count = 2u * static_cast<uint32_t>(blocks) * static_cast<uint32_t>(num_groups);
  const uint32_t stride = gridDim.x * blockDim.x;
  for (uint32_t i = blockIdx.x * blockDim.x + threadIdx.x; i < count; i += stride) {
    decoded[i] = decode_scale(codes[first_code + i]);
  }
}

constexpr int32_t kGemmGroups = 16;  // row groups per block: 256 output columns
constexpr int32_t kGemmRows = 64;    // input rows per block
constexpr int32_t kGemmThreads = 128;
constexpr int32_t kThreadRows = 32;    // input rows per thread
constexpr int32_t kThreadWeights = 4;  // weight rows per thread
constexpr int32_t kGemmMaxRegisters = 200;

// Block (bx, by) computes row groups 16 bx .. 16 bx + 15 for input rows 64 by .. 64 by + 63.
// Thread t holds weight rows 4 (t mod 4) .. + 3 of group slot (t / 8) mod 16 against input
// rows 64 by + (t / 4) mod 2 + 2 i (i < 32) in 128 accumulators; per column block it stages
// the 64 x 8 input tile and the 16 weight blocks in shared memory. Left alone, the register
// allocator spends up to the 255 limit (spreading the accumulators for operand bandwidth); the
// cap keeps clear headroom below it, also where a GPU compiles the PTX itself, with no spill at
// any width and no lost occupancy (two 128-thread blocks per multiprocessor either way).
template <int B>
__global__ void __maxnreg__(kGemmMaxRegisters)
    block_gemm_kernel(const float* tiled, uint64_t input_offset, const float* scales,
                      const uint8_t* weights, uint64_t weight_offset, int32_t blocks,
                      int32_t num_groups, int32_t rows, float* output) {
  constexpr int32_t kBlockWords = 4 * B;  // 32-bit words of one 16 x 8 block
  constexpr int32_t kTileWords = kGemmGroups * kBlockWords;
  __shared__ __align__(16) float input_tile[kGemmRows * 8];
  __shared__ __align__(16) uint32_t weight_tile[kTileWords];

  const int32_t t = static_cast<int32_t>(threadIdx.x);
  const int32_t quarter = t % 4;
  const int32_t parity = (t / 4) % 2;
  const int32_t slot = (t / 8) % kGemmGroups;
  const int32_t first_group = kGemmGroups * static_cast<int32_t>(blockIdx.x);
  const int32_t group = first_group + slot;
  const int32_t first_row = kGemmRows * static_cast<int32_t>(blockIdx.y);
  const int32_t load_row = first_row + t / 2;
  const float* input = tiled + input_offset;
  const uint32_t* words = reinterpret_cast<const uint32_t*>(weights + weight_offset);
  const uint8_t* own_block = reinterpret_cast<const uint8_t*>(weight_tile) + slot * (16 * B);

  float acc[kThreadWeights][kThreadRows];
#pragma unroll
  for (int r = 0; r < kThreadWeights; ++r) {
#pragma unroll
    for (int i = 0; i < kThreadRows; ++i) acc[r][i] = 0.0f;
  }

  for (int32_t c = 0; c < blocks; ++c) {
    float4 x = make_float4(0.0f, 0.0f, 0.0f, 0.0f);
    if (load_row < rows) {
      x = *reinterpret_cast<const float4*>(input + ((c * rows + load_row) * 8 + 4 * (t % 2)));
    }
    reinterpret_cast<float4*>(input_tile)[t] = x;
#pragma unroll
    for (int32_t pass = 0; pass < (kTileWords + kGemmThreads - 1) / kGemmThreads; ++pass) {
      const int32_t k = t + kGemmThreads * pass;
      if (k < kTileWords) {
        const int32_t g = first_group + k / kBlockWords;
        weight_tile[k] =
            g < num_groups ? words[(g * blocks + c) * kBlockWords + k % kBlockWords] : 0u;
      }
    }
    __syncthreads();

    float2 scale = make_float2(0.0f, 0.0f);  // (offset, step)
    if (group < num_groups) {
      scale = *reinterpret_cast<const float2*>(scales + 2 * (group * blocks + c));
    }
    RowCodes<B, kThreadWeights> q;
    load_row_codes<B, kThreadWeights>(own_block, kThreadWeights * quarter, q);
    // Columns 0-3 for every input row, then columns 4-7: each accumulator still takes its
    // columns in ascending order. The halves stay separate loop iterations, so that only one
    // half's dequantized weights are live beside the accumulators.
#pragma unroll 1
    for (int half = 0; half < 2; ++half) {
      float w[kThreadWeights][4];
#pragma unroll
      for (int r = 0; r < kThreadWeights; ++r) {
#pragma unroll
        for (int j = 0; j < 4; ++j) {
          const float code = biased_integer_value(biased_code<B, kThreadWeights>(q, 8 * r + j));
          w[r][j] = fmaf(scale.y, code, scale.x);
        }
      }
      const float4* x_half = reinterpret_cast<const float4*>(input_tile) + parity * 2 + half;
#pragma unroll
      for (int i = 0; i < kThreadRows; ++i) {
        const float4 x = x_half[4 * i];
#pragma unroll
        for (int r = 0; r < kThreadWeights; ++r) {
          float a = acc[r][i];
          a = fmaf(x.x, w[r][0], a);
          a = fmaf(x.y, w[r][1], a);
          a = fmaf(x.z, w[r][2], a);
          a = fmaf(x.w, w[r][3], a);
          acc[r][i] = a;
        }
      }
      shift_half<B, kThreadWeights>(q);
    }
    __syncthreads();
  }

  if (group >= num_groups) return;
#pragma unroll
  for (int i = 0; i < kThreadRows; ++i) {
    const int32_t m = first_row + parity + 2 * i;
    if (m < rows) {
      float* out = output + ((group * rows + m) * 16 + kThreadWeights * quarter);
#pragma unroll
      for (int r = 0; r < kThreadWeights; ++r) atomicAdd(out + r, acc[r][i]);
    }
  }
}

__global__ void untile_output_kernel(const float* tiled, int32_t rows, int32_t columns,
                                     float* result) {
  const int32_t n = static_cast<int32_t>(blockIdx.x * blockDim.x + threadIdx.x);
  if (n >= columns) return;
  const int32_t m = static_cast<int32_t>(blockIdx.y);
  result[m * columns + n] = tiled[((n / 16) * rows + m) * 16 + n % 16];
}

// ---------------------------------------------------------------------------------------------
// Host side.

struct Operands {
  float* output;
  const float* input;
  const uint32_t* permutation;
  const uint16_t* codes;
  const uint8_t* weights;
};

// Unsigned, so that an extent near 2^31 does not overflow.
unsigned int ceil_div(int32_t extent, int32_t divisor) {
  return (static_cast<uint32_t>(extent) + static_cast<uint32_t>(divisor) - 1u) /
         static_cast<uint32_t>(divisor);
}

// (ceil(x / 256), y) blocks of 256 threads.
zk::LaunchGeometry columns_by_rows(int32_t x, int32_t y) {
  zk::LaunchGeometry geometry = zk::Geometry::flat(x);
  geometry.grid.y = static_cast<unsigned int>(y);
  return geometry;
}

// Gives back scratch; an empty extent was never allocated and has nothing to release.
void release_scratch(float* pointer, cudaStream_t stream) {
  if (pointer != nullptr) cudaFreeAsync(pointer, stream);
}

// Stream-ordered scratch on the null stream. An empty extent allocates nothing and leaves the
// pointer null (its launch reports the empty grid). The check reads the runtime's last error,
// so it also reports an earlier call's failure; an allocation made in that case is given back.
bool allocate_scratch(float** pointer, size_t bytes) {
  void* memory = nullptr;
  const bool allocated = bytes != 0 && cudaMallocAsync(&memory, bytes, nullptr) == cudaSuccess;
  *pointer = allocated ? static_cast<float*>(memory) : nullptr;
  if (cudaGetLastError() == cudaSuccess) return true;
  release_scratch(*pointer, nullptr);
  zk::log_error(zk::errors::kDeviceAllocation);
  return false;
}

// Zeroes the output that the kernels add into.
bool clear_output(float* output, size_t bytes) {
  if (cudaMemset(output, 0, bytes) == cudaSuccess) return true;
  cudaGetLastError();
  zk::log_error(zk::errors::kKernelLaunch);
  return false;
}

zk_status_t single_row_product(const zk_ocu_op_weight_16x8_args_t& record,
                               const bq::SegmentLayout& layout, const Operands& operands) {
  if (!clear_output(operands.output, static_cast<size_t>(layout.rows) * sizeof(float))) {
    return ZK_STATUS_DEVICE_FAILURE;
  }
  float* permuted = nullptr;
  if (!allocate_scratch(&permuted, static_cast<size_t>(layout.columns) * sizeof(float))) {
    return ZK_STATUS_NO_MEMORY;
  }
  ZK_LAUNCH(permute_input_kernel, zk::Geometry::flat(layout.columns), nullptr, operands.input,
            operands.permutation, layout.columns, permuted);
  if (zk::launch_status() != ZK_STATUS_OK) {
    release_scratch(permuted, nullptr);
    return ZK_STATUS_DEVICE_FAILURE;
  }
  for (int32_t b = 1; b <= bq::kWidths; ++b) {
    const int32_t blocks = record.num_blocks[b - 1];
    if (blocks == 0) continue;
    const zk::LaunchGeometry geometry{dim3(ceil_div(layout.rows, 256), ceil_div(blocks, 4)),
                                      dim3(256)};
    bq::with_width(b, [&](auto width) {
      ZK_LAUNCH(block_gemv_kernel<decltype(width)::value>, geometry, nullptr, permuted,
                static_cast<uint64_t>(8 * layout.blocks_before[b - 1]), operands.codes,
                static_cast<uint64_t>(layout.codes_before[b - 1]), operands.weights,
                static_cast<uint64_t>(layout.bytes_before[b - 1]), blocks, record.num_groups,
                operands.output);
    });
  }
  const zk_status_t status = zk::launch_status();
  release_scratch(permuted, nullptr);
  return status;
}

zk_status_t batched_product(zk_ocu_device* device, const zk_ocu_op_weight_16x8_args_t& record,
                            const bq::SegmentLayout& layout, const Operands& operands) {
  const int32_t rows = record.num_rows;
  const int32_t num_groups = record.num_groups;
  float* tiled = nullptr;
  if (!allocate_scratch(&tiled, static_cast<size_t>(layout.columns) * rows * sizeof(float))) {
    return ZK_STATUS_NO_MEMORY;
  }
  ZK_LAUNCH(permute_input_tiled_kernel, columns_by_rows(layout.columns, rows), nullptr,
            operands.input, operands.permutation, rows, layout.columns, tiled);
  if (zk::launch_status() != ZK_STATUS_OK) {
    release_scratch(tiled, nullptr);
    return ZK_STATUS_DEVICE_FAILURE;
  }
  const size_t output_bytes = static_cast<size_t>(layout.rows) * rows * sizeof(float);
  if (!clear_output(operands.output, output_bytes)) {
    release_scratch(tiled, nullptr);
    return ZK_STATUS_DEVICE_FAILURE;
  }

  // Each segment runs on device stream b - 1; the null stream's work before and after orders
  // the segments after the permutation and the clear, and before the untiling.
  const zk::LaunchGeometry decode_geometry{
      dim3(static_cast<unsigned int>(zk_ocu_device_multiprocessor_count(device))), dim3(1024)};
  const zk::LaunchGeometry gemm_geometry{
      dim3(ceil_div(num_groups, kGemmGroups), ceil_div(rows, kGemmRows)), dim3(kGemmThreads)};
  for (int32_t b = 1; b <= bq::kWidths; ++b) {
    const int32_t blocks = record.num_blocks[b - 1];
    if (blocks == 0) continue;
    const cudaStream_t stream = zk::device_stream(device, b - 1);
    float* scales = nullptr;
    const size_t scale_bytes = static_cast<size_t>(2 * blocks * num_groups) * sizeof(float);
    if (scale_bytes != 0 &&
        cudaMallocAsync(reinterpret_cast<void**>(&scales), scale_bytes, stream) != cudaSuccess) {
      cudaGetLastError();
      zk::log_error(zk::errors::kDeviceAllocation);
      release_scratch(tiled, nullptr);
      return ZK_STATUS_NO_MEMORY;
    }
    ZK_LAUNCH(decode_block_scales_kernel, decode_geometry, stream, scales, operands.codes,
              static_cast<uint64_t>(layout.codes_before[b - 1]), blocks, num_groups);
    bq::with_width(b, [&](auto width) {
      ZK_LAUNCH(
          block_gemm_kernel<decltype(width)::value>, gemm_geometry, stream, tiled,
          static_cast<uint64_t>(8 * rows) * static_cast<uint64_t>(layout.blocks_before[b - 1]),
          scales, operands.weights, static_cast<uint64_t>(layout.bytes_before[b - 1]), blocks,
          num_groups, rows, operands.output);
    });
    release_scratch(scales, stream);
  }
  const zk_status_t status = zk::launch_status();
  release_scratch(tiled, nullptr);
  if (status != ZK_STATUS_OK) return status;

  float* untiled = nullptr;
  if (!allocate_scratch(&untiled, output_bytes)) return ZK_STATUS_NO_MEMORY;
  ZK_LAUNCH(untile_output_kernel, columns_by_rows(layout.rows, rows), nullptr, operands.output,
            rows, layout.rows, untiled);
  zk_status_t result = zk::launch_status();
  if (result == ZK_STATUS_OK && cudaMemcpyAsync(operands.output, untiled, output_bytes,
                                                cudaMemcpyDeviceToDevice, nullptr) != cudaSuccess) {
    cudaGetLastError();
    zk::log_error(zk::errors::kCopyToDevice);
    result = ZK_STATUS_DEVICE_FAILURE;
  }
  release_scratch(untiled, nullptr);
  return result;
}

}  // namespace

zk_status_t vorel187(zk_ocu_device* device, zk_ocu_operator*, zk_ocu_op_weight_16x8_args_t* args) {
  const zk_ocu_op_weight_16x8_args_t record = *args;
  bq::SegmentLayout layout;
  if (!bq::plan_segments(record.num_groups, record.num_blocks, &layout)) {
    return ZK_STATUS_BAD_ARGUMENT;
  }
  // The tiled input and the output are indexed in 32 bits, and the output is cleared and
  // copied by its byte count.
  const int64_t rows = record.num_rows;
  if (rows < 0 || layout.columns * rows > INT32_MAX ||
      layout.rows * rows * int64_t{sizeof(float)} > INT32_MAX) {
    return ZK_STATUS_BAD_ARGUMENT;
  }
  const Operands operands{zk::operand<float>(record.output, record.output_offset),
                          zk::operand<const float>(record.input, record.input_offset),
                          zk::operand<const uint32_t>(record.permutation),
                          zk::operand<const uint16_t>(record.scales),
                          zk::operand<const uint8_t>(record.weights)};
  if (record.num_rows == 1) return single_row_product(record, layout, operands);
  return batched_product(device, record, layout, operands);
}
