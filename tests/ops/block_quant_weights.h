// Block-quantized weights as the engine would prepare them, built from the format description
// alone: per-element codes and per-block scale codes, the packed and plane-split byte layouts,
// the scale buffer, a random column permutation and the dequantized matrix.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <utility>
#include <vector>

namespace zk_test {
namespace block_quant {

using Blocks = std::array<int32_t, 8>;  // entry b - 1: column blocks stored at b bits

// Plane widths of each block width, lowest code bits first.
inline const std::vector<int>& plane_widths(int b) {
  static const std::vector<int> kPlanes[8] = {{1},    {2},    {2, 1},    {4},
                                              {4, 1}, {4, 2}, {4, 2, 1}, {8}};
  return kPlanes[b - 1];
}

// Sign bit 15, exponent bits 10-14, mantissa bits 0-9: (-1)^s * m * 2^(e - 35).
inline double scale_value(uint16_t code) {
  const double magnitude = std::ldexp(static_cast<double>(code & 0x3FF), ((code >> 10) & 31) - 35);
  return (code & 0x8000) != 0 ? -magnitude : magnitude;
}

inline uint16_t make_scale_code(bool negative, int exponent, int mantissa) {
  return static_cast<uint16_t>((negative ? 0x8000 : 0) | exponent << 10 | mantissa);
}

// The nearest code to `value`, with the finest exponent that holds its mantissa.
inline uint16_t nearest_scale_code(double value) {
  const bool negative = value < 0;
  const double magnitude = std::fabs(value);
  for (int e = 0; e < 32; ++e) {
    const double mantissa = std::nearbyint(std::ldexp(magnitude, 35 - e));
    if (mantissa <= 1023) return make_scale_code(negative, e, static_cast<int>(mantissa));
  }
  return make_scale_code(negative, 31, 1023);
}

// Deterministic across standard libraries, unlike the std distributions.
class Random {
 public:
  explicit Random(uint32_t seed) : engine_(seed) {}
  uint32_t below(uint32_t bound) { return static_cast<uint32_t>(engine_() % bound); }
  // Uniform in [-1, 1) with 24 random bits.
  float symmetric() { return std::ldexp(static_cast<float>(engine_() >> 8), -23) - 1.0f; }

 private:
  std::mt19937 engine_;
};

// 128 codes of a block, row-major (code v = 8 r + j).
using BlockCodes = std::array<uint32_t, 128>;

// Packed layout: one little-endian bit stream, code v at bits v b .. v b + b - 1.
inline std::vector<uint8_t> packed_block(const BlockCodes& codes, int b) {
  std::vector<uint8_t> bytes(16 * b, 0);
  for (int v = 0; v < 128; ++v) {
    for (int bit = 0; bit < b; ++bit) {
      if ((codes[v] >> bit) & 1) bytes[(v * b + bit) / 8] |= 1 << ((v * b + bit) % 8);
    }
  }
  return bytes;
}

inline BlockCodes unpack_block(const uint8_t* bytes, int b) {
  BlockCodes codes{};
  for (int v = 0; v < 128; ++v) {
    for (int bit = 0; bit < b; ++bit) {
      const int position = v * b + bit;
      codes[v] |= static_cast<uint32_t>((bytes[position / 8] >> (position % 8)) & 1) << bit;
    }
  }
  return codes;
}

// Plane-split layout: a plane of width w takes 16 w bytes; row r is the w-byte little-endian
// word at r w and column j its bits j w .. j w + w - 1.
inline std::vector<uint8_t> split_block(const BlockCodes& codes, int b) {
  std::vector<uint8_t> bytes(16 * b, 0);
  int plane_start = 0, low_bit = 0;
  for (int w : plane_widths(b)) {
    for (int r = 0; r < 16; ++r) {
      for (int j = 0; j < 8; ++j) {
        const uint32_t field = (codes[8 * r + j] >> low_bit) & ((1u << w) - 1);
        for (int bit = 0; bit < w; ++bit) {
          const int position = 8 * (plane_start + r * w) + j * w + bit;
          if ((field >> bit) & 1) bytes[position / 8] |= 1 << (position % 8);
        }
      }
    }
    plane_start += 16 * w;
    low_bit += w;
  }
  return bytes;
}

struct Weights {
  int32_t num_groups = 0;
  Blocks num_blocks{};
  int32_t rows = 0;     // N
  int32_t columns = 0;  // K
  std::vector<uint32_t> permutation;
  std::vector<uint32_t> codes;         // N x K, permuted column order
  std::vector<uint16_t> offset_codes;  // num_groups x K / 8
  std::vector<uint16_t> step_codes;    // num_groups x K / 8

