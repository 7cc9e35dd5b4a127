#include <cstring>

#include "driver/driver.h"
#include "driver/host_binding.h"
#include "support/check.h"

int driver_startup(OV_RESOLVER resolver, void* application_record, OV_TIMER* timer, OVD_ACQUIRE_FN acquire) {
  // Bound one by one in table order, so that a host lacking a function stops
  // at the first one it lacks and the report names it.
#define U62_BIND(name)                                                  \
  g_host.name = nullptr;                                                \
  g_host.name = reinterpret_cast<name##_fn>(resolver(#name));           \
  U62_CHECK(g_host.name != nullptr, #name " != NULL", "GPIB_TIC");
  OV_HOST_FUNCTIONS(U62_BIND)
#undef U62_BIND

  g_application_record = application_record;
  g_host_timer = timer;
  g_registration = g_host.OV_register_driver(g_instance, U62_DRIVER_NAME, 112, 6, 0, acquire);
  if (g_registration == 0) return 0;
  g_wait_cursor_loaded = true;
  return 1;
}

void driver_shutdown() {
  if (g_registration == 0) return;
  g_host.OV_unregister_driver(g_registration);
  g_registration = 0;
}
