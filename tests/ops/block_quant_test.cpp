// Block-quantized weight product (single-row and batched paths) and the weight block
// preprocessing. Weights come from an independent generator (block_quant_weights.h).
// Results are compared bit for bit where every float operation is exact (dyadic data of
// bounded size) or where the order of the float operations is fixed (one segment on the
// single-row path, one width on the batched path); mixed widths of arbitrary data are held to
// the worst-case rounding bound relative to the magnitudes of the products.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ops/block_quant_weights.h"
#include "test_support.h"

namespace {

using zk_test::error_log;
using zk_test::float_bits;
using zk_test::log_line;
namespace bq = zk_test::block_quant;

constexpr int32_t kOutputOffset = 20;  // byte offsets of the two operands that have one
constexpr int32_t kInputOffset = 12;

using ScaleChooser =
    std::function<std::pair<uint16_t, uint16_t>(int32_t, int32_t, int, bq::Random&)>;

// Offsets of 2^-5 granularity up to 63/16 in magnitude and steps of 2^-6 granularity up to
// 15/16. With inputs k/4 (|k| <= 4) every product and partial sum of up to 256 columns has at
// most 24 significant bits, so every summation order gives the exact result.
std::pair<uint16_t, uint16_t> dyadic_scales(int32_t, int32_t, int, bq::Random& random) {
  return {bq::make_scale_code(random.below(2) != 0, 30 + static_cast<int>(random.below(2)),
                              static_cast<int>(random.below(64))),
          bq::make_scale_code(false, 29 + static_cast<int>(random.below(3)),
                              static_cast<int>(random.below(16)))};
}

// Per row group (one 8-bit column block each): exponent 0, the sign bit on the offset and
// on the step, the negative zero 0xFC00, the largest magnitude. Exact in float per group.
std::pair<uint16_t, uint16_t> edge_scales(int32_t group, int32_t, int, bq::Random&) {
  static const std::pair<uint16_t, uint16_t> kPairs[] = {
      {0x0001, 0x0001},  // 2^-35, 2^-35
      {0x8001, 0x0003},  // -2^-35, 3 * 2^-35
      {0xFC00, 0x7C01},  // -0, 2^-4
      {0x7C00, 0xFC01},  // 0, -2^-4
      {0xFFFF, 0x7FFF},  // -1023 * 2^-4, 1023 * 2^-4
      {0x8407, 0x0809},  // -7 * 2^-34, 9 * 2^-33
  };
  return kPairs[group % 6];
}

std::vector<float> dyadic_input(size_t count, uint32_t seed) {
  bq::Random random(seed);
  std::vector<float> values(count);
  for (float& v : values) v = (static_cast<float>(random.below(9)) - 4.0f) / 4.0f;
  return values;
}

std::vector<float> random_input(size_t count, uint32_t seed) {
  bq::Random random(seed);
  std::vector<float> values(count);
  for (float& v : values) v = random.symmetric();
  return values;
}

class BlockQuantTest : public zk_test::DeviceTest {
 protected:
  struct Operands {
    zk_ocu_buffer* output;
    zk_ocu_buffer* input;
    zk_ocu_buffer* permutation;
    zk_ocu_buffer* scales;
    zk_ocu_buffer* weights;
  };

  Operands upload(const bq::Weights& w, const std::vector<float>& input, int32_t num_rows,
                  bool packed) {
    return {output(static_cast<size_t>(num_rows) * w.rows * sizeof(float), kOutputOffset),
            operand(input, kInputOffset), operand(w.permutation), operand(w.scale_buffer()),
            operand(w.weight_bytes(!packed))};
  }

  static zk_ocu_op_weight_16x8_args_t record(const Operands& o, const bq::Weights& w,
                                             int32_t num_rows) {
    zk_ocu_op_weight_16x8_args_t args{};
    args.output = o.output;
    args.input = o.input;
    args.permutation = o.permutation;
    args.scales = o.scales;
    args.weights = o.weights;
    args.num_rows = num_rows;
    args.num_groups = w.num_groups;
    for (int b = 0; b < 8; ++b) args.num_blocks[b] = w.num_blocks[b];
    args.output_offset = kOutputOffset;
    args.input_offset = kInputOffset;
    return args;
  }

