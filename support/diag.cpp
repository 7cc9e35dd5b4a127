#include "support/diag.h"

#include <cstdarg>
#include <cstdio>

#include "dialog/surface.h"
#include "platform/console.h"
#include "platform/thread.h"

void attach_debug_console() { plat_attach_debug_console(); }

void name_thread(const char* name, int thread_id) {
  if (!plat_debugger_present()) return;
  // Only the calling thread can be named portably; every caller names itself.
  if (thread_id == -1) plat_name_current_thread(name);
}

void dlg_printf(DLGSURFACE* dialog, int item_id, const char* format, ...) {
  char text[4096];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n < 0) text[0] = 0;
  dialog->set_text(item_id, text);
}
