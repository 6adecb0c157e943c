// Loads the library the way the engine does, lists the GPUs, opens one, prints its
// properties, round-trips a buffer and prints the error log. It takes the CUDA library
// when that finds a GPU, and the emulated one otherwise.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "zk_ocu.h"

#if defined(_WIN32)
#include <windows.h>
using LibraryHandle = HMODULE;
static LibraryHandle open_library(const std::string& path) { return LoadLibraryA(path.c_str()); }
static void* find_symbol(LibraryHandle library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(library, name));
}
static void close_library(LibraryHandle library) { FreeLibrary(library); }
static const char* const kLibraryNames[] = {"zk_ocu_impl_cuda_tavro.dll", "zk_ocu_impl_emu.dll"};
#else
#include <dlfcn.h>
using LibraryHandle = void*;
static LibraryHandle open_library(const std::string& path) {
  return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}
static void* find_symbol(LibraryHandle library, const char* name) { return dlsym(library, name); }
static void close_library(LibraryHandle library) { dlclose(library); }
static const char* const kLibraryNames[] = {"libzk_ocu_impl_cuda_tavro.so",
                                            "libzk_ocu_impl_emu.so"};
#endif

namespace {

// The plain-named entry points this tool uses.
struct Library {
  LibraryHandle handle = nullptr;
  decltype(&vorel110) list_gpus = nullptr;
  decltype(&vorel9) free_gpu_list = nullptr;
  decltype(&vorel209) open_device = nullptr;
  decltype(&vorel334) close_device = nullptr;
  decltype(&vorel30) create_buffer = nullptr;
  decltype(&vorel55) delete_buffer = nullptr;
  decltype(&vorel300) copy_to_device = nullptr;
  decltype(&vorel273) copy_from_device = nullptr;
  decltype(&zk_ocu_error_log_count) log_count = nullptr;
  decltype(&zk_ocu_error_log_text) log_text = nullptr;

  template <typename Function>
  bool bind(Function& function, const char* name) {
    function = reinterpret_cast<Function>(find_symbol(handle, name));
    if (function == nullptr) std::fprintf(stderr, "missing entry point %s\n", name);
    return function != nullptr;
  }

  bool load(const std::string& path) {
    handle = open_library(path);
    if (handle == nullptr) return false;
    return bind(list_gpus, "vorel110") && bind(free_gpu_list, "vorel9") &&
           bind(open_device, "vorel209") && bind(close_device, "vorel334") &&
           bind(create_buffer, "vorel30") && bind(delete_buffer, "vorel55") &&
           bind(copy_to_device, "vorel300") && bind(copy_from_device, "vorel273") &&
           bind(log_count, "zk_ocu_error_log_count") && bind(log_text, "zk_ocu_error_log_text");
  }
};

std::string directory_of(const char* program) {
  const std::string path(program);
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

void print_error_log(const Library& library) {
  std::printf("error log: %d entries\n", library.log_count());
  for (int i = 0; i < library.log_count(); ++i) std::printf("  %s\n", library.log_text(i));
}

// Lists the GPUs of `library`; true when it found at least one.
bool list_gpus(const Library& library) {
  char** names = nullptr;
  int32_t count = 0;
  const zk_status_t status = library.list_gpus(&names, &count);
  std::printf("listing: status %d, %d GPU(s)\n", static_cast<int>(status), count);
  for (int32_t i = 0; i < count; ++i) std::printf("  %s\n", names[i]);
  library.free_gpu_list(names, count);
  return status == ZK_STATUS_OK && count > 0;
}

int run(const Library& library) {
  zk_ocu_device* device = nullptr;
  const zk_status_t status = library.open_device(0, &device);
  std::printf("open gpu 0: status %d\n", static_cast<int>(status));
  if (status != ZK_STATUS_OK) {
    print_error_log(library);
    return 1;
  }
  const zk_ocu_device_properties& p = *device->properties;
  std::printf("  compute capability %d.%d, %d multiprocessors, %.1f GiB\n", p.major, p.minor,
              p.multiprocessor_count, static_cast<double>(p.total_global_memory) / (1 << 30));
  std::printf("  driver %d, runtime %d\n", p.driver_version, p.runtime_version);
  std::printf("  threads per block %d (%d x %d x %d), grid %d x %d x %d\n", p.max_threads_per_block,
              p.max_threads_dim[0], p.max_threads_dim[1], p.max_threads_dim[2], p.max_grid_size[0],
              p.max_grid_size[1], p.max_grid_size[2]);
  std::printf("  shared memory %d bytes per block, %d per multiprocessor\n",
              p.shared_memory_per_block, p.shared_memory_per_multiprocessor);

  std::vector<uint8_t> sent(4096), received(4096, 0);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7 + 3);
  zk_ocu_buffer* buffer = library.create_buffer(device, static_cast<int32_t>(sent.size()), 0);
  bool round_trip =
      buffer != nullptr &&
      library.copy_to_device(device, buffer, sent.data(), 0, 4096) == ZK_STATUS_OK &&
      library.copy_from_device(device, buffer, received.data(), 0, 4096) == ZK_STATUS_OK &&
      received == sent;
  std::printf("buffer round trip of %zu bytes: %s\n", sent.size(), round_trip ? "ok" : "FAILED");
  library.delete_buffer(device, buffer);
  library.close_device(device);
  print_error_log(library);
  return round_trip ? 0 : 1;
}

}  // namespace

int main(int, char** argv) {
  const std::string directory = directory_of(argv[0]);
  for (const char* name : kLibraryNames) {
    Library library;
    const std::string path = directory + "/" + name;
    if (!library.load(path)) continue;
    std::printf("library: %s\n", name);
    if (list_gpus(library)) return run(library);
    print_error_log(library);
    close_library(library.handle);
  }
  std::fprintf(stderr, "no usable library found next to %s\n", argv[0]);
  return 1;
}