  // Runs the product on freshly uploaded operands (packed weights go through vorel252 first),
  // on `device` or else the fixture's device.
  std::vector<float> product(const bq::Weights& w, const std::vector<float>& input,
                             int32_t num_rows, bool packed = false,
                             zk_ocu_device* device = nullptr) {
    if (device == nullptr) device = device_;
    const Operands o = upload(w, input, num_rows, packed);
    if (packed) {
      zk_ocu_op_weight_16x8_preprocess_blocks_args_t preprocess{};
      preprocess.weights = o.weights;
      preprocess.num_groups = w.num_groups;
      for (int b = 0; b < 8; ++b) preprocess.num_blocks[b] = w.num_blocks[b];
      EXPECT_EQ(vorel252(device, nullptr, &preprocess), ZK_STATUS_OK);
    }
    zk_ocu_op_weight_16x8_args_t args = record(o, w, num_rows);
    EXPECT_EQ(vorel187(device, nullptr, &args), ZK_STATUS_OK);
    EXPECT_TRUE(error_log().empty());
    return result<float>(o.output, kOutputOffset, static_cast<size_t>(num_rows) * w.rows);
  }

  // A second handle on the GPU that, on the emulated back end, reports `count`
  // multiprocessors (the scale decoding launches one block per multiprocessor); the caller
  // closes it.
  zk_ocu_device* open_with_multiprocessors(int32_t count) {
#if ZK_OCU_TEST_EMULATED
    zk_emu_device_config config;
    zk_emu_get_device_config(&config);
    zk_emu_device_config changed = config;
    changed.multiprocessor_count = count;
    zk_emu_set_device_config(&changed);
#else
    (void)count;
#endif
    zk_ocu_device* device = nullptr;
    EXPECT_EQ(vorel209(0, &device), ZK_STATUS_OK);
#if ZK_OCU_TEST_EMULATED
    zk_emu_set_device_config(&config);
#endif
    return device;
  }
};

// Exact data: any summation order gives the double-precision product, bit for bit. Covers
// the tile edges in M (64 input rows per block) and in num_groups (16 per block) up to a
// third tile, empty segments between widths, segments of 5 and 9 column blocks (two and three
// y-blocks on the single-row path), the worked example of the format, scale codes at the ends
// of their range, and a scale decoding grid of one block that strides over a segment's codes
// (over 1024 of them) twice.
TEST_F(BlockQuantTest, ExactProducts) {
  struct Case {
    const char* name;
    int32_t num_rows;
    int32_t num_groups;
    bq::Blocks num_blocks;
    ScaleChooser scales;
    bool packed;                  // uploaded packed and converted by vorel252
    int32_t multiprocessors = 0;  // of the emulated device, when not its default
  };
  const Case cases[] = {
      {"worked example", 1, 2, {1, 0, 2, 0, 0, 0, 0, 0}, dyadic_scales, false},
      {"worked example, batched", 3, 2, {1, 0, 2, 0, 0, 0, 0, 0}, dyadic_scales, false},
      {"gaps and five blocks", 1, 17, {2, 0, 1, 3, 5, 0, 1, 2}, dyadic_scales, false},
      {"gaps and five blocks, packed", 1, 17, {2, 0, 1, 3, 5, 0, 1, 2}, dyadic_scales, true},
      {"every width", 2, 16, {1, 1, 1, 1, 1, 1, 1, 1}, dyadic_scales, false},
      {"one tile row short", 63, 17, {0, 1, 0, 0, 5, 0, 0, 1}, dyadic_scales, false},
      {"one full tile", 64, 1, {1, 1, 1, 1, 1, 1, 1, 1}, dyadic_scales, false},
      {"one row past the tile", 65, 17, {3, 0, 1, 0, 0, 0, 2, 0}, dyadic_scales, false},
      {"one row past the tile, packed", 65, 17, {3, 0, 1, 0, 0, 0, 2, 0}, dyadic_scales, true},
      {"eight bits only", 65, 16, {0, 0, 0, 0, 0, 0, 0, 5}, dyadic_scales, false},
      {"scale code range", 1, 6, {0, 0, 0, 0, 0, 0, 0, 1}, edge_scales, false},
      {"scale code range, batched", 2, 6, {0, 0, 0, 0, 0, 0, 0, 1}, edge_scales, false},
      {"three tiles each way", 129, 33, {0, 0, 9, 0, 0, 0, 0, 0}, dyadic_scales, false},
      {"three tiles each way, packed", 130, 18, {2, 0, 0, 0, 0, 9, 0, 1}, dyadic_scales, true},
      {"three y-blocks and x-blocks", 1, 33, {1, 0, 0, 0, 9, 0, 0, 0}, dyadic_scales, false},
      {"scale decoding in two passes", 2, 33, {1, 0, 0, 0, 0, 0, 16, 0}, dyadic_scales, false, 1},
  };
  uint32_t seed = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bq::Weights w = bq::random_weights(c.num_groups, c.num_blocks, ++seed, c.scales);
    const std::vector<float> input =
        dyadic_input(static_cast<size_t>(c.num_rows) * w.columns, ++seed);
    const bq::Reference expected = bq::reference_product(w, input, c.num_rows);
    zk_ocu_device* device =
        c.multiprocessors != 0 ? open_with_multiprocessors(c.multiprocessors) : device_;
    const std::vector<float> actual = product(w, input, c.num_rows, c.packed, device);
    if (device != device_) vorel334(device);
    ASSERT_EQ(actual.size(), expected.value.size());
    for (size_t i = 0; i < actual.size(); ++i) {
      ASSERT_EQ(float_bits(actual[i]), float_bits(static_cast<float>(expected.value[i])))
          << "row " << i / w.rows << ", column " << i % w.rows << ": " << actual[i] << ", expected "
          << expected.value[i];
    }
  }
}

