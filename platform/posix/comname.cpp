#include "platform/comname.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>

namespace {

struct FIXED_RANGE {
  int first;           // first COM number of the range
  const char* prefix;  // device path without its index
};
const FIXED_RANGE kFixed[] = {{1, "/dev/ttyS"}, {33, "/dev/ttyUSB"}, {65, "/dev/ttyACM"}};
enum { FIXED_RANGE_LEN = 32 };

// The devices folder, or null when the environment names none or it is not
// a folder.
const char* devices_folder() {
  const char* dir = getenv("ORVANE_DEVICES");
  if (!dir || !*dir) return nullptr;
  struct stat st;
  if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) return nullptr;
  return dir;
}

bool put(char* path, size_t size, int len) {
  if (len < 0 || static_cast<size_t>(len) >= size) {
    if (size) path[0] = '\0';
    return false;
  }
  return true;
}

// n from the digits of text, which must be all digits without a leading
// zero; 0 when not or when out of range.
int parse_number(const char* text) {
  if (*text < '1' || *text > '9') return 0;
  int n = 0;
  for (; *text; ++text) {
    if (*text < '0' || *text > '9') return 0;
    n = n * 10 + (*text - '0');
    if (n > PLAT_COM_MAX) return 0;
  }
  return n;
}

// Linux creates /dev/ttyS nodes for UART slots that have no chip behind
// them; the serial core reports their type as 0 (unknown).
bool phantom_uart(const char* path) {
  const char* name = std::strrchr(path, '/');
  if (!name || std::strncmp(name + 1, "ttyS", 4) != 0) return false;
  char sys[96];
  if (snprintf(sys, sizeof sys, "/sys/class/tty/%s/type", name + 1) >= static_cast<int>(sizeof sys)) return false;
  FILE* f = fopen(sys, "r");
  if (!f) return false;
  int type = -1;
  bool known = fscanf(f, "%d", &type) == 1;
  fclose(f);
  return known && type == 0;
}

}  // namespace

int plat_com_parse_name(const char* name) {
  if (!name) return 0;
  if ((name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm') return 0;
  const char* digits = name + 3;
  // Leading zeros are accepted here ("COM07") because users type them; the
  // number is what counts.
  while (*digits == '0' && digits[1]) ++digits;
  return parse_number(digits);
}

bool plat_com_device_path(int n, char* path, size_t size) {
  if (size) path[0] = '\0';
  if (n < 1 || n > PLAT_COM_MAX || size == 0) return false;
  if (const char* dir = devices_folder()) return put(path, size, snprintf(path, size, "%s/com%d", dir, n));
  for (const FIXED_RANGE& r : kFixed) {
    if (n >= r.first && n < r.first + FIXED_RANGE_LEN)
      return put(path, size, snprintf(path, size, "%s%d", r.prefix, n - r.first));
  }
  return false;
}

bool plat_com_path_for_name(const char* name, char* path, size_t size) {
  if (size) path[0] = '\0';
  if (!name || !*name || size == 0) return false;
  if (int n = plat_com_parse_name(name)) return plat_com_device_path(n, path, size);
  if (name[0] == '/') return put(path, size, snprintf(path, size, "%s", name));
  if ((name[0] | 0x20) == 'c' && (name[1] | 0x20) == 'o' && (name[2] | 0x20) == 'm' && name[3] >= '0' &&
      name[3] <= '9')
    return false;  // a COM number out of range, not a device called "com999"
  return put(path, size, snprintf(path, size, "/dev/%s", name));
}

int plat_com_list(int* numbers, int capacity) {
  int count = 0;
  if (!numbers || capacity <= 0) return 0;
  if (const char* dir = devices_folder()) {
    // Collect into a bitmap so that the answer comes out ascending whatever
    // order the folder lists its entries in.
    bool present[PLAT_COM_MAX + 1] = {};
    DIR* d = opendir(dir);
    if (!d) return 0;
    while (dirent* e = readdir(d)) {
      if (std::strncmp(e->d_name, "com", 3) != 0) continue;
      int n = parse_number(e->d_name + 3);
      if (!n) continue;
      char path[PLAT_COM_PATH_SIZE];
      struct stat st;
      // stat follows the link: a link to a device that is gone is no port.
      if (plat_com_device_path(n, path, sizeof path) && stat(path, &st) == 0) present[n] = true;
    }
    closedir(d);
    for (int n = 1; n <= PLAT_COM_MAX && count < capacity; ++n)
      if (present[n]) numbers[count++] = n;
    return count;
  }
  for (int n = 1; n <= PLAT_COM_MAX && count < capacity; ++n) {
    char path[PLAT_COM_PATH_SIZE];
    struct stat st;
    if (!plat_com_device_path(n, path, sizeof path)) continue;
    if (stat(path, &st) == 0 && S_ISCHR(st.st_mode) && !phantom_uart(path)) numbers[count++] = n;
  }
  return count;
}

int plat_com_number(const char* path) {
  if (!path || !*path) return 0;
  char wanted[PATH_MAX];
  bool resolved = realpath(path, wanted) != nullptr;
  for (int n = 1; n <= PLAT_COM_MAX; ++n) {
    char candidate[PLAT_COM_PATH_SIZE];
    if (!plat_com_device_path(n, candidate, sizeof candidate)) continue;
    if (std::strcmp(candidate, path) == 0) return n;
    if (!resolved) continue;
    char real[PATH_MAX];
    if (realpath(candidate, real) && std::strcmp(real, wanted) == 0) return n;
  }
  return 0;
}
