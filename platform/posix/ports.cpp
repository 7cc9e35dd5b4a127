// Serial ports from the COM map of platform/comname.h, described from sysfs.
// A tty's sysfs "device" link points at the driver's device; its USB
// ancestors (the interface, then the device) carry idVendor, idProduct and
// the product text, one to three levels up depending on the driver
// (cdc_acm ports sit on the interface, usb-serial ports one below it).
#include "platform/ports.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "platform/comname.h"

namespace {

enum { ANCESTOR_LEVELS = 4 };

const char* sysfs_root() {
  const char* root = std::getenv("ORVANE_SYSFS_ROOT");
  return (root && *root) ? root : "/sys";
}

// The first line of a small text file, without its line end; false when
// the file cannot be read or is empty. Reads only files that resolve to a
// place under the sysfs root, so that ".." in a crafted tree cannot wander
// off into the rest of the file system.
bool read_line(const char* path, const char* root_real, char* out, size_t size) {
  char real[PATH_MAX];
  if (!realpath(path, real)) return false;
  size_t rl = std::strlen(root_real);
  if (std::strncmp(real, root_real, rl) != 0 || (real[rl] != '/' && real[rl] != '\0')) return false;
  FILE* f = std::fopen(real, "r");
  if (!f) return false;
  bool ok = std::fgets(out, static_cast<int>(size), f) != nullptr;
  std::fclose(f);
  if (!ok) return false;
  size_t n = std::strlen(out);
  while (n > 0 && (out[n - 1] == '\n' || out[n - 1] == '\r' || out[n - 1] == ' ')) out[--n] = '\0';
  return n > 0;
}

// The folder of the USB device that the port belongs to: the nearest of
// the device folder and its ancestors that has an idVendor file. Answers
// false when none has (a port that is not on USB).
bool find_usb_device(const char* device_dir, const char* root_real, char* out, size_t size) {
  char up[3 * ANCESTOR_LEVELS + 1] = "";
  for (int level = 0; level < ANCESTOR_LEVELS; ++level) {
    char path[PATH_MAX];
    char line[64];
    if (std::snprintf(path, sizeof path, "%s/%sidVendor", device_dir, up) >= static_cast<int>(sizeof path)) return false;
    if (read_line(path, root_real, line, sizeof line)) {
      return std::snprintf(out, size, "%s/%s", device_dir, up) < static_cast<int>(size);
    }
    std::strcat(up, "../");
  }
  return false;
}

bool read_file_in(const char* dir, const char* file, const char* root_real, char* out, size_t size) {
  char path[PATH_MAX];
  if (std::snprintf(path, sizeof path, "%s%s", dir, file) >= static_cast<int>(sizeof path)) return false;
  return read_line(path, root_real, out, size);
}

void copy_text(char* out, size_t size, const char* text) {
  std::snprintf(out, size, "%s", text);
}

// The name of the driver that owns the port's device. Newer kernels put a
// "serial-base" layer (drivers "port" and "ctrl") between a UART's tty and
// the device that the UART driver owns; that layer says nothing about the
// port, so the walk goes on above it.
void find_driver(const char* device_dir, char* out, size_t size) {
  char up[3 * ANCESTOR_LEVELS + 1] = "";
  for (int level = 0; level < ANCESTOR_LEVELS; ++level) {
    char path[PATH_MAX];
    char link[PATH_MAX];
    if (std::snprintf(path, sizeof path, "%s/%sdriver", device_dir, up) >= static_cast<int>(sizeof path)) return;
    std::strcat(up, "../");
    ssize_t len = readlink(path, link, sizeof link - 1);
    if (len <= 0) continue;
    link[len] = '\0';
    if (std::strstr(link, "/serial-base/")) continue;
    const char* base = std::strrchr(link, '/');
    copy_text(out, size, base ? base + 1 : link);
    return;
  }
}

uint16_t parse_hex16(const char* text) {
  char* end = nullptr;
  unsigned long v = std::strtoul(text, &end, 16);
  return (end != text && v <= 0xFFFF) ? static_cast<uint16_t>(v) : 0;
}

}  // namespace

bool plat_serial_port_info(int n, PLAT_SERIAL_DEVICE_INFO* info) {
  std::memset(info, 0, sizeof *info);
  char path[PLAT_COM_PATH_SIZE];
  if (!plat_com_device_path(n, path, sizeof path)) return false;
  char device[PATH_MAX];
  if (!realpath(path, device)) return false;
  const char* name = std::strrchr(device, '/');
  name = name ? name + 1 : device;
  if (!*name) return false;

  char root_real[PATH_MAX];
  char device_dir[PATH_MAX];
  bool have_sysfs = realpath(sysfs_root(), root_real) != nullptr &&
                    std::snprintf(device_dir, sizeof device_dir, "%s/class/tty/%s/device", sysfs_root(), name) <
                        static_cast<int>(sizeof device_dir);
  if (have_sysfs) {
    char usb_dir[PATH_MAX];
    char product_text[256] = "";
    if (find_usb_device(device_dir, root_real, usb_dir, sizeof usb_dir)) {
      char line[64];
      if (read_file_in(usb_dir, "idVendor", root_real, line, sizeof line)) info->usb_vendor = parse_hex16(line);
      if (read_file_in(usb_dir, "idProduct", root_real, line, sizeof line)) info->usb_product = parse_hex16(line);
      read_file_in(usb_dir, "product", root_real, product_text, sizeof product_text);
    }
    find_driver(device_dir, info->driver, sizeof info->driver);
    copy_text(info->description, sizeof info->description, product_text);
  }
  if (!info->description[0]) copy_text(info->description, sizeof info->description, info->driver[0] ? info->driver : name);
  return true;
}

void plat_enumerate_serial_ports(PLAT_SERIAL_PORT_FN fn, void* user) {
  int numbers[PLAT_COM_MAX];
  int count = plat_com_list(numbers, PLAT_COM_MAX);
  for (int i = 0; i < count; ++i) {
    PLAT_SERIAL_DEVICE_INFO info;
    if (!plat_serial_port_info(numbers[i], &info)) continue;
    char port_name[16];
    std::snprintf(port_name, sizeof port_name, "COM%d", numbers[i]);
    if (!fn(user, port_name, info.description)) return;
  }
}
