// Marks are flock()ed files in one folder. The kernel drops a flock when
// the last descriptor of the open file goes away, so a crashed holder never
// leaves an interface locked, and two opens of one file in one process
// conflict just as two processes do. A file lock also holds across network
// namespaces, which abstract sockets would not.
#include "platform/ifmark.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

struct PLAT_MARK_IMPL {
  int fd;
};

namespace {
// ORVANE_MARK_DIR lets a test run keep its marks apart from a real driver's.
const char* mark_dir() {
  const char* dir = std::getenv("ORVANE_MARK_DIR");
  return (dir && *dir) ? dir : "/tmp/orvane-interface-marks";
}

// Every byte outside [A-Za-z0-9._-] is written as %XX, so any name maps to
// one file name and "/" or ".." cannot leave the folder.
void encode(const char* name, char* out, size_t size) {
  static const char hex[] = "0123456789ABCDEF";
  size_t n = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p && n + 4 < size; ++p) {
    unsigned char c = *p;
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
                 (c == '.' && n > 0);
    if (plain) {
      out[n++] = static_cast<char>(c);
    } else {
      out[n++] = '%';
      out[n++] = hex[c >> 4];
      out[n++] = hex[c & 15];
    }
  }
  out[n] = '\0';
}
}  // namespace

PLAT_MARK_RESULT plat_mark_create(const char* name, PLAT_MARK* out) {
  *out = nullptr;
  const char* dir = mark_dir();
  if (mkdir(dir, 01777) == 0) chmod(dir, 01777);
  char enc[800];
  encode(name ? name : "", enc, sizeof enc);
  char path[1100];
  std::snprintf(path, sizeof path, "%s/%s%s", dir, *enc ? "" : "%00", enc);
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return PLAT_MARK_FAILED;
  fchmod(fd, 0666);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    close(fd);
    return err == EWOULDBLOCK ? PLAT_MARK_EXISTS : PLAT_MARK_FAILED;
  }
  PLAT_MARK m = new (std::nothrow) PLAT_MARK_IMPL{fd};
  if (!m) {
    close(fd);
    return PLAT_MARK_FAILED;
  }
  *out = m;
  return PLAT_MARK_CREATED;
}

void plat_mark_close(PLAT_MARK mark) {
  if (!mark) return;
  close(mark->fd);
  delete mark;
}