// Arbitrary data where the order of the float operations is fixed: one segment of at most 4
// column blocks on the single-row path (one thread per output, added once to the cleared
// output), one width on the batched path (one thread per output and segment). The references
// follow the defined arithmetic: single row, per column block offset * sum(x) + step * dot(q, x)
// with a sequential sum and a chain of fused multiply-adds; batched, one chain of fused
// multiply-adds over the dequantized weights fma(step, q, offset).
TEST_F(BlockQuantTest, FixedOrderProducts) {
  struct Case {
    int32_t num_rows;
    int width;
    int32_t num_groups;
    int32_t blocks;
  };
  const Case cases[] = {
      {1, 1, 17, 4},  {1, 2, 17, 3},  {1, 3, 17, 4},   {1, 4, 1, 1},    {1, 5, 17, 2},
      {1, 6, 16, 4},  {1, 7, 17, 4},  {1, 8, 17, 4},   {2, 1, 17, 2},   {65, 2, 1, 3},
      {3, 3, 17, 2},  {64, 4, 16, 2}, {63, 5, 17, 1},  {65, 6, 17, 2},  {2, 7, 1, 5},
      {65, 8, 17, 3}, {1, 3, 33, 4},  {129, 5, 33, 9}, {130, 2, 18, 9},
  };
  uint32_t seed = 200;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "M " << c.num_rows << ", width " << c.width << ", groups "
                                    << c.num_groups << ", blocks " << c.blocks);
    bq::Blocks num_blocks{};
    num_blocks[c.width - 1] = c.blocks;
    const std::vector<float> matrix =
        random_input(static_cast<size_t>(16 * c.num_groups) * 8 * c.blocks, ++seed);
    const bq::Weights w = bq::quantize(matrix, c.num_groups, num_blocks, ++seed);
    const std::vector<float> input =
        random_input(static_cast<size_t>(c.num_rows) * w.columns, ++seed);
    const std::vector<float> actual = product(w, input, c.num_rows);
    for (int32_t m = 0; m < c.num_rows; ++m) {
      for (int32_t n = 0; n < w.rows; ++n) {
        float acc = 0.0f;
        for (int32_t cb = 0; cb < c.blocks; ++cb) {
          const float offset = static_cast<float>(w.offset(n, 8 * cb));
          const float step = static_cast<float>(w.step(n, 8 * cb));
          float sum_x = 0.0f, dot = 0.0f;
          for (int32_t j = 8 * cb; j < 8 * cb + 8; ++j) {
            const float x = input[static_cast<size_t>(m) * w.columns + w.permutation[j]];
            const float q = static_cast<float>(w.codes[n * w.columns + j]);
            if (c.num_rows == 1) {
              sum_x = sum_x + x;
              dot = std::fma(x, q, dot);
            } else {
              acc = std::fma(x, std::fma(step, q, offset), acc);
            }
          }
          if (c.num_rows == 1) acc = acc + std::fma(offset, sum_x, step * dot);
        }
        const float expected = 0.0f + acc;
        ASSERT_EQ(float_bits(actual[static_cast<size_t>(m) * w.rows + n]), float_bits(expected))
            << "row " << m << ", column " << n;
      }
    }
  }
}

