/* Controls of the emulated back end: device configuration, fault injection and
 * the misuse reports of the kernel checker. Exported by libzk_ocu_impl_emu only. */
#ifndef ZK_EMU_H
#define ZK_EMU_H

#include <stdint.h>

#include "zk_ocu.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The emulated GPU as the runtime reports it. A device_count of -1 stands for a
 * machine without a driver, 0 for a driver without a GPU. */
typedef struct zk_emu_device_config {
  int32_t device_count;
  int32_t warp_size;
  int32_t max_grid_size[3];
  int32_t multiprocessor_count;
  int32_t shared_memory_per_block;
  uint64_t total_global_memory;
} zk_emu_device_config;

/* Restores the default device, clears every pending fault, the misuse reports and
 * the calling thread's last runtime error. */
ZK_OCU_API void zk_emu_reset(void);

ZK_OCU_API void zk_emu_get_device_config(zk_emu_device_config* config);
ZK_OCU_API void zk_emu_set_device_config(const zk_emu_device_config* config);

/* After `skip` further successful calls of `call` (a runtime function name such as
 * "cudaMallocAsync", "cudaLaunchKernel", or "malloc"/"calloc" for the library's host
 * allocations), the next `count` calls fail with `error` (a cudaError_t value, 0 standing
 * for out of memory; ignored for host allocations, which return null). A failing release
 * (cudaFree, cudaFreeAsync) still releases the memory, as when the runtime reports an
 * error left by earlier work. */
ZK_OCU_API void zk_emu_inject_fault(const char* call, int32_t skip, int32_t count, int32_t error);

/* Number of calls of `call` made since the last reset, for tests that count transfers. */
ZK_OCU_API int64_t zk_emu_call_count(const char* call);

/* Kernel misuse (bad shuffle masks, diverged barriers, deadlocks) found since the last reset. */
ZK_OCU_API int32_t zk_emu_misuse_count(void);
ZK_OCU_API const char* zk_emu_last_misuse_report(void);

#ifdef __cplusplus
}
#endif

#endif
