#include "platform/syserror.h"

#include <cerrno>
#include <cstring>

int plat_last_error() { return errno; }

void plat_set_last_error(int code) { errno = code; }

bool plat_last_error_text(char* buf, size_t size) {
  if (size == 0) return false;
  buf[0] = '\0';
  int code = errno;
  if (code == 0) return false;
  char tmp[256];
  // GNU strerror_r may answer a static text instead of filling tmp.
  const char* text = strerror_r(code, tmp, sizeof tmp);
  if (!text || !*text) return false;
  std::strncpy(buf, text, size - 1);
  buf[size - 1] = '\0';
  return true;
}
