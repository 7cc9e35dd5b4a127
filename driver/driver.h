// The driver's entry points as plain functions, so that the module's four
// exports stay one-line wrappers and the tests can drive the same code
// without loading the module.
#pragma once
#include "driver/ovhost.h"

// Binds the host functions, keeps the host objects and registers acquire
// as the driver's acquire command. Answers 1 when registered.
int driver_startup(OV_RESOLVER resolver, void* application_record, OV_TIMER* timer, OVD_ACQUIRE_FN acquire);
void driver_shutdown();

bool acquire_command(int acq, void* parent_window, KVBASE* host_store, int flags);
void destroy_thread_context(void* context);

// The settings file's name inside the host's settings folder.
#define U62_SETTINGS_FILE "Brisel.ini"