  int width_of_block(int32_t column_block) const {
    int32_t end = 0;
    for (int b = 1; b <= 8; ++b) {
      end += num_blocks[b - 1];
      if (column_block < end) return b;
    }
    return 0;
  }
  double offset(int32_t n, int32_t j) const {
    return scale_value(offset_codes[(n / 16) * (columns / 8) + j / 8]);
  }
  double step(int32_t n, int32_t j) const {
    return scale_value(step_codes[(n / 16) * (columns / 8) + j / 8]);
  }
  double dequantized(int32_t n, int32_t j) const {
    return step(n, j) * codes[n * columns + j] + offset(n, j);
  }
  BlockCodes block_codes(int32_t group, int32_t column_block) const {
    BlockCodes block{};
    for (int v = 0; v < 128; ++v) {
      block[v] = codes[(16 * group + v / 8) * columns + 8 * column_block + v % 8];
    }
    return block;
  }

  // Visits the blocks in buffer order: segments by ascending width, row-group-major inside.
  void for_each_block(const std::function<void(int, int32_t, int32_t)>& visit) const {
    int32_t first = 0;
    for (int b = 1; b <= 8; ++b) {
      for (int32_t g = 0; g < num_groups; ++g) {
        for (int32_t c = 0; c < num_blocks[b - 1]; ++c) visit(b, g, first + c);
      }
      first += num_blocks[b - 1];
    }
  }
  std::vector<uint8_t> weight_bytes(bool plane_split) const {
    std::vector<uint8_t> bytes;
    for_each_block([&](int b, int32_t g, int32_t cb) {
      const BlockCodes block = block_codes(g, cb);
      const std::vector<uint8_t> layout =
          plane_split ? split_block(block, b) : packed_block(block, b);
      bytes.insert(bytes.end(), layout.begin(), layout.end());
    });
    return bytes;
  }
  std::vector<uint16_t> scale_buffer() const {
    std::vector<uint16_t> scales;
    for_each_block([&](int, int32_t g, int32_t cb) {
      scales.push_back(offset_codes[g * (columns / 8) + cb]);
      scales.push_back(step_codes[g * (columns / 8) + cb]);
    });
    return scales;
  }
};

inline Weights empty_weights(int32_t num_groups, const Blocks& num_blocks, Random& random) {
  Weights w;
  w.num_groups = num_groups;
  w.num_blocks = num_blocks;
  w.rows = 16 * num_groups;
  for (int32_t f : num_blocks) w.columns += 8 * f;
  w.permutation.resize(w.columns);
  for (int32_t j = 0; j < w.columns; ++j) w.permutation[j] = j;
  for (int32_t j = w.columns - 1; j > 0; --j)
    std::swap(w.permutation[j], w.permutation[random.below(j + 1)]);
  w.codes.assign(static_cast<size_t>(w.rows) * w.columns, 0);
  w.offset_codes.assign(static_cast<size_t>(num_groups) * (w.columns / 8), 0);
  w.step_codes.assign(w.offset_codes.size(), 0);
  return w;
}

// Random codes of each block's width; the scale pair of block (group, column block, width)
// comes from `scales`.
inline Weights random_weights(
    int32_t num_groups, const Blocks& num_blocks, uint32_t seed,
    const std::function<std::pair<uint16_t, uint16_t>(int32_t, int32_t, int, Random&)>& scales) {
  Random random(seed);
  Weights w = empty_weights(num_groups, num_blocks, random);
  for (int32_t n = 0; n < w.rows; ++n) {
    for (int32_t j = 0; j < w.columns; ++j) {
      w.codes[n * w.columns + j] = random.below(1u << w.width_of_block(j / 8));
    }
  }
  for (int32_t g = 0; g < num_groups; ++g) {
    for (int32_t cb = 0; cb < w.columns / 8; ++cb) {
      const auto pair = scales(g, cb, w.width_of_block(cb), random);
      w.offset_codes[g * (w.columns / 8) + cb] = pair.first;
      w.step_codes[g * (w.columns / 8) + cb] = pair.second;
    }
  }
  return w;
}

// Quantizes `matrix` (N x K, input column order): permuted column j holds input column
// permutation[j]; each block stores its minimum as the offset and its range over 2^b - 1
// levels as the step, both rounded to scale codes, and the nearest code for every element.
inline Weights quantize(const std::vector<float>& matrix, int32_t num_groups,
                        const Blocks& num_blocks, uint32_t seed) {
  Random random(seed);
  Weights w = empty_weights(num_groups, num_blocks, random);
  for (int32_t g = 0; g < num_groups; ++g) {
    for (int32_t cb = 0; cb < w.columns / 8; ++cb) {
      const int b = w.width_of_block(cb);
      auto element = [&](int v) {
        return static_cast<double>(
            matrix[(16 * g + v / 8) * w.columns + w.permutation[8 * cb + v % 8]]);
      };
      double low = element(0), high = element(0);
      for (int v = 1; v < 128; ++v) {
        low = std::min(low, element(v));
        high = std::max(high, element(v));
      }
      const uint16_t offset_code = nearest_scale_code(low);
      const uint16_t step_code = nearest_scale_code((high - low) / ((1 << b) - 1));
      w.offset_codes[g * (w.columns / 8) + cb] = offset_code;
      w.step_codes[g * (w.columns / 8) + cb] = step_code;
      const double offset = scale_value(offset_code), step = scale_value(step_code);
      for (int v = 0; v < 128; ++v) {
        const double level = step > 0 ? std::nearbyint((element(v) - offset) / step) : 0.0;
        w.codes[(16 * g + v / 8) * w.columns + 8 * cb + v % 8] =
            static_cast<uint32_t>(std::clamp(level, 0.0, static_cast<double>((1 << b) - 1)));
      }
    }
  }
  return w;
}

// output[m][n] = sum over j of W[n][j] * input[m][permutation[j]], in double precision; and
// the sum of the magnitudes of the products the device forms (|offset x| + |step q x|).
struct Reference {
  std::vector<double> value;
  std::vector<double> magnitude;
};

inline Reference reference_product(const Weights& w, const std::vector<float>& input,
                                   int32_t num_rows) {
  Reference result;
  result.value.assign(static_cast<size_t>(num_rows) * w.rows, 0.0);
  result.magnitude.assign(result.value.size(), 0.0);
  for (int32_t m = 0; m < num_rows; ++m) {
    for (int32_t n = 0; n < w.rows; ++n) {
      double sum = 0, magnitude = 0;
      for (int32_t j = 0; j < w.columns; ++j) {
        const double x = input[static_cast<size_t>(m) * w.columns + w.permutation[j]];
        sum += w.dequantized(n, j) * x;
        magnitude +=
            (std::fabs(w.offset(n, j)) + std::fabs(w.step(n, j) * w.codes[n * w.columns + j])) *
            std::fabs(x);
      }
      result.value[static_cast<size_t>(m) * w.rows + n] = sum;
      result.magnitude[static_cast<size_t>(m) * w.rows + n] = magnitude;
    }
  }
  return result;
}

}  // namespace block_quant
}  // namespace zk_test
