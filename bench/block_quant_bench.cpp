// Speed of the block-quantized weight product (vorel187).
//
// Single row: 4096 x 4096 and 4096 x 14336 weights at 2, 4 and 8 bits, as effective memory
// bandwidth (weight, scale, input and output bytes over the time per call) next to a
// device-to-device copy (vorel292) measured in the same run. Batched: M = 16, 64 and 256 rows
// on the same weights, as GFLOP/s next to cuBLAS SGEMM on the dequantized float weights,
// whose result also serves as a check of the product.
//
// Against the emulated back end (--smoke) it runs tiny shapes once, without cuBLAS, to check
// that the program works.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "zk_ocu.h"

#if ZK_BENCH_CUBLAS
#include <cublas_v2.h>
#include <cuda_runtime.h>
#endif

namespace {

zk_ocu_device* device = nullptr;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "%s failed\n", what);
  for (int i = 0; i < zk_ocu_error_log_count(); ++i) {
    std::fprintf(stderr, "  %s\n", zk_ocu_error_log_text(i));
  }
  std::exit(1);
}

void check(zk_status_t status, const char* what) {
  if (status != ZK_STATUS_OK) fail(what);
}

zk_ocu_buffer* upload(const void* data, size_t bytes) {
  zk_ocu_buffer* buffer = vorel30(device, static_cast<int32_t>(bytes), 0);
  if (buffer == nullptr) fail("buffer creation");
  check(vorel300(device, buffer, data, 0, static_cast<int32_t>(bytes)), "upload");
  return buffer;
}

// Waits for everything queued: a synchronous download waits for the null stream, which
// waits for the device's other streams.
void synchronize(zk_ocu_buffer* any) {
  float value;
  check(vorel273(device, any, &value, 0, sizeof value), "download");
#if ZK_BENCH_CUBLAS
  if (cudaDeviceSynchronize() != cudaSuccess) fail("cudaDeviceSynchronize");
#endif
}

// Seconds per call of `run`, after `warmup` unmeasured calls.
template <typename F>
double seconds_per_call(zk_ocu_buffer* any, int warmup, int iterations, F&& run) {
  for (int i = 0; i < warmup; ++i) run();
  synchronize(any);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < iterations; ++i) run();
  synchronize(any);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  return elapsed.count() / iterations;
}

// Weights of one width b in 1, 2, 4 or 8 bits, whose packed and plane-split layouts agree.
struct Weights {
  int32_t rows, columns, bits;
  std::vector<uint8_t> blocks;
  std::vector<uint16_t> scales;
  std::vector<uint32_t> permutation;

  Weights(int32_t n, int32_t k, int32_t b, std::mt19937& random)
      : rows(n),
        columns(k),
        bits(b),
        blocks(static_cast<size_t>(n) * k * b / 8),
        scales(static_cast<size_t>(n / 16) * (k / 8) * 2),
        permutation(k) {
    for (uint8_t& byte : blocks) byte = static_cast<uint8_t>(random());
    for (size_t i = 0; i < scales.size(); i += 2) {
      scales[i] = static_cast<uint16_t>(0x8000 | 20 << 10 | (random() & 0x3FF));  // offset
      scales[i + 1] = static_cast<uint16_t>(18 << 10 | (random() & 0x3FF));       // step
    }
    for (int32_t j = 0; j < k; ++j) permutation[j] = j;
    std::shuffle(permutation.begin(), permutation.end(), random);
  }

  size_t scale_bytes() const { return scales.size() * sizeof(uint16_t); }

  static double scale_value(uint16_t code) {
    const double magnitude = std::ldexp(code & 0x3FF, ((code >> 10) & 31) - 35);
    return (code & 0x8000) != 0 ? -magnitude : magnitude;
  }

  // Row-major N x K in input column order: permuted column j is input column permutation[j].
  std::vector<float> dequantized() const {
    std::vector<float> matrix(static_cast<size_t>(rows) * columns);
    const int32_t column_blocks = columns / 8;
    for (int32_t n = 0; n < rows; ++n) {
      const int32_t g = n / 16, r = n % 16;
      for (int32_t c = 0; c < column_blocks; ++c) {
        const size_t block = static_cast<size_t>(g) * column_blocks + c;
        const uint8_t* row = &blocks[block * 16 * bits + r * bits];
        uint64_t word = 0;
        for (int32_t i = 0; i < bits; ++i) word |= static_cast<uint64_t>(row[i]) << (8 * i);
        const double offset = scale_value(scales[2 * block]);
        const double step = scale_value(scales[2 * block + 1]);
        for (int32_t j = 0; j < 8; ++j) {
          const double q = static_cast<double>((word >> (j * bits)) & ((1u << bits) - 1));
          matrix[static_cast<size_t>(n) * columns + permutation[8 * c + j]] =
              static_cast<float>(step * q + offset);
        }
      }
    }
    return matrix;
  }
};

