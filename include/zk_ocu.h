/*
 * zk_ocu.h - public boundary of the CUDA implementation of the ocu device layer.
 *
 * The engine lists GPUs, opens one as a zk_ocu_device, creates zk_ocu_buffer objects, fills them,
 * runs operators (one entry point per network operation, each taking an argument record) and
 * reads results back. Every operator queues its work on the calling thread's null stream and
 * returns without waiting; the synchronous host copies wait for everything queued before them.
 *
 * Export names are opaque numbers. Device management, buffers and ten operators are exported
 * with C linkage; the other operators keep C++ linkage, so their decorated export names carry
 * the record type name - renaming a record type changes the binary interface.
 *
 * Records are plain C structs with natural alignment; the engine builds them with the same
 * layout. Buffer operands are zk_ocu_buffer pointers; each kernel reads the buffer's device
 * address (its first member) plus the matching *_offset byte offset where the record has one.
 */
#ifndef ZK_OCU_H_
#define ZK_OCU_H_

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#if defined(ZK_OCU_BUILDING)
#define ZK_OCU_API __declspec(dllexport)
#else
#define ZK_OCU_API __declspec(dllimport)
#endif
#else
#define ZK_OCU_API __attribute__((visibility("default")))
#endif

/* Number of CUDA streams an open device owns. */
#define ZK_OCU_STREAM_COUNT 8

/* C++ gets the 32-bit signed base spelled out; C compilers pick a 32-bit type on their own. */
#ifdef __cplusplus
#define ZK_OCU_STATUS_BASE : int32_t
#else
#define ZK_OCU_STATUS_BASE
#endif

/* Outcome of every entry point that reports one. No other values are produced. */
typedef enum zk_status_t ZK_OCU_STATUS_BASE {
  ZK_STATUS_OK = 0,
  ZK_STATUS_NO_MEMORY = 1,
  ZK_STATUS_BAD_ARGUMENT = 3,
  ZK_STATUS_DEVICE_FAILURE = 7
} zk_status_t;

#undef ZK_OCU_STATUS_BASE

#ifdef __cplusplus
static_assert(sizeof(zk_status_t) == 4, "zk_status_t must be 32 bits wide");
static_assert(static_cast<int64_t>(static_cast<zk_status_t>(-1)) < 0, "zk_status_t must be signed");
#endif

/* ------------------------------------------------------------------------------------------ */
/* Devices and buffers                                                                         */
/* ------------------------------------------------------------------------------------------ */

/* GPU properties recorded when a device is opened; zero-filled where a query failed. */
typedef struct zk_ocu_device_properties {
  const char* properties_error; /* runtime error text if the properties query failed, else null */
  int32_t major;
  int32_t minor;
  int32_t driver_version;
  const char* driver_version_error; /* error text if the driver version query failed */
  int32_t runtime_version;
  const char* runtime_version_error; /* error text if the runtime version query failed */
  uint64_t total_global_memory;
  int32_t multiprocessor_count;
  int32_t max_threads_per_multiprocessor;
  int32_t max_threads_per_block;
  int32_t shared_memory_per_block;          /* low 32 bits of the runtime's value */
  int32_t shared_memory_per_multiprocessor; /* low 32 bits of the runtime's value */
  int32_t max_threads_dim[3];
  int32_t max_grid_size[3];
} zk_ocu_device_properties;

/* An open GPU. Owned by the library from open to close. */
typedef struct zk_ocu_device {
  int32_t device_id;                    /* CUDA ordinal selected for the opening thread */
  zk_ocu_device_properties* properties; /* owned by the device */
  void** streams;                       /* ZK_OCU_STREAM_COUNT cudaStream_t handles */
} zk_ocu_device;

/* A device allocation. Operators read only `address`, which must stay the first member. */
typedef struct zk_ocu_buffer {
  uint64_t address;  /* device address of the allocation */
  int32_t size;      /* bytes */
  int32_t flag;      /* the creator's value, stored and never interpreted */
  int32_t map_count; /* outstanding maps */
  void* host_mirror; /* host copy while map_count > 0, else null */
} zk_ocu_buffer;

/* The engine's operator handle; passed to every operator and never dereferenced. */
typedef struct zk_ocu_operator zk_ocu_operator;

/* ------------------------------------------------------------------------------------------ */
/* Argument records                                                                            */
/* ------------------------------------------------------------------------------------------ */

/* Device-to-device byte copy. */
typedef struct zk_ocu_op_copy_args_t {
  zk_ocu_buffer* output;
  zk_ocu_buffer* input;
  int32_t size; /* bytes */
  int32_t output_offset;
  int32_t input_offset;
} zk_ocu_op_copy_args_t;

/* Zero fill of a byte range. */
typedef struct zk_ocu_op_zero_args_t {
  zk_ocu_buffer* output;
  int32_t size; /* bytes */
  int32_t output_offset;
} zk_ocu_op_zero_args_t;

/* In-place shift of every row of a byte matrix toward its start. */
typedef struct zk_ocu_op_memmove_args_t {
  zk_ocu_buffer* data; /* [rows][row_bytes], from the buffer's start */
  int32_t rows;
  int32_t row_bytes;
  int32_t distance; /* bytes each row moves, at least 1 */
} zk_ocu_op_memmove_args_t;

/* One-input elementwise functions: float unary functions, int32-to-float, and the 16-bit
 * fixed-point conversion, sigmoid and rectifier. */
typedef struct zk_ocu_op_elementwise_args_t {
  zk_ocu_buffer* output;
  zk_ocu_buffer* input;
  int32_t count; /* elements */
  int32_t output_offset;
  int32_t input_offset;
} zk_ocu_op_elementwise_args_t;

/* Elementwise operations on two equal-sized tensors (float arithmetic, int16 saturating add). */
typedef struct zk_ocu_op_pairwise_args_t {
  zk_ocu_buffer* output;
  zk_ocu_buffer* input_a;
  zk_ocu_buffer* input_b;
  int32_t count; /* elements */
  int32_t output_offset;
  int32_t input_a_offset;
  int32_t input_b_offset;
} zk_ocu_op_pairwise_args_t;