// Arbitrary data over several widths: segments add in any order, so each result is held to
// the worst-case bound of its longest chain of roundings (the column count plus the per-block
// and per-segment steps) times the unit roundoff, relative to the sum of the magnitudes of the
// products |offset x| + |step q x|.
TEST_F(BlockQuantTest, MixedWidthProductsWithinRoundingBound) {
  struct Case {
    int32_t num_rows;
    int32_t num_groups;
    bq::Blocks num_blocks;
  };
  const Case cases[] = {
      {1, 17, {1, 2, 3, 4, 5, 6, 7, 8}},
      {3, 16, {2, 0, 5, 1, 0, 3, 0, 4}},
      {64, 17, {1, 1, 1, 1, 1, 1, 1, 1}},
      {65, 1, {0, 4, 0, 5, 0, 0, 6, 0}},
  };
  uint32_t seed = 300;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "M " << c.num_rows << ", groups " << c.num_groups);
    int32_t columns = 0;
    for (int32_t f : c.num_blocks) columns += 8 * f;
    const std::vector<float> matrix =
        random_input(static_cast<size_t>(16 * c.num_groups) * columns, ++seed);
    const bq::Weights w = bq::quantize(matrix, c.num_groups, c.num_blocks, ++seed);
    const std::vector<float> input =
        random_input(static_cast<size_t>(c.num_rows) * columns, ++seed);
    const bq::Reference expected = bq::reference_product(w, input, c.num_rows);
    const std::vector<float> actual = product(w, input, c.num_rows);
    const double unit_roundoff = std::ldexp(1.0, -24);
    for (size_t i = 0; i < actual.size(); ++i) {
      const double bound = (columns + 32) * unit_roundoff * expected.magnitude[i];
      ASSERT_LE(std::fabs(actual[i] - expected.value[i]), bound)
          << "row " << i / w.rows << ", column " << i % w.rows;
    }
  }
}

// vorel252 against a reference repacking: blocks of widths 3, 5, 6 and 7 move from the
// packed to the plane-split layout, the others keep their bytes; a second pass moves the bits
// again. Segments of 17 column blocks and 17 row groups leave edge threads idle.
TEST_F(BlockQuantTest, PreprocessingSplitsPlanes) {
  struct Case {
    const char* name;
    int32_t num_groups;
    bq::Blocks num_blocks;
    int passes;
  };
  const Case cases[] = {
      {"every width", 17, {1, 2, 3, 1, 17, 2, 5, 1}, 1},
      {"twice", 3, {0, 1, 2, 0, 1, 1, 1, 1}, 2},
      {"nothing to split", 17, {3, 2, 0, 4, 0, 0, 0, 2}, 1},
  };
  uint32_t seed = 400;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bq::Random random(++seed);
    zk_test::block_quant::Weights layout =
        bq::random_weights(c.num_groups, c.num_blocks, ++seed, dyadic_scales);
    std::vector<uint8_t> bytes(layout.weight_bytes(false).size());
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random.below(256));

    std::vector<uint8_t> expected = bytes;
    bool splits = false;
    for (int pass = 0; pass < c.passes; ++pass) {
      size_t at = 0;
      layout.for_each_block([&](int b, int32_t, int32_t) {
        if (b == 3 || b == 5 || b == 6 || b == 7) {
          const std::vector<uint8_t> split = bq::split_block(bq::unpack_block(&expected[at], b), b);
          std::memcpy(&expected[at], split.data(), split.size());
          splits = true;
        }
        at += 16 * b;
      });
    }
    EXPECT_EQ(splits, c.num_blocks[2] + c.num_blocks[4] + c.num_blocks[5] + c.num_blocks[6] > 0);

    zk_ocu_buffer* weights = operand(bytes);
    zk_ocu_op_weight_16x8_preprocess_blocks_args_t args{};
    args.weights = weights;
    args.num_groups = c.num_groups;
    for (int b = 0; b < 8; ++b) args.num_blocks[b] = c.num_blocks[b];
    const int64_t launches = zk_emu_call_count("cudaLaunchKernel");
    for (int pass = 0; pass < c.passes; ++pass) {
      EXPECT_EQ(vorel252(device_, nullptr, &args), ZK_STATUS_OK);
    }
    if (!splits) EXPECT_EQ(zk_emu_call_count("cudaLaunchKernel"), launches);
    EXPECT_EQ(result<uint8_t>(weights, 0, bytes.size()), expected);
    EXPECT_TRUE(error_log().empty());
  }
}

