#include <new>

#include "dialog/setup_dialog.h"
#include "driver/acquisition.h"
#include "driver/context.h"
#include "driver/driver.h"
#include "driver/host_binding.h"

namespace {

// A context without its parameter set cannot describe a measurement; the
// command treats it as a failed allocation.
ACQ_CONTEXT* new_context() {
  ACQ_CONTEXT* context = new (std::nothrow) ACQ_CONTEXT;
  if (context && !context->params) {
    delete context;
    context = nullptr;
  }
  return context;
}

}  // namespace

bool acquire_command(int acq, void* parent_window, KVBASE* host_store, int flags) {
  if (g_host.OV_available_slots() < 1) {
    g_host.OV_warning_printf("Too many plots -- must close or delete at least one first");
    return false;
  }
  ACQ_CONTEXT* context = new_context();
  if (!context) return false;
  context->acquisition = acq;

  const char* folder = host_settings_folder();
  if (!(flags & OVD_FLAG_NO_LOAD)) context->store.load(folder, U62_SETTINGS_FILE, LOAD_KNOWN_ONLY);
  if (host_store) context->store.merge_from(host_store, false);

  if (!(flags & OVD_FLAG_NO_DIALOG) && run_setup_dialog(context, parent_window) == 0) {
    delete context;
    return false;
  }
  if (!(flags & OVD_FLAG_NO_SAVE)) context->store.save(folder, U62_SETTINGS_FILE);

  if (!g_host.OV_init_acquisition(acq, U62_DRIVER_NAME, 1, acquisition_thread, context, destroy_thread_context,
                                  flags)) {
    delete context;
    return false;
  }
  if (!g_host.OV_update_acquisition_parameters(acq, &context->store)) {
    g_host.OV_cancel_acquisition(acq);
    delete context;
    return false;
  }
  g_host.OV_start_acquisition(acq);
  return true;
}

void destroy_thread_context(void* context) { delete static_cast<ACQ_CONTEXT*>(context); }