/* Matrix-by-vector arithmetic with the vector repeated along rows or columns. */
typedef struct zk_ocu_op_pairwise_broadcast_args_t {
  zk_ocu_buffer* output;  /* [rows][cols] float32 */
  zk_ocu_buffer* input_a; /* [rows][cols] float32 */
  zk_ocu_buffer* input_b; /* [cols] or [rows] float32, by operator */
  int32_t rows;
  int32_t cols;
  int32_t output_offset;
  int32_t input_a_offset;
  int32_t input_b_offset;
} zk_ocu_op_pairwise_broadcast_args_t;

/* Tensor-with-scalar float arithmetic. */
typedef struct zk_ocu_op_elementwise_scalar_args_t {
  zk_ocu_buffer* output;
  zk_ocu_buffer* input;
  float scalar;
  int32_t count; /* elements */
  int32_t output_offset;
  int32_t input_offset;
} zk_ocu_op_elementwise_scalar_args_t;

/* Scaling of q10 values by a q10 scalar. */
typedef struct zk_ocu_op_mulsv_args_t {
  zk_ocu_buffer* output;
  zk_ocu_buffer* input;
  int16_t scalar;      /* q10 */
  int32_t no_rounding; /* non-zero: truncate instead of rounding */
  int32_t count;       /* elements */
  int32_t output_offset;
  int32_t input_offset;
} zk_ocu_op_mulsv_args_t;

/* Per-column shift and scale of a q10 matrix. */
typedef struct zk_ocu_op_shift_scale_args_t {
  zk_ocu_buffer* output; /* [rows][cols] int16 */
  zk_ocu_buffer* input;  /* [rows][cols] int16 */
  zk_ocu_buffer* shift;  /* [cols] int16, from the buffer's start */
  zk_ocu_buffer* scale;  /* [cols] int16, from the buffer's start */
  int32_t rows;
  int32_t cols;
  int32_t output_offset;
  int32_t input_offset;
} zk_ocu_op_shift_scale_args_t;

/* Per-row top-k gating, with or without a softmax over the selection. No offsets. */
typedef struct zk_ocu_op_gate_args_t {
  zk_ocu_buffer* indices; /* out: [rows][top_k] int32 */
  zk_ocu_buffer* weights; /* out: [rows][top_k] float32 */
  zk_ocu_buffer* logits;  /* in: [rows][cols] float32 */
  int32_t rows;
  int32_t top_k;
  int32_t cols;
} zk_ocu_op_gate_args_t;

/* Row and column operations on a [rows][cols] matrix (reverse, column mean, q10 column sum,
 * row softmax, polar-to-spectrum) and the q10-to-q31 row softmax. */
typedef struct zk_ocu_op_elementwise_broadcast_args_t {
  zk_ocu_buffer* output;
  zk_ocu_buffer* input;
  int32_t rows;
  int32_t cols;
  int32_t output_offset;
  int32_t input_offset;
} zk_ocu_op_elementwise_broadcast_args_t;

/* One step of the fixed-point recurrent cell. */
typedef struct zk_ocu_op_lstm_cell_args_t {
  zk_ocu_buffer* output; /* h, [count] int16 q10 */
  zk_ocu_buffer* state;  /* c, [count] int16 q10, updated in place */
  zk_ocu_buffer* gates;  /* [3][count] int16 q10 pre-activations, overwritten */
  int32_t count;
  int32_t output_offset;
  int32_t state_offset;
  int32_t gates_offset;
} zk_ocu_op_lstm_cell_args_t;

/* Block-quantized weight product. */
typedef struct zk_ocu_op_weight_16x8_args_t {
  zk_ocu_buffer* output;      /* [num_rows][16 * num_groups] float32 */
  zk_ocu_buffer* input;       /* [num_rows][K] float32 */
  zk_ocu_buffer* permutation; /* [K] uint32, from the buffer's start */
  zk_ocu_buffer* scales;      /* uint16 scale codes, from the buffer's start */
  zk_ocu_buffer* weights;     /* weight blocks, from the buffer's start */
  int32_t num_rows;
  int32_t num_groups;    /* 16-row weight groups */
  int32_t num_blocks[8]; /* entry b - 1: column blocks stored at b bits */
  int32_t output_offset;
  int32_t input_offset;
} zk_ocu_op_weight_16x8_args_t;

/* Rewrite of packed 3-, 5-, 6- and 7-bit weight blocks into the plane-split layout. */
typedef struct zk_ocu_op_weight_16x8_preprocess_blocks_args_t {
  zk_ocu_buffer* weights; /* rewritten in place, from the buffer's start */
  int32_t num_groups;
  int32_t num_blocks[8];
} zk_ocu_op_weight_16x8_preprocess_blocks_args_t;

/* Dense float product with the right operand stored one row per output column. */
typedef struct zk_ocu_op_matmul_args_t {
  zk_ocu_buffer* output; /* [num_rows][num_cols] */
  zk_ocu_buffer* lhs;    /* [num_rows][depth] */
  zk_ocu_buffer* rhs;    /* [num_cols][depth] */
  int32_t num_rows;
  int32_t num_cols;
  int32_t depth;
  int32_t output_offset;
  int32_t lhs_offset;
  int32_t rhs_offset;
} zk_ocu_op_matmul_args_t;

/* Batched Einstein sum, abce,bde->abcd (mode != 0) or abce,cde->abcd (mode == 0). No offsets. */
typedef struct zk_ocu_op_einsum_args_t {
  zk_ocu_buffer* output;
  zk_ocu_buffer* lhs;
  zk_ocu_buffer* rhs;
  int32_t mode;
  int32_t dim_a;
  int32_t dim_b;
  int32_t dim_c;
  int32_t dim_d;
  int32_t dim_e; /* contracted length */
} zk_ocu_op_einsum_args_t;

/* Int8 one-dimensional convolution across channels over int16 frames. */
typedef struct zk_ocu_op_conv1d_args_t {
  zk_ocu_buffer* output; /* [output_length][out_channels] int32 */
  zk_ocu_buffer* weight; /* [out_channels][kernel_size][in_channels] int8 */
  zk_ocu_buffer* input;  /* [output_length + kernel_size - 1][in_channels] int16 */
  int32_t output_length;
  int32_t out_channels;
  int32_t in_channels;
  int32_t kernel_size;
  int32_t output_offset;
  int32_t weight_offset;
  int32_t input_offset;
} zk_ocu_op_conv1d_args_t;

