#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "drivers/shared/comblock/comblock.h"
#include "drivers/shared/comblock/comblock_internal.h"
#include "platform/msgbox.h"
#include "platform/syserror.h"

namespace {

void show(const char* description, const char* format, va_list args) {
  char text[1024];
  if (!description || !*description) description = "Hosed";
  std::snprintf(text, sizeof text, "%s", description);
  // The system speaks of files where a serial port could not be found.
  for (char* at = std::strstr(text, "file"); at; at = std::strstr(text, "file")) std::memcpy(at, "port", 4);
  char caption[4096];
  if (format)
    std::vsnprintf(caption, sizeof caption, format, args);
  else
    std::snprintf(caption, sizeof caption, "Error");
  plat_message_box(text, caption, PLAT_MB_OK | PLAT_MB_ICONINFORMATION);
}

}  // namespace

void system_error_box(const char* format, ...) {
  // Take the error before anything else can overwrite it.
  char description[512];
  if (!plat_last_error_text(description, sizeof description)) description[0] = '\0';
  va_list args;
  va_start(args, format);
  show(description, format, args);
  va_end(args);
}

void comblock_error_box_text(const char* description, const char* format, ...) {
  va_list args;
  va_start(args, format);
  show(description, format, args);
  va_end(args);
}

void comblock_set_error_text(char* error_text, int size, const char* text) {
  if (!error_text || size <= 0) return;
  std::snprintf(error_text, static_cast<size_t>(size), "%s", text);
}