// The format's example: a packed 3-bit block holding code 7 in row 0, column 0 becomes 0x03
// in the 2-bit plane and 0x01 at the start of the 1-bit plane.
TEST_F(BlockQuantTest, PreprocessingWorkedExample) {
  std::vector<uint8_t> bytes(48, 0);
  bytes[0] = 0x07;
  zk_ocu_buffer* weights = operand(bytes);
  zk_ocu_op_weight_16x8_preprocess_blocks_args_t args{};
  args.weights = weights;
  args.num_groups = 1;
  args.num_blocks[2] = 1;
  EXPECT_EQ(vorel252(device_, nullptr, &args), ZK_STATUS_OK);
  std::vector<uint8_t> expected(48, 0);
  expected[0] = 0x03;
  expected[32] = 0x01;
  EXPECT_EQ(result<uint8_t>(weights, 0, 48), expected);
}

// Counts that are negative or do not fit the 32-bit sizes and indices of the kernels are
// rejected with status 3 before any allocation, clear or launch, and without a log entry.
// The largest counts that fit are accepted: the call goes on to its first runtime step, which
// fails here (an empty grid, or an injected fault where the sizes are real) so that no kernel
// runs over the small buffer; vorel252, given no width to split, accepts them and launches
// nothing.
TEST_F(BlockQuantTest, RejectsCountsThatDoNotFit) {
  struct Case {
    const char* name;
    int32_t num_rows;
    int32_t num_groups;
    bq::Blocks num_blocks;
    bool preprocess_too;  // given to vorel252 as well
    zk_status_t status = ZK_STATUS_BAD_ARGUMENT;
    const char* fault = nullptr;  // runtime call made to fail once
  };
  constexpr int32_t kMax = INT32_MAX;
  const Case cases[] = {
      {"negative rows", -1, 1, {1, 0, 0, 0, 0, 0, 0, 0}, false},
      {"negative groups", 2, -1, {1, 0, 0, 0, 0, 0, 0, 0}, true},
      {"negative blocks", 1, 1, {1, 0, -1, 0, 0, 0, 0, 0}, true},
      {"N of 2^31", 0, 1 << 27, {0, 0, 0, 0, 0, 0, 0, 0}, true},
      {"K of 2^31", 0, 0, {1 << 27, 1 << 27, 0, 0, 0, 0, 0, 0}, true},
      {"2^40 blocks in a segment", 1, 1 << 20, {0, 0, 0, 0, 0, 0, 0, 1 << 20}, true},
      {"2^31 weight bytes", 1, 1, {0, 0, 0, 0, 0, 0, 0, 1 << 24}, true},
      {"2^31 weight bytes over two segments",
       1,
       1,
       {0, 0, 0, 0, 0, 0, 1 << 23 | 1 << 20, 1 << 23 | 1 << 20},
       true},
      {"K M of 2^31", 1 << 8, 1, {1 << 20, 0, 0, 0, 0, 0, 0, 0}, false},
      {"N M 4 of 2^31 bytes", 1 << 9, 1 << 16, {1, 0, 0, 0, 0, 0, 0, 0}, false},
      {"largest N", 0, kMax / 16, {0, 0, 0, 0, 0, 0, 0, 0}, true, ZK_STATUS_DEVICE_FAILURE},
      {"largest K",
       0,
       0,
       {1 << 27, (1 << 27) - 1, 0, 0, 0, 0, 0, 0},
       true,
       ZK_STATUS_DEVICE_FAILURE},
      {"largest weight bytes",
       0,
       1,
       {0, 0, 0, 0, 0, 0, 0, kMax / 128},
       true,
       ZK_STATUS_DEVICE_FAILURE},
      {"largest K M",
       kMax / 120,
       0,
       {15, 0, 0, 0, 0, 0, 0, 0},
       false,
       ZK_STATUS_NO_MEMORY,
       "cudaMallocAsync"},
      {"largest N M 4 bytes",
       1082401,
       31,
       {0, 0, 0, 0, 0, 0, 0, 0},
       false,
       ZK_STATUS_DEVICE_FAILURE},
      {"largest N M 4 bytes, one row",
       1,
       kMax / 64,
       {0, 0, 0, 0, 0, 0, 0, 0},
       false,
       ZK_STATUS_DEVICE_FAILURE,
       "cudaMemset"},
  };
  zk_ocu_buffer* buffer = output(64);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.fault != nullptr && !ZK_OCU_TEST_EMULATED) continue;
    zk_ocu_op_weight_16x8_args_t args{buffer, buffer,     buffer,      buffer,
                                      buffer, c.num_rows, c.num_groups};
    zk_ocu_op_weight_16x8_preprocess_blocks_args_t preprocess{buffer, c.num_groups};
    for (int b = 0; b < 8; ++b) args.num_blocks[b] = preprocess.num_blocks[b] = c.num_blocks[b];
    const bool accepted = c.status != ZK_STATUS_BAD_ARGUMENT;
    zk_ocu_error_log_clear();
    const int64_t allocations = zk_emu_call_count("cudaMallocAsync");
    const int64_t clears = zk_emu_call_count("cudaMemset");
    const int64_t launches = zk_emu_call_count("cudaLaunchKernel");
    if (c.fault != nullptr) zk_emu_inject_fault(c.fault, 0, 1, zk_test::kErrorMemoryAllocation);
    EXPECT_EQ(vorel187(device_, nullptr, &args), c.status);
    if (c.preprocess_too) {
      EXPECT_EQ(vorel252(device_, nullptr, &preprocess),
                accepted ? ZK_STATUS_OK : ZK_STATUS_BAD_ARGUMENT);
    }
    if (accepted) {
      EXPECT_EQ(error_log(),
                std::vector<std::string>{c.status == ZK_STATUS_NO_MEMORY
                                             ? log_line(0x339, zk_test::kAllocFailed)
                                             : log_line(0x33C, zk_test::kKernelFailed)});
      continue;
    }
    EXPECT_EQ(zk_emu_call_count("cudaMallocAsync"), allocations);
    EXPECT_EQ(zk_emu_call_count("cudaMemset"), clears);
    EXPECT_EQ(zk_emu_call_count("cudaLaunchKernel"), launches);
    EXPECT_TRUE(error_log().empty());
  }
}