/* Int8 depthwise one-dimensional convolution. */
typedef struct zk_ocu_op_conv1d_depthwise_args_t {
  zk_ocu_buffer* output; /* [output_length][channels] int32 */
  zk_ocu_buffer* weight; /* [kernel_size][channels] int8 */
  zk_ocu_buffer* input;  /* [output_length + kernel_size - 1][channels] int16 */
  int32_t output_length;
  int32_t channels;
  int32_t kernel_size;
  int32_t output_offset;
  int32_t weight_offset;
  int32_t input_offset;
} zk_ocu_op_conv1d_depthwise_args_t;

/* Int8 depthwise transposed (upsampling) one-dimensional convolution. */
typedef struct zk_ocu_op_conv1d_transposed_depthwise_args_t {
  zk_ocu_buffer* output; /* [(input_length - 1) * stride + kernel_size][channels] int32 */
  zk_ocu_buffer* weight; /* [kernel_size][channels] int8 */
  zk_ocu_buffer* input;  /* [input_length][channels] int16 */
  int32_t input_length;
  int32_t channels;
  int32_t kernel_size; /* a multiple of stride */
  int32_t stride;
  int32_t output_offset;
  int32_t weight_offset;
  int32_t input_offset;
} zk_ocu_op_conv1d_transposed_depthwise_args_t;

/* Float two-dimensional convolution over channel-first images. No offsets. */
typedef struct zk_ocu_op_conv2d_args_t {
  zk_ocu_buffer* output; /* [batch_size][out_channels][OH][OW] */
  zk_ocu_buffer* input;  /* [batch_size][in_channels][input_height][input_width] */
  zk_ocu_buffer* weight; /* [out_channels][in_channels][kernel_height][kernel_width] */
  int32_t stride;
  int32_t padding;
  int32_t batch_size;
  int32_t out_channels;
  int32_t in_channels;
  int32_t input_height;
  int32_t input_width;
  int32_t kernel_height;
  int32_t kernel_width;
} zk_ocu_op_conv2d_args_t;

/* Int8 linear layer on int16 activations (written, or added to the output). */
typedef struct zk_ocu_op_linear_int8_args_t {
  zk_ocu_buffer* output; /* [num_rows][num_cols] int16 */
  zk_ocu_buffer* input;  /* [num_rows][depth] int16 */
  zk_ocu_buffer* weight; /* [num_cols][depth] int8, from the buffer's start */
  zk_ocu_buffer* bias;   /* [num_cols] int8, from the buffer's start */
  int32_t num_rows;
  int32_t num_cols;
  int32_t depth;
  int32_t output_offset;
  int32_t input_offset;
} zk_ocu_op_linear_int8_args_t;

/* The residual form of the int8 linear layer takes the same fields. */
typedef zk_ocu_op_linear_int8_args_t zk_ocu_op_linear_int8_add_args_t;

/* Split-sequence scaled dot-product attention. No offsets. */
typedef struct zk_ocu_op_sdpa_args_t {
  zk_ocu_buffer* output; /* [batch_size][query_length][num_heads][head_dim] */
  zk_ocu_buffer* query;  /* [batch_size][query_length][num_heads][head_dim] */
  zk_ocu_buffer* key;    /* [batch_size][key_length][num_kv_heads][head_dim] */
  zk_ocu_buffer* value;  /* [batch_size][key_length][num_kv_heads][head_dim] */
  int32_t batch_size;
  int32_t query_length;
  int32_t key_length;
  int32_t num_heads;
  int32_t num_kv_heads;
  int32_t head_dim;
} zk_ocu_op_sdpa_args_t;

/* Staged attention: scaled scores from float32 keys. No offsets. */
typedef struct zk_ocu_op_sdpa_scores_args_t {
  zk_ocu_buffer* scores; /* [batch_size][num_heads][query_length][key_length] */
  zk_ocu_buffer* query;
  zk_ocu_buffer* key;
  int32_t batch_size;
  int32_t query_length;
  int32_t key_length;
  int32_t num_heads;
  int32_t num_kv_heads;
  int32_t head_dim;
} zk_ocu_op_sdpa_scores_args_t;

/* Staged attention: scaled scores from 8-bit keys. No offsets. */
typedef struct zk_ocu_op_sdpa_scores_u8_args_t {
  zk_ocu_buffer* scores;
  zk_ocu_buffer* query;
  zk_ocu_buffer* key;        /* uint8 codes [batch_size][capacity][num_kv_heads][head_dim] */
  zk_ocu_buffer* key_params; /* float32 (step, minimum) [batch_size][capacity][2] */
  int32_t batch_size;
  int32_t query_length;
  int32_t key_length;
  int32_t capacity;
  int32_t num_heads;
  int32_t num_kv_heads;
  int32_t head_dim;
} zk_ocu_op_sdpa_scores_u8_args_t;

/* Staged attention: mask scores outside each query row's allowed key interval. No offsets. */
typedef struct zk_ocu_op_sdpa_mask_apply_args_t {
  zk_ocu_buffer* scores;
  zk_ocu_buffer* ranges; /* [query_length][2] int32, inclusive first and last key */
  int32_t num_matrices;
  int32_t query_length;
  int32_t key_length;
} zk_ocu_op_sdpa_mask_apply_args_t;

/* Staged attention: add per-row and per-column biases to the scores. No offsets. */
typedef struct zk_ocu_op_sdpa_bias_apply_args_t {
  zk_ocu_buffer* scores;      /* [num_matrices][num_rows][num_columns] */
  zk_ocu_buffer* row_bias;    /* [num_matrices][num_rows] */
  zk_ocu_buffer* column_bias; /* [num_matrices][num_columns] */
  int32_t num_matrices;
  int32_t num_rows;
  int32_t num_columns;
} zk_ocu_op_sdpa_bias_apply_args_t;

/* Staged attention: attention weights times float32 values. No offsets. */
typedef struct zk_ocu_op_sdpa_output_args_t {
  zk_ocu_buffer* output;
  zk_ocu_buffer* weights;
  zk_ocu_buffer* value;
  int32_t batch_size;
  int32_t query_length;
  int32_t key_length;
  int32_t num_heads;
  int32_t num_kv_heads;
  int32_t head_dim;
} zk_ocu_op_sdpa_output_args_t;

