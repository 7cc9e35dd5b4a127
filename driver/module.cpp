// The module's four exports. Everything else in the module is hidden.
#include "driver/driver.h"
#include "driver/host_binding.h"
#include "platform/dynlib.h"
#include "support/diag.h"

#define OVD_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
// The counterpart of DllMain: runs while the loader maps the module, before
// any entry point, so the instance handle and the console are ready when
// the host first calls in.
struct MODULE_LOAD {
  MODULE_LOAD() {
    attach_debug_console();
    g_instance = plat_this_module();
  }
} module_load;
}  // namespace

OVD_EXPORT int OVD_startup(OV_RESOLVER resolver, void* application_record, OV_TIMER* timer) {
  return driver_startup(resolver, application_record, timer, OVD_CMD_acquire);
}

OVD_EXPORT void OVD_shutdown() { driver_shutdown(); }

OVD_EXPORT bool OVD_CMD_acquire(int acq, void* parent_window, KVBASE* host_store, int flags) {
  return acquire_command(acq, parent_window, host_store, flags);
}

OVD_EXPORT void OVD_destroy_thread_context(void* context) { destroy_thread_context(context); }
