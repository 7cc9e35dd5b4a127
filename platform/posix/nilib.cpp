// Linux's NI-488.2-compatible library keeps the NI entry names but without
// the narrow/wide suffixes, and exports its status as plain variables.
#include "platform/nilib.h"

#include <cstdio>
#include <cstring>

const char* plat_ni_library_name() { return "libgpib.so.0"; }

const char* plat_ni_entry_name(const char* windows_name, char* buf, size_t size) {
  if (!buf || size == 0) return buf;
  buf[0] = '\0';
  if (!windows_name) return buf;
  std::snprintf(buf, size, "%s", windows_name);
  static const char* const narrow[] = {"ibbnaA", "ibfindA", "ibrdfA", "ibwrtfA", "iblockxA"};
  for (const char* n : narrow) {
    if (std::strcmp(windows_name, n) == 0) {
      size_t len = std::strlen(buf);
      if (len > 0) buf[len - 1] = '\0';
      break;
    }
  }
  return buf;
}

const char* plat_ni_status_name(int which) {
  switch (which) {
    case PLAT_NI_STATUS_WORD:
      return "ibsta";
    case PLAT_NI_ERROR_CODE:
      return "iberr";
    default:
      return "ibcntl";
  }
}

unsigned plat_ni_quiet_errors_begin() { return 0; }

void plat_ni_quiet_errors_end(unsigned) {}