// Every failure a caller can meet: status, the one log line, the scratch allocations made
// (none for an empty extent) and every one released, no further segment queued after a
// failed scale allocation, and no runtime error left behind (the next call succeeds). Two
// segments, widths 2 and 5, unless a row empties the grid.
TEST_F(BlockQuantTest, FailurePaths) {
  ZK_REQUIRE_EMULATOR();
  struct Case {
    const char* name;
    int32_t num_rows;
    const char* fault;  // runtime call made to fail once, or null
    int32_t skip;       // successful calls before it
    zk_status_t status;
    uint32_t code;
    const char* message;
    int32_t allocations;  // scratch allocations attempted
    int32_t launches;     // kernel launches attempted
    int32_t num_groups = 17;
    bq::Blocks num_blocks = {0, 1, 0, 0, 2, 0, 0, 0};
  };
  const Case cases[] = {
      {"single row: clear", 1, "cudaMemset", 0, ZK_STATUS_DEVICE_FAILURE, 0x33C,
       zk_test::kKernelFailed, 0, 0},
      {"single row: input scratch", 1, "cudaMallocAsync", 0, ZK_STATUS_NO_MEMORY, 0x339,
       zk_test::kAllocFailed, 1, 0},
      {"single row: permutation launch", 1, "cudaLaunchKernel", 0, ZK_STATUS_DEVICE_FAILURE, 0x33C,
       zk_test::kKernelFailed, 1, 1},
      {"single row: second segment launch", 1, "cudaLaunchKernel", 2, ZK_STATUS_DEVICE_FAILURE,
       0x33C, zk_test::kKernelFailed, 1, 3},
      {"single row: no groups", 1, nullptr, 0, ZK_STATUS_DEVICE_FAILURE, 0x33C,
       zk_test::kKernelFailed, 1, 3, 0},
      {"single row: no columns",
       1,
       nullptr,
       0,
       ZK_STATUS_DEVICE_FAILURE,
       0x33C,
       zk_test::kKernelFailed,
       0,
       1,
       17,
       {0, 0, 0, 0, 0, 0, 0, 0}},
      {"batched: input scratch", 3, "cudaMallocAsync", 0, ZK_STATUS_NO_MEMORY, 0x339,
       zk_test::kAllocFailed, 1, 0},
      {"batched: permutation launch", 3, "cudaLaunchKernel", 0, ZK_STATUS_DEVICE_FAILURE, 0x33C,
       zk_test::kKernelFailed, 1, 1},
      {"batched: clear", 3, "cudaMemset", 0, ZK_STATUS_DEVICE_FAILURE, 0x33C,
       zk_test::kKernelFailed, 1, 1},
      {"batched: first segment scales", 3, "cudaMallocAsync", 1, ZK_STATUS_NO_MEMORY, 0x339,
       zk_test::kAllocFailed, 2, 1},
      {"batched: second segment scales", 3, "cudaMallocAsync", 2, ZK_STATUS_NO_MEMORY, 0x339,
       zk_test::kAllocFailed, 3, 3},
      {"batched: scale decoding launch", 3, "cudaLaunchKernel", 1, ZK_STATUS_DEVICE_FAILURE, 0x33C,
       zk_test::kKernelFailed, 3, 5},
      {"batched: second product launch", 3, "cudaLaunchKernel", 4, ZK_STATUS_DEVICE_FAILURE, 0x33C,
       zk_test::kKernelFailed, 3, 5},
      {"batched: untiling scratch", 3, "cudaMallocAsync", 3, ZK_STATUS_NO_MEMORY, 0x339,
       zk_test::kAllocFailed, 4, 5},
      {"batched: untiling launch", 3, "cudaLaunchKernel", 5, ZK_STATUS_DEVICE_FAILURE, 0x33C,
       zk_test::kKernelFailed, 4, 6},
      {"batched: copy back", 3, "cudaMemcpyAsync", 0, ZK_STATUS_DEVICE_FAILURE, 0x33A,
       zk_test::kCopyToDevice, 4, 6},
      {"batched: no rows", 0, nullptr, 0, ZK_STATUS_DEVICE_FAILURE, 0x33C, zk_test::kKernelFailed,
       0, 1},
      {"batched: no groups", 3, nullptr, 0, ZK_STATUS_DEVICE_FAILURE, 0x33C, zk_test::kKernelFailed,
       1, 5, 0},
  };
  const bq::Weights healthy_weights =
      bq::random_weights(17, {0, 1, 0, 0, 2, 0, 0, 0}, 500, dyadic_scales);
  const Operands healthy =
      upload(healthy_weights, dyadic_input(2 * static_cast<size_t>(healthy_weights.columns), 502),
             2, false);
  zk_ocu_op_weight_16x8_args_t healthy_args = record(healthy, healthy_weights, 2);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bq::Weights w = bq::random_weights(c.num_groups, c.num_blocks, 500, dyadic_scales);
    const std::vector<float> input = dyadic_input(static_cast<size_t>(c.num_rows) * w.columns, 501);
    const Operands o = upload(w, input, c.num_rows, false);
    zk_ocu_op_weight_16x8_args_t args = record(o, w, c.num_rows);
    zk_ocu_error_log_clear();
    const int64_t allocations = zk_emu_call_count("cudaMallocAsync");
    const int64_t releases = zk_emu_call_count("cudaFreeAsync");
    const int64_t launches = zk_emu_call_count("cudaLaunchKernel");
    if (c.fault != nullptr)
      zk_emu_inject_fault(c.fault, c.skip, 1, zk_test::kErrorMemoryAllocation);
    EXPECT_EQ(vorel187(device_, nullptr, &args), c.status);
    EXPECT_EQ(error_log(), std::vector<std::string>{log_line(c.code, c.message)});
    const bool allocation_failed = c.fault != nullptr && std::string(c.fault) == "cudaMallocAsync";
    EXPECT_EQ(zk_emu_call_count("cudaMallocAsync") - allocations, c.allocations);
    EXPECT_EQ(zk_emu_call_count("cudaFreeAsync") - releases,
              c.allocations - (allocation_failed ? 1 : 0));
    EXPECT_EQ(zk_emu_call_count("cudaLaunchKernel") - launches, c.launches);

    zk_ocu_error_log_clear();
    EXPECT_EQ(vorel187(device_, nullptr, &healthy_args), ZK_STATUS_OK);
    EXPECT_TRUE(error_log().empty());
  }
}

