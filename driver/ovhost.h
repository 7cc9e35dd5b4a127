// The binary interface between the host application and a driver module:
// the module's four exports, the 22 host support functions it binds by
// name, and the two host objects it is handed. Shared by the driver and by
// every host (orvane-host and the tests).
#pragma once
#include <cstdint>

class KVBASE;

// Host timer object: only its third virtual operation is used, and it
// answers microseconds. The first two are the host's own business.
struct OV_TIMER {
  virtual void reserved_0() {}
  virtual void reserved_1() {}
  virtual int64_t microseconds() = 0;
};

// Offset of the settings folder text inside the application record.
enum { OV_APP_SETTINGS_FOLDER_OFFSET = 1300 };

// Thread commands and states.
enum {
  OV_CMD_STOP = 4,
  OV_CMD_ABORT = 5,
  OV_STATE_STARTED = 1,
  OV_STATE_ENDED_EARLY = 7,
  OV_FINISH_NORMAL = 4,
};

// Flag bits of the acquire command.
enum {
  OVD_FLAG_NO_DIALOG = 1,
  OVD_FLAG_NO_LOAD = 4,
  OVD_FLAG_NO_SAVE = 8,
};

extern "C" {
typedef void* (*OV_RESOLVER)(const char* name);
typedef bool (*OVD_ACQUIRE_FN)(int acq, void* parent_window, KVBASE* host_store, int flags);
typedef uint32_t (*OVD_THREAD_FN)(void* context);
typedef void (*OVD_DESTROY_FN)(void* context);

typedef intptr_t (*OV_register_driver_fn)(void* instance, const char* name, int a, int b, int c, OVD_ACQUIRE_FN acquire);
typedef void (*OV_unregister_driver_fn)(intptr_t handle);
typedef void (*OV_lock_fn)(int acq);
typedef void (*OV_unlock_fn)(int acq);
typedef int (*OV_available_slots_fn)();
typedef void (*OV_set_thread_command_fn)(int acq, int command);
typedef bool (*OV_init_acquisition_fn)(int acq, const char* name, int one, OVD_THREAD_FN thread, void* context,
                                       OVD_DESTROY_FN destroy, int flags);
typedef void (*OV_cancel_acquisition_fn)(int acq);
typedef void (*OV_start_acquisition_fn)(int acq);
typedef bool (*OV_update_acquisition_parameters_fn)(int acq, KVBASE* store);
typedef void (*OV_finish_acquisition_fn)(int acq, int how);
typedef bool (*OV_acquisition_gate_fn)(int acq);
typedef void (*OV_set_thread_state_fn)(int acq, int state);
typedef int (*OV_thread_command_fn)(int acq);
typedef int (*OV_thread_state_fn)(int acq);
typedef void (*OV_printf_fn)(const char* format, ...);
typedef bool (*OV_alloc_timing_records_fn)(int acq);
typedef bool (*OV_timing_acquisition_done_fn)(int acq);
typedef void (*OV_process_sample_fn)(int acq, int channel, double reading);

// The module's exports.
int OVD_startup(OV_RESOLVER resolver, void* application_record, OV_TIMER* timer);
void OVD_shutdown();
bool OVD_CMD_acquire(int acq, void* parent_window, KVBASE* host_store, int flags);
void OVD_destroy_thread_context(void* context);
}

// The 22 host functions, in the order the driver binds them.
#define OV_HOST_FUNCTIONS(X)                 \
  X(OV_register_driver)                      \
  X(OV_unregister_driver)                    \
  X(OV_lock)                                 \
  X(OV_unlock)                               \
  X(OV_available_slots)                      \
  X(OV_set_thread_command)                   \
  X(OV_init_acquisition)                     \
  X(OV_cancel_acquisition)                   \
  X(OV_start_acquisition)                    \
  X(OV_update_acquisition_parameters)        \
  X(OV_finish_acquisition)                   \
  X(OV_acquisition_gate)                     \
  X(OV_set_thread_state)                     \
  X(OV_thread_command)                       \
  X(OV_thread_state)                         \
  X(OV_failure_printf)                       \
  X(OV_warning_printf)                       \
  X(OV_status_printf)                        \
  X(OV_alloc_timing_records)                 \
  X(OV_timing_acquisition_done)              \
  X(OV_process_acquired_phase_diff_sample)   \
  X(OV_process_acquired_freq_sample)

typedef OV_printf_fn OV_failure_printf_fn;
typedef OV_printf_fn OV_warning_printf_fn;
typedef OV_printf_fn OV_status_printf_fn;
typedef OV_process_sample_fn OV_process_acquired_phase_diff_sample_fn;
typedef OV_process_sample_fn OV_process_acquired_freq_sample_fn;
