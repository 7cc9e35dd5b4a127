#include "support/check.h"

#include <cstdio>
#include <cstdlib>

#include "platform/msgbox.h"

void u62_assert_failed(const char* expression, const char* source, int line) {
  char text[1024];
  std::snprintf(text, sizeof text, "Assertion failed: %s, file %s, line %d", expression, source, line);
  std::fprintf(stderr, "%s\n", text);
  std::fflush(stdout);
  std::fflush(stderr);
  plat_message_box(text, "Assertion failed", PLAT_MB_OK);
  std::abort();
}