// A runtime error left by an earlier call (here a failed buffer release) is reported by the
// first check, at the scratch allocation; the scratch obtained by then is given back.
TEST_F(BlockQuantTest, EarlierErrorReportedAtAllocation) {
  ZK_REQUIRE_EMULATOR();
  const bq::Weights w = bq::random_weights(1, {0, 0, 0, 1, 0, 0, 0, 0}, 600, dyadic_scales);
  for (int32_t num_rows : {1, 3}) {
    SCOPED_TRACE(testing::Message() << "M " << num_rows);
    const std::vector<float> input = dyadic_input(static_cast<size_t>(num_rows) * w.columns, 601);
    const Operands o = upload(w, input, num_rows, false);
    zk_ocu_op_weight_16x8_args_t args = record(o, w, num_rows);
    zk_ocu_buffer* empty = vorel30(device_, 4, 0);
    zk_emu_inject_fault("cudaFreeAsync", 0, 1, zk_test::kErrorInvalidValue);
    vorel55(device_, empty);
    zk_ocu_error_log_clear();
    const int64_t allocations = zk_emu_call_count("cudaMallocAsync");
    const int64_t releases = zk_emu_call_count("cudaFreeAsync");
    EXPECT_EQ(vorel187(device_, nullptr, &args), ZK_STATUS_NO_MEMORY);
    EXPECT_EQ(error_log(), std::vector<std::string>{log_line(0x339, zk_test::kAllocFailed)});
    EXPECT_EQ(zk_emu_call_count("cudaMallocAsync") - allocations, 1);
    EXPECT_EQ(zk_emu_call_count("cudaFreeAsync") - releases, 1);
    EXPECT_EQ(vorel187(device_, nullptr, &args), ZK_STATUS_OK);
  }
}