/* Staged attention: attention weights times 8-bit values. No offsets. */
typedef struct zk_ocu_op_sdpa_output_u8_args_t {
  zk_ocu_buffer* output;
  zk_ocu_buffer* weights;
  zk_ocu_buffer* value;        /* uint8 codes */
  zk_ocu_buffer* value_params; /* float32 (step, minimum) pairs */
  int32_t batch_size;
  int32_t query_length;
  int32_t key_length;
  int32_t capacity;
  int32_t num_heads;
  int32_t num_kv_heads;
  int32_t head_dim;
} zk_ocu_op_sdpa_output_u8_args_t;

/* Causal sliding-window attention over the compressed key/value ring. No offsets.
 * Note: minimum before step here, unlike the cache update record. */
typedef struct zk_ocu_op_attention_attend_args_t {
  zk_ocu_buffer* output;      /* [num_queries][num_heads][head_dim] float32 */
  zk_ocu_buffer* query;       /* [num_heads][num_queries][head_dim] float32 */
  zk_ocu_buffer* key_cache;   /* [num_kv_heads][capacity][head_dim] uint8 or uint16 */
  zk_ocu_buffer* key_min;     /* [num_kv_heads][capacity] float32 */
  zk_ocu_buffer* key_scale;   /* [num_kv_heads][capacity] float32 */
  zk_ocu_buffer* value_cache; /* same form as key_cache */
  zk_ocu_buffer* value_min;
  zk_ocu_buffer* value_scale;
  int32_t num_queries;
  int32_t capacity;
  int32_t position; /* absolute position of query 0 */
  int32_t num_heads;
  int32_t num_kv_heads;
  int32_t head_dim;
} zk_ocu_op_attention_attend_args_t;

/* In-place rotary encoding from a cosine/sine table. No offsets. */
typedef struct zk_ocu_op_attention_encode_args_t {
  zk_ocu_buffer* data;  /* [batch_size][sequence_length][num_heads][head_dim] float32 */
  zk_ocu_buffer* table; /* rows of (cosine, sine) pairs, table_stride floats apart */
  int32_t batch_size;
  int32_t sequence_length;
  int32_t num_heads;
  int32_t head_dim;
  int32_t table_stride;
  int32_t position;
  int32_t interleaved; /* non-zero: pairs (2j, 2j + 1); zero: pairs (j, j + head_dim / 2) */
} zk_ocu_op_attention_encode_args_t;

/* Append rows to a compressed key or value cache (8- or 16-bit codes). No offsets.
 * Note: step before minimum here, unlike the attend record. */
typedef struct zk_ocu_op_update_kv_args_t {
  zk_ocu_buffer* cache;       /* [num_heads][capacity][head_dim] uint8 or uint16 */
  zk_ocu_buffer* cache_scale; /* [num_heads][capacity] float32 */
  zk_ocu_buffer* cache_min;   /* [num_heads][capacity] float32 */
  zk_ocu_buffer* input;       /* [num_tokens][num_heads][head_dim] float32 */
  int32_t num_heads;
  int32_t num_tokens;
  int32_t head_dim;
  int32_t position;
  int32_t capacity;
} zk_ocu_op_update_kv_args_t;

/* Gaussian-weighted spreading of input vectors over output positions. No offsets.
 * Note: window_after precedes window_before. */
typedef struct zk_ocu_op_gaussian_attention_args_t {
  zk_ocu_buffer* output;  /* [num_outputs][channels] float32 */
  zk_ocu_buffer* input;   /* [num_inputs][channels] float32 */
  zk_ocu_buffer* widths;  /* [num_inputs] float32 */
  zk_ocu_buffer* centers; /* [num_inputs] float32 */
  zk_ocu_buffer* anchors; /* [num_outputs] int32 */
  int32_t num_outputs;
  int32_t num_inputs;
  int32_t channels;
  int32_t window_after;
  int32_t window_before;
} zk_ocu_op_gaussian_attention_args_t;

/* Top-k selection of a float vector. The input comes before the two outputs. */
typedef struct zk_ocu_op_topk_args_t {
  zk_ocu_buffer* input;   /* [count] float32 */
  zk_ocu_buffer* values;  /* out: [k] float32, largest first */
  zk_ocu_buffer* indices; /* out: [k] int32 */
  int32_t count;
  int32_t k;
  int32_t input_offset;
  int32_t values_offset;
  int32_t indices_offset;
} zk_ocu_op_topk_args_t;

/* Layer normalization of contiguous rows with per-element weight and bias. */
typedef struct zk_ocu_op_layer_norm_args_t {
  zk_ocu_buffer* output; /* [num_rows][dim] */
  zk_ocu_buffer* input;  /* [num_rows][dim] */
  zk_ocu_buffer* weight; /* [dim] */
  zk_ocu_buffer* bias;   /* [dim] */
  float epsilon;
  int32_t num_rows;
  int32_t dim;
  int32_t output_offset;
  int32_t input_offset;
  int32_t weight_offset;
  int32_t bias_offset;
} zk_ocu_op_layer_norm_args_t;

/* Layer normalization of contiguous rows without an affine step. */
typedef struct zk_ocu_op_layer_norm_non_affine_args_t {
  zk_ocu_buffer* output;
  zk_ocu_buffer* input;
  float epsilon;
  int32_t num_rows;
  int32_t dim;
  int32_t output_offset;
  int32_t input_offset;
} zk_ocu_op_layer_norm_non_affine_args_t;

/* Layer normalization over the channel axis of channel-first tensors. No offsets. */
typedef struct zk_ocu_op_layer_norm_batch_args_t {
  zk_ocu_buffer* output; /* [batch_size][channels][length] */
  zk_ocu_buffer* input;  /* [batch_size][channels][length] */
  zk_ocu_buffer* weight; /* [channels] */
  zk_ocu_buffer* bias;   /* [channels] */
  float epsilon;
  int32_t batch_size;
  int32_t channels;
  int32_t length;
} zk_ocu_op_layer_norm_batch_args_t;

/* Root-mean-square normalization of contiguous rows with a per-element weight. */
typedef struct zk_ocu_op_norm_args_t {
  zk_ocu_buffer* output; /* [num_rows][dim] */
  zk_ocu_buffer* input;  /* [num_rows][dim] */
  zk_ocu_buffer* weight; /* [dim] */
  float epsilon;
  int32_t num_rows;
  int32_t dim;
  int32_t output_offset;
  int32_t input_offset;
  int32_t weight_offset;
} zk_ocu_op_norm_args_t;

