// Stand-ins for the emulated library's controls when the tests run on a GPU: no faults are
// injected, nothing is counted and no misuse is reported. Tests that depend on the controls
// are skipped there.
#include <cstring>

#include "zk_emu.h"

extern "C" {

void zk_emu_reset(void) {}

void zk_emu_get_device_config(zk_emu_device_config* config) {
  std::memset(config, 0, sizeof *config);
  config->device_count = 1;
}

void zk_emu_set_device_config(const zk_emu_device_config*) {}

void zk_emu_inject_fault(const char*, int32_t, int32_t, int32_t) {}

int64_t zk_emu_call_count(const char*) { return 0; }

int32_t zk_emu_misuse_count(void) { return 0; }

const char* zk_emu_last_misuse_report(void) { return ""; }

}  // extern "C"