// A launch failure in the preprocessing is reported after all launches are queued; the
// segments whose launches succeeded, before and after the failed one, are converted, and the
// failed one is left as it was.
TEST_F(BlockQuantTest, PreprocessingLaunchFailure) {
  ZK_REQUIRE_EMULATOR();
  bq::Random random(700);
  std::vector<uint8_t> bytes(16 * (3 + 5 + 7));
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random.below(256));
  std::vector<uint8_t> expected = bytes;
  for (const auto& [width, at] : {std::pair<int, size_t>{3, 0}, {7, 16 * (3 + 5)}}) {
    const std::vector<uint8_t> split = bq::split_block(bq::unpack_block(&bytes[at], width), width);
    std::memcpy(&expected[at], split.data(), split.size());
  }
  zk_ocu_buffer* weights = operand(bytes);
  zk_ocu_op_weight_16x8_preprocess_blocks_args_t args{weights, 1, {0, 0, 1, 0, 1, 0, 1, 0}};
  const int64_t launches = zk_emu_call_count("cudaLaunchKernel");
  zk_emu_inject_fault("cudaLaunchKernel", 1, 1, zk_test::kErrorInvalidValue);
  EXPECT_EQ(vorel252(device_, nullptr, &args), ZK_STATUS_DEVICE_FAILURE);
  EXPECT_EQ(zk_emu_call_count("cudaLaunchKernel") - launches, 3);
  EXPECT_EQ(error_log(), std::vector<std::string>{log_line(0x33C, zk_test::kKernelFailed)});
  EXPECT_EQ(result<uint8_t>(weights, 0, bytes.size()), expected);
}

}  // namespace
