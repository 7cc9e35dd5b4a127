// Module-wide state: the host's 22 support functions as bound at start-up,
// the application record, the host timer, the registration handle and the
// module's instance handle. Written only by the module's start-up and
// shut-down; read without locks everywhere else.
#pragma once
#include "driver/ovhost.h"

struct OV_HOST {
#define U62_HOST_MEMBER(name) name##_fn name;
  OV_HOST_FUNCTIONS(U62_HOST_MEMBER)
#undef U62_HOST_MEMBER
};

extern OV_HOST g_host;
extern void* g_instance;
extern void* g_application_record;
extern OV_TIMER* g_host_timer;
extern intptr_t g_registration;
extern bool g_wait_cursor_loaded;

#define U62_DRIVER_NAME "Picotest/Array U6200A series ..."
#define U62_MODEL_NAME "Picotest/Array U6200A series"

// The settings folder of the application record ("" without a record).
const char* host_settings_folder();