/* Column normalization of a [channels][length] float tensor into q10. No offsets. */
typedef struct zk_ocu_op_norm_non_affine_args_t {
  zk_ocu_buffer* output; /* [channels][length] int16 q10 */
  zk_ocu_buffer* input;  /* [channels][length] float32 */
  float epsilon;
  int32_t channels;
  int32_t length;
} zk_ocu_op_norm_non_affine_args_t;

/* Rotary position embedding, halves pairing (i, i + head_dim / 2). No offsets. */
typedef struct zk_ocu_op_rope_args_t {
  zk_ocu_buffer* output; /* [batch_size][seq_len][num_heads][head_dim]; may alias input */
  zk_ocu_buffer* input;
  int32_t batch_size;
  int32_t seq_len;
  int32_t num_heads;
  int32_t head_dim;
  int32_t position_offset;
  float log_freq_step; /* natural log of the per-pair inverse-frequency ratio */
} zk_ocu_op_rope_args_t;

/* Interleaved cosine/sine table for three-component (multimodal) positions. */
typedef struct zk_ocu_op_interleaved_mrope_compute_args_t {
  zk_ocu_buffer* output;    /* [num_tokens][dim] float32 */
  zk_ocu_buffer* positions; /* [num_tokens][3] int32, from the buffer's start */
  int32_t axis1_limit;
  int32_t axis2_limit;
  float theta;
  int32_t num_tokens;
  int32_t dim;
  int32_t output_offset;
} zk_ocu_op_interleaved_mrope_compute_args_t;

/* Two-dimensional rotary embedding of image patch tokens in merge windows. No offsets. */
typedef struct zk_ocu_op_vision_rope_args_t {
  zk_ocu_buffer* output; /* [num_tokens][num_heads][head_dim]; may alias input */
  zk_ocu_buffer* input;
  int32_t num_tokens;
  int32_t num_heads;
  int32_t head_dim;
  float theta;
  int32_t merge_size;
  int32_t merged_height;
  int32_t merged_width;
} zk_ocu_op_vision_rope_args_t;

/* Interleaved cosine/sine encoding table with per-pair frequency factors. */
typedef struct zk_ocu_op_precompute_encoding_args_t {
  zk_ocu_buffer* output;       /* [num_positions][dim] float32 */
  zk_ocu_buffer* freq_factors; /* [dim / 2] float32 */
  float theta;
  float amplitude;
  int32_t num_positions;
  int32_t dim;
  int32_t output_offset;
  int32_t freq_factors_offset;
} zk_ocu_op_precompute_encoding_args_t;

/* Relative-position table gather for every (query, key) pair. No offsets. */
typedef struct zk_ocu_op_rel_pos_lookup_args_t {
  zk_ocu_buffer* output; /* [query_length][key_length][dim] float32 */
  zk_ocu_buffer* table;  /* [table_length][dim] float32 */
  int32_t query_length;
  int32_t key_length;
  int32_t dim;
  int32_t table_length;
} zk_ocu_op_rel_pos_lookup_args_t;

/* Token embedding: scaled table row plus an absolute-position row. No offsets. */
typedef struct zk_ocu_op_embedding_args_t {
  zk_ocu_buffer* output;         /* [batch_size][seq_len][dim] float32 */
  zk_ocu_buffer* ids;            /* [batch_size][seq_len] int32 */
  zk_ocu_buffer* table;          /* [vocabulary][dim] float32 */
  zk_ocu_buffer* position_table; /* [positions][dim] float32 */
  float scale;
  int32_t position_offset;
  int32_t batch_size;
  int32_t seq_len;
  int32_t dim;
} zk_ocu_op_embedding_args_t;

/* Byte-row gather by an index list. No offsets. */
typedef struct zk_ocu_op_index_select_args_t {
  zk_ocu_buffer* output;  /* [num_indices][row_bytes] */
  zk_ocu_buffer* input;   /* rows of row_bytes bytes */
  zk_ocu_buffer* indices; /* [num_indices] int32 */
  int32_t num_indices;
  int32_t row_bytes;
} zk_ocu_op_index_select_args_t;

/* Linear resize of a channels-last signal. No offsets. */
typedef struct zk_ocu_op_interpolate_1d_args_t {
  zk_ocu_buffer* output; /* [output_length][channels] float32 */
  zk_ocu_buffer* input;  /* [input_length][channels] float32 */
  int32_t output_length;
  int32_t input_length;
  int32_t channels;
} zk_ocu_op_interpolate_1d_args_t;

/* Bicubic or corner-aligned bilinear resize of a channels-last image. No offsets. */
typedef struct zk_ocu_op_interpolate_2d_args_t {
  zk_ocu_buffer* output; /* [output_height][output_width][channels] float32 */
  zk_ocu_buffer* input;  /* [input_height][input_width][channels] float32 */
  int32_t output_height;
  int32_t output_width;
  int32_t input_height;
  int32_t input_width;
  int32_t channels;
} zk_ocu_op_interpolate_2d_args_t;

/* Swap of the two middle axes, moving opaque elements of element_bytes bytes. */
typedef struct zk_ocu_op_transpose_args_t {
  zk_ocu_buffer* output; /* [batch_size][output_rows][output_cols] elements */
  zk_ocu_buffer* input;  /* [batch_size][output_cols][output_rows] elements */
  int32_t batch_size;
  int32_t output_rows;
  int32_t output_cols;
  int32_t element_bytes;
  int32_t output_offset;
  int32_t input_offset;
} zk_ocu_op_transpose_args_t;

/* Zero padding at the end of rows and columns, and the inverse crop. No offsets. */
typedef struct zk_ocu_op_padding_args_t {
  zk_ocu_buffer* output; /* [batch_size][output_rows][output_cols * channels] 4-byte values */
  zk_ocu_buffer* input;  /* [batch_size][input_rows][input_cols * channels] 4-byte values */
  int32_t batch_size;
  int32_t output_rows;
  int32_t output_cols;
  int32_t input_rows;
  int32_t input_cols;
  int32_t channels;
} zk_ocu_op_padding_args_t;

