#include "platform/dynlib.h"

#include <dlfcn.h>

PLAT_LIB plat_lib_open(const char* name) {
  if (!name) return nullptr;
  return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

void* plat_lib_symbol(PLAT_LIB lib, const char* name) {
  if (!lib || !name) return nullptr;
  return dlsym(lib, name);
}

void plat_lib_close(PLAT_LIB lib) {
  if (lib) dlclose(lib);
}

PLAT_LIB plat_this_module() {
  Dl_info info;
  if (!dladdr(reinterpret_cast<void*>(&plat_this_module), &info) || !info.dli_fname) return nullptr;
  // RTLD_NOLOAD hands back the handle the loader already has, without a new
  // reference count that would keep the module loaded forever.
  void* h = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
  if (h) dlclose(h);
  return h;
}