struct Product {
  zk_ocu_op_weight_16x8_args_t args{};
  std::vector<zk_ocu_buffer*> owned;

  Product(const Weights& w, int32_t num_rows, zk_ocu_buffer* input, zk_ocu_buffer* output) {
    args.output = output;
    args.input = input;
    args.permutation = keep(upload(w.permutation.data(), w.permutation.size() * 4));
    args.scales = keep(upload(w.scales.data(), w.scale_bytes()));
    args.weights = keep(upload(w.blocks.data(), w.blocks.size()));
    args.num_rows = num_rows;
    args.num_groups = w.rows / 16;
    args.num_blocks[w.bits - 1] = w.columns / 8;
  }
  ~Product() {
    for (zk_ocu_buffer* buffer : owned) vorel55(device, buffer);
  }
  zk_ocu_buffer* keep(zk_ocu_buffer* buffer) {
    owned.push_back(buffer);
    return buffer;
  }
  void run() { check(vorel187(device, nullptr, &args), "vorel187"); }
};

std::vector<float> random_floats(size_t count, std::mt19937& random) {
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> values(count);
  for (float& v : values) v = uniform(random);
  return values;
}

struct Shape {
  int32_t rows, columns;
};

}  // namespace

int main(int argc, char** argv) {
  const bool smoke = argc > 1 && std::strcmp(argv[1], "--smoke") == 0;
  check(vorel209(0, &device), "opening device 0");
  std::mt19937 random(2024);

  const std::vector<Shape> shapes =
      smoke ? std::vector<Shape>{{256, 512}} : std::vector<Shape>{{4096, 4096}, {4096, 14336}};
  const std::vector<int32_t> batches =
      smoke ? std::vector<int32_t>{16, 65} : std::vector<int32_t>{16, 64, 256};
  const int32_t bit_widths[] = {2, 4, 8};
  const int warmup = smoke ? 0 : 3;
  const int iterations = smoke ? 1 : 50;

  // The copy baseline: read and write of the whole buffer.
  const size_t copy_bytes = smoke ? (1u << 20) : (256u << 20);
  std::vector<uint8_t> copy_data(copy_bytes, 1);
  zk_ocu_buffer* copy_from = upload(copy_data.data(), copy_bytes);
  zk_ocu_buffer* copy_to = upload(copy_data.data(), copy_bytes);
  zk_ocu_op_copy_args_t copy{copy_to, copy_from, static_cast<int32_t>(copy_bytes), 0, 0};
  const double copy_seconds = seconds_per_call(
      copy_to, warmup, iterations, [&] { check(vorel292(device, nullptr, &copy), "vorel292"); });
  const double copy_bandwidth = 2.0 * copy_bytes / copy_seconds / 1e9;
  std::printf("device-to-device copy of %zu MiB: %.1f GB/s (bytes read + written)\n\n",
              copy_bytes >> 20, copy_bandwidth);

  std::printf("single row: effective bandwidth of weights + scales + input + output\n");
  std::printf("%6s %6s %4s %10s %8s %8s\n", "N", "K", "bits", "us/call", "GB/s", "of copy");
  for (const Shape& shape : shapes) {
    const std::vector<float> x = random_floats(shape.columns, random);
    zk_ocu_buffer* input = upload(x.data(), x.size() * 4);
    zk_ocu_buffer* output = upload(x.data(), static_cast<size_t>(shape.rows) * 4);
    for (int32_t bits : bit_widths) {
      const Weights w(shape.rows, shape.columns, bits, random);
      Product product(w, 1, input, output);
      const double seconds = seconds_per_call(output, warmup, iterations, [&] { product.run(); });
      const double bytes = static_cast<double>(w.blocks.size() + w.scale_bytes()) +
                           4.0 * (shape.columns + shape.rows);
      std::printf("%6d %6d %4d %10.1f %8.1f %7.0f%%\n", shape.rows, shape.columns, bits,
                  seconds * 1e6, bytes / seconds / 1e9,
                  100.0 * bytes / seconds / 1e9 / copy_bandwidth);
    }
    vorel55(device, input);
    vorel55(device, output);
  }

#if ZK_BENCH_CUBLAS
  cublasHandle_t cublas;
  if (cublasCreate(&cublas) != CUBLAS_STATUS_SUCCESS) fail("cublasCreate");
  std::printf("\nbatched: 2 M N K flops per call; cuBLAS SGEMM on the dequantized weights\n");
  std::printf("%4s %6s %6s %4s %10s %9s %10s %9s %8s %10s\n", "M", "N", "K", "bits", "us/call",
              "GFLOP/s", "cuBLAS us", "GFLOP/s", "speedup", "max error");
#else
  std::printf("\nbatched: 2 M N K flops per call\n");
  std::printf("%4s %6s %6s %4s %10s %9s\n", "M", "N", "K", "bits", "us/call", "GFLOP/s");
#endif
  for (const Shape& shape : shapes) {
    for (int32_t bits : bit_widths) {
      const Weights w(shape.rows, shape.columns, bits, random);
#if ZK_BENCH_CUBLAS
      const std::vector<float> dequantized = w.dequantized();
      zk_ocu_buffer* float_weights = upload(dequantized.data(), dequantized.size() * 4);
#endif
      for (int32_t m : batches) {
        const std::vector<float> x = random_floats(static_cast<size_t>(m) * shape.columns, random);
        zk_ocu_buffer* input = upload(x.data(), x.size() * 4);
        const size_t output_bytes = static_cast<size_t>(m) * shape.rows * 4;
        std::vector<float> zeros(static_cast<size_t>(m) * shape.rows, 0.0f);
        zk_ocu_buffer* output = upload(zeros.data(), output_bytes);
        Product product(w, m, input, output);
        const double seconds = seconds_per_call(output, warmup, iterations, [&] { product.run(); });
        const double flops = 2.0 * m * shape.rows * shape.columns;
#if ZK_BENCH_CUBLAS
        zk_ocu_buffer* reference = upload(zeros.data(), output_bytes);
        // Row-major C[M][N] = X[M][K] W[N][K]^T is column-major C^T = W^T' X^T.
        const float one = 1.0f, zero = 0.0f;
        auto address = [](zk_ocu_buffer* b) {
          return reinterpret_cast<float*>(static_cast<uintptr_t>(b->address));
        };
        const double cublas_seconds = seconds_per_call(output, warmup, iterations, [&] {
          if (cublasSgemm(cublas, CUBLAS_OP_T, CUBLAS_OP_N, shape.rows, m, shape.columns, &one,
                          address(float_weights), shape.columns, address(input), shape.columns,
                          &zero, address(reference), shape.rows) != CUBLAS_STATUS_SUCCESS) {
            fail("cublasSgemm");
          }
        });
        std::vector<float> ours(zeros.size()), theirs(zeros.size());
        check(vorel273(device, output, ours.data(), 0, static_cast<int32_t>(output_bytes)),
              "download");
        check(vorel273(device, reference, theirs.data(), 0, static_cast<int32_t>(output_bytes)),
              "download");
        double largest = 0.0, error = 0.0;
        for (size_t i = 0; i < ours.size(); ++i) {
          largest = std::max(largest, std::fabs(static_cast<double>(theirs[i])));
          error = std::max(error, std::fabs(static_cast<double>(ours[i]) - theirs[i]));
        }
        std::printf("%4d %6d %6d %4d %10.1f %9.0f %10.1f %9.0f %7.2fx %10.2e\n", m, shape.rows,
                    shape.columns, bits, seconds * 1e6, flops / seconds / 1e9, cublas_seconds * 1e6,
                    flops / cublas_seconds / 1e9, cublas_seconds / seconds, error / largest);
        vorel55(device, reference);
#else
        std::printf("%4d %6d %6d %4d %10.1f %9.2f\n", m, shape.rows, shape.columns, bits,
                    seconds * 1e6, flops / seconds / 1e9);
#endif
        vorel55(device, input);
        vorel55(device, output);
      }
#if ZK_BENCH_CUBLAS
      vorel55(device, float_weights);
#endif
    }
  }
#if ZK_BENCH_CUBLAS
  cublasDestroy(cublas);
#endif
  synchronize(copy_to);
  vorel55(device, copy_from);
  vorel55(device, copy_to);
  vorel334(device);
  return 0;
}