/* Symmetric int16 row quantization with one float scale per row. */
typedef struct zk_ocu_op_quantize_args_t {
  zk_ocu_buffer* output; /* [num_rows][dim] int16 */
  zk_ocu_buffer* scales; /* [num_rows] float32 */
  zk_ocu_buffer* input;  /* [num_rows][dim] float32 */
  int32_t num_rows;
  int32_t dim;
  int32_t output_offset;
  int32_t scales_offset;
  int32_t input_offset;
} zk_ocu_op_quantize_args_t;

/* Asymmetric uint8 row quantization into a per-sequence store. Only the input has an offset. */
typedef struct zk_ocu_op_quantize_u8_args_t {
  zk_ocu_buffer* output; /* [batch_size][capacity][dim] uint8 */
  zk_ocu_buffer* params; /* [batch_size][capacity][2] float32 (step, minimum) */
  zk_ocu_buffer* input;  /* [batch_size][num_rows][dim] float32 */
  int32_t capacity;
  int32_t position; /* store row that receives input row 0 */
  int32_t batch_size;
  int32_t num_rows;
  int32_t dim;
  int32_t input_offset;
} zk_ocu_op_quantize_u8_args_t;

/* ------------------------------------------------------------------------------------------ */
/* Entry points with C linkage                                                                 */
/* ------------------------------------------------------------------------------------------ */

#ifdef __cplusplus
extern "C" {
#endif

/* Asks hybrid-graphics drivers to run this process's CUDA work on the discrete GPU; always 1. */
extern ZK_OCU_API int NvOptimusEnablementCuda;

/* Device management */

/* Lists the GPUs as "gpu:<index> - <name>" texts; free the list with vorel9. */
ZK_OCU_API zk_status_t vorel110(char*** list, int32_t* count);
/* Frees a GPU list returned by vorel110. */
ZK_OCU_API void vorel9(char** list, int32_t count);
/* Opens GPU `index` for the calling thread; *device is written only on success. */
ZK_OCU_API zk_status_t vorel209(int32_t index, zk_ocu_device** device);
/* Closes a device: destroys its streams and frees it. Does not synchronise. */
ZK_OCU_API void vorel334(zk_ocu_device* device);

/* Buffers and host memory */

/* Creates a device buffer of `size` bytes (stream-ordered); null on failure. */
ZK_OCU_API zk_ocu_buffer* vorel30(zk_ocu_device* device, int32_t size, int32_t flag);
/* Deletes a buffer; the release is queued behind work already on the null stream. */
ZK_OCU_API void vorel55(zk_ocu_device* device, zk_ocu_buffer* buffer);
/* Returns the buffer's size in bytes. */
ZK_OCU_API int32_t vorel31(zk_ocu_device* device, zk_ocu_buffer* buffer);
/* Copies `count` host bytes into the buffer at byte `offset`; waits for the copy. */
ZK_OCU_API zk_status_t vorel300(zk_ocu_device* device, zk_ocu_buffer* buffer, const void* source,
                                int32_t offset, int32_t count);
/* Copies `count` bytes from the buffer at byte `offset` to the host; waits for queued work. */
ZK_OCU_API zk_status_t vorel273(zk_ocu_device* device, zk_ocu_buffer* buffer, void* destination,
                                int32_t offset, int32_t count);
/* Maps the buffer into a host mirror (nested), downloading it when `read` is set. */
ZK_OCU_API void* vorel304(zk_ocu_device* device, zk_ocu_buffer* buffer, bool read);
/* Releases one map, uploading the mirror first when `write_back` is set. */
ZK_OCU_API void vorel3(zk_ocu_device* device, zk_ocu_buffer* buffer, bool write_back);
/* Allocates `size` bytes of host memory; null on failure. */
ZK_OCU_API void* vorel144(zk_ocu_device* device, int32_t size);
/* Frees host memory from vorel144. */
ZK_OCU_API void vorel284(zk_ocu_device* device, void* pointer);

/* Error log: the first failures since load, as formatted lines. */

/* Number of lines held. */
ZK_OCU_API int zk_ocu_error_log_count(void);
/* Line `index`, or null when out of range. */
ZK_OCU_API const char* zk_ocu_error_log_text(int index);
/* Empties the log. */
ZK_OCU_API void zk_ocu_error_log_clear(void);

/* Operators with plain export names */

/* Memory operations */

/* Device-to-device byte copy. */
ZK_OCU_API zk_status_t vorel292(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_copy_args_t* args);
/* Zero fill of a byte range. */
ZK_OCU_API zk_status_t vorel323(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_zero_args_t* args);

/* Unary float functions */

/* Rectifier: max(x, 0). */
ZK_OCU_API zk_status_t vorel122(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_elementwise_args_t* args);
/* Sigmoid approximation of the Gaussian error linear unit: x / (1 + exp(-1.702 x)). */
ZK_OCU_API zk_status_t vorel244(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_elementwise_args_t* args);

/* Fixed-point operators */

/* Saturating int16 addition. */
ZK_OCU_API zk_status_t vorel196(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_pairwise_args_t* args);
/* Per-column shift and scale of a q10 matrix. */
ZK_OCU_API zk_status_t vorel233(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_shift_scale_args_t* args);

/* Fixed-point recurrent cell and softmax */

/* One step of the q10 recurrent cell with coupled input and forget gates. */
ZK_OCU_API zk_status_t vorel32(zk_ocu_device* device, zk_ocu_operator* op,
                               zk_ocu_op_lstm_cell_args_t* args);
/* Row softmax of q10 logits into q31 probabilities. */
ZK_OCU_API zk_status_t vorel260(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_elementwise_broadcast_args_t* args);

/* Int8 linear layers on int16 activations */

/* Int8 linear layer with bias, rescaled and saturated to int16. */
ZK_OCU_API zk_status_t vorel142(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_linear_int8_args_t* args);
/* As vorel142, with the result added to the output before saturation. */
ZK_OCU_API zk_status_t vorel344(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_linear_int8_add_args_t* args);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ------------------------------------------------------------------------------------------ */
/* Operators with C++ linkage (decorated export names carry the record type)                   */
/* ------------------------------------------------------------------------------------------ */

#ifdef __cplusplus

// Memory operations

// Shifts every row of a byte matrix toward its start by `distance` bytes.
ZK_OCU_API zk_status_t vorel74(zk_ocu_device* device, zk_ocu_operator* op,
                               zk_ocu_op_memmove_args_t* args);

// Unary float functions

// Exponential.
ZK_OCU_API zk_status_t vorel298(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_elementwise_args_t* args);
// Natural logarithm.
ZK_OCU_API zk_status_t vorel302(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_elementwise_args_t* args);
// Gaussian error linear unit, tanh form.
ZK_OCU_API zk_status_t vorel60(zk_ocu_device* device, zk_ocu_operator* op,
                               zk_ocu_op_elementwise_args_t* args);
// Gaussian error linear unit, exact (erf) form.
ZK_OCU_API zk_status_t vorel175(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_elementwise_args_t* args);
// Sigmoid-weighted linear unit: x / (1 + exp(-x)).
ZK_OCU_API zk_status_t vorel123(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_elementwise_args_t* args);
// Sigmoid through the fixed-point table.
ZK_OCU_API zk_status_t vorel100(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_elementwise_args_t* args);
// Hyperbolic tangent through the fixed-point table.
ZK_OCU_API zk_status_t vorel194(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_elementwise_args_t* args);
// Conversion of int32 to float32.
ZK_OCU_API zk_status_t vorel248(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_elementwise_args_t* args);

// Binary arithmetic: two equal-sized tensors

// a + b.
ZK_OCU_API zk_status_t vorel159(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_pairwise_args_t* args);
// a - b.
ZK_OCU_API zk_status_t vorel168(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_pairwise_args_t* args);
// a * b.
ZK_OCU_API zk_status_t vorel103(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_pairwise_args_t* args);
// a / b.
ZK_OCU_API zk_status_t vorel269(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_pairwise_args_t* args);

// Binary arithmetic: matrix with a broadcast vector

// a[r][c] + b[c].
ZK_OCU_API zk_status_t vorel267(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_pairwise_broadcast_args_t* args);
// a[r][c] + b[r].
ZK_OCU_API zk_status_t vorel322(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_pairwise_broadcast_args_t* args);
// a[r][c] - b[c].
ZK_OCU_API zk_status_t vorel91(zk_ocu_device* device, zk_ocu_operator* op,
                               zk_ocu_op_pairwise_broadcast_args_t* args);
// a[r][c] - b[r].
ZK_OCU_API zk_status_t vorel107(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_pairwise_broadcast_args_t* args);
// a[r][c] * b[c].
ZK_OCU_API zk_status_t vorel104(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_pairwise_broadcast_args_t* args);
// a[r][c] * b[r].
ZK_OCU_API zk_status_t vorel61(zk_ocu_device* device, zk_ocu_operator* op,
                               zk_ocu_op_pairwise_broadcast_args_t* args);
// a[r][c] / b[c].
ZK_OCU_API zk_status_t vorel271(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_pairwise_broadcast_args_t* args);
// out[r][c] = fma(a[r][c], b[c], out[r][c]).
ZK_OCU_API zk_status_t vorel283(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_pairwise_broadcast_args_t* args);

// Binary arithmetic: tensor with a scalar

// x + scalar.
ZK_OCU_API zk_status_t vorel288(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_elementwise_scalar_args_t* args);
// scalar - x.
ZK_OCU_API zk_status_t vorel176(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_elementwise_scalar_args_t* args);
// x * scalar.
ZK_OCU_API zk_status_t vorel218(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_elementwise_scalar_args_t* args);
// scalar / x.
ZK_OCU_API zk_status_t vorel152(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_elementwise_scalar_args_t* args);

// Fixed-point operators

// q10 int16 to float32.
ZK_OCU_API zk_status_t vorel71(zk_ocu_device* device, zk_ocu_operator* op,
                               zk_ocu_op_elementwise_args_t* args);
// Sigmoid of q10 values as q15.
ZK_OCU_API zk_status_t vorel278(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_elementwise_args_t* args);
// Sigmoid of q10 values as q10.
ZK_OCU_API zk_status_t vorel341(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_elementwise_args_t* args);
// int16 rectifier.
ZK_OCU_API zk_status_t vorel245(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_elementwise_args_t* args);
// q10 values times a q10 scalar, saturated to int16.
ZK_OCU_API zk_status_t vorel124(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_mulsv_args_t* args);

// Gating

// Per-row top-k with a softmax over the selected scores.
ZK_OCU_API zk_status_t vorel113(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_gate_args_t* args);
// Per-row top-k returning the raw scores.
ZK_OCU_API zk_status_t vorel180(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_gate_args_t* args);

// Row and column operations

// Reverses each row in place.
ZK_OCU_API zk_status_t vorel27(zk_ocu_device* device, zk_ocu_operator* op,
                               zk_ocu_op_elementwise_broadcast_args_t* args);
// Mean of each column.
ZK_OCU_API zk_status_t vorel217(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_elementwise_broadcast_args_t* args);
// Column sums of a q10 matrix.
ZK_OCU_API zk_status_t vorel268(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_elementwise_broadcast_args_t* args);
// Float softmax over each row.
ZK_OCU_API zk_status_t vorel2(zk_ocu_device* device, zk_ocu_operator* op,
                              zk_ocu_op_elementwise_broadcast_args_t* args);
// Rows of log-magnitudes and phases to rows of complex spectrum values.
ZK_OCU_API zk_status_t vorel128(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_elementwise_broadcast_args_t* args);

// Block-quantized weight product and its preprocessing

// Activations times a block-quantized weight matrix (1- to 8-bit codes).
ZK_OCU_API zk_status_t vorel187(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_weight_16x8_args_t* args);
// Rewrites packed 3-, 5-, 6- and 7-bit blocks in place into the layout vorel187 reads.
ZK_OCU_API zk_status_t vorel252(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_weight_16x8_preprocess_blocks_args_t* args);

// Dense products and Einstein sums

// output[m][n] = sum_k lhs[m][k] * rhs[n][k].
ZK_OCU_API zk_status_t vorel140(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_matmul_args_t* args);
// Batched Einstein sum with two fixed contraction patterns.
ZK_OCU_API zk_status_t vorel281(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_einsum_args_t* args);

// Int8 one-dimensional convolutions

// Full convolution across channels, int32 results.
ZK_OCU_API zk_status_t vorel35(zk_ocu_device* device, zk_ocu_operator* op,
                               zk_ocu_op_conv1d_args_t* args);
// Depthwise convolution, int32 results.
ZK_OCU_API zk_status_t vorel170(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_conv1d_depthwise_args_t* args);
// Depthwise transposed (upsampling) convolution, int32 results.
ZK_OCU_API zk_status_t vorel62(zk_ocu_device* device, zk_ocu_operator* op,
                               zk_ocu_op_conv1d_transposed_depthwise_args_t* args);

// Two-dimensional convolution

// Float convolution of channel-first images.
ZK_OCU_API zk_status_t vorel208(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_conv2d_args_t* args);

// Attention

// Split-sequence scaled dot-product attention in one call.
ZK_OCU_API zk_status_t vorel46(zk_ocu_device* device, zk_ocu_operator* op,
                               zk_ocu_op_sdpa_args_t* args);
// Staged attention: scores from float32 keys.
ZK_OCU_API zk_status_t vorel189(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_sdpa_scores_args_t* args);
// Staged attention: scores from 8-bit keys.
ZK_OCU_API zk_status_t vorel201(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_sdpa_scores_u8_args_t* args);
// Staged attention: masks scores outside each row's allowed key interval.
ZK_OCU_API zk_status_t vorel153(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_sdpa_mask_apply_args_t* args);
// Staged attention: adds per-row and per-column biases to the scores.
ZK_OCU_API zk_status_t vorel221(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_sdpa_bias_apply_args_t* args);
// Staged attention: weights times float32 values.
ZK_OCU_API zk_status_t vorel64(zk_ocu_device* device, zk_ocu_operator* op,
                               zk_ocu_op_sdpa_output_args_t* args);
// Staged attention: weights times 8-bit values.
ZK_OCU_API zk_status_t vorel179(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_sdpa_output_u8_args_t* args);
// Cached attention over the 8-bit key/value ring.
ZK_OCU_API zk_status_t vorel320(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_attention_attend_args_t* args);
// Cached attention over the 16-bit key/value ring.
ZK_OCU_API zk_status_t vorel20(zk_ocu_device* device, zk_ocu_operator* op,
                               zk_ocu_op_attention_attend_args_t* args);
// In-place rotary encoding from a cosine/sine table.
ZK_OCU_API zk_status_t vorel73(zk_ocu_device* device, zk_ocu_operator* op,
                               zk_ocu_op_attention_encode_args_t* args);
// Appends rows to an 8-bit key or value cache.
ZK_OCU_API zk_status_t vorel321(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_update_kv_args_t* args);
// Appends rows to a 16-bit key or value cache.
ZK_OCU_API zk_status_t vorel41(zk_ocu_device* device, zk_ocu_operator* op,
                               zk_ocu_op_update_kv_args_t* args);
// Gaussian-weighted attention of output positions over input positions.
ZK_OCU_API zk_status_t vorel236(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_gaussian_attention_args_t* args);

// Selection

// The k largest values of a float vector with their positions.
ZK_OCU_API zk_status_t vorel117(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_topk_args_t* args);

// Normalization

// Layer normalization of rows with weight and bias.
ZK_OCU_API zk_status_t vorel224(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_layer_norm_args_t* args);
// Layer normalization of rows without an affine step.
ZK_OCU_API zk_status_t vorel261(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_layer_norm_non_affine_args_t* args);
// Layer normalization over the channel axis of channel-first tensors.
ZK_OCU_API zk_status_t vorel40(zk_ocu_device* device, zk_ocu_operator* op,
                               zk_ocu_op_layer_norm_batch_args_t* args);
// Root-mean-square normalization of rows with a weight.
ZK_OCU_API zk_status_t vorel251(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_norm_args_t* args);
// Column normalization of a float tensor into q10.
ZK_OCU_API zk_status_t vorel239(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_norm_non_affine_args_t* args);

// Rotary position embeddings

// Rotary embedding of query or key heads.
ZK_OCU_API zk_status_t vorel311(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_rope_args_t* args);
// Cosine/sine table for three-component (multimodal) positions.
ZK_OCU_API zk_status_t vorel125(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_interleaved_mrope_compute_args_t* args);
// Two-dimensional rotary embedding of image patch tokens.
ZK_OCU_API zk_status_t vorel15(zk_ocu_device* device, zk_ocu_operator* op,
                               zk_ocu_op_vision_rope_args_t* args);

// Position tables and lookups

// Cosine/sine encoding table with frequency factors and an amplitude.
ZK_OCU_API zk_status_t vorel226(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_precompute_encoding_args_t* args);
// Relative-position table rows for every (query, key) pair.
ZK_OCU_API zk_status_t vorel206(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_rel_pos_lookup_args_t* args);
// Token embedding with an absolute-position row added.
ZK_OCU_API zk_status_t vorel220(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_embedding_args_t* args);
// Gathers byte rows by an index list.
ZK_OCU_API zk_status_t vorel246(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_index_select_args_t* args);

// Resampling

// Linear resize along one axis, half-pixel centres.
ZK_OCU_API zk_status_t vorel192(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_interpolate_1d_args_t* args);
// Bicubic image resize, half-pixel centres, replicated borders.
ZK_OCU_API zk_status_t vorel264(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_interpolate_2d_args_t* args);
// Bilinear image resize with corner-aligned coordinates.
ZK_OCU_API zk_status_t vorel329(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_interpolate_2d_args_t* args);

// Layout operations

// Swaps the two middle axes of a tensor of opaque elements.
ZK_OCU_API zk_status_t vorel115(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_transpose_args_t* args);
// Zero-pads each image at the end of its rows and columns.
ZK_OCU_API zk_status_t vorel317(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_padding_args_t* args);
// Crops each image to its top-left part.
ZK_OCU_API zk_status_t vorel295(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_padding_args_t* args);

// Quantization

// Symmetric int16 row quantization with a scale per row.
ZK_OCU_API zk_status_t vorel294(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_quantize_args_t* args);
// Asymmetric uint8 row quantization into a per-sequence store.
ZK_OCU_API zk_status_t vorel339(zk_ocu_device* device, zk_ocu_operator* op,
                                zk_ocu_op_quantize_u8_args_t* args);

#endif /* __cplusplus */

#endif /* ZK_OCU_H_ */
