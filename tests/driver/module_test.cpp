// The module as the host meets it: loaded by path, four exports and nothing
// else, and the start-up handshake with a host that answers by name.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "driver/ovhost.h"

namespace {

std::string module_path() {
  const char* dir = std::getenv("U62_BUILD_DIR");
  return std::string(dir ? dir : ".") + "/driver/U6200A.ovd";
}

// A host that answers every name, and remembers the registration.
struct HOST_RECORD {
  std::vector<std::string> asked;
  std::string registered_name;
  int numbers[3] = {-1, -1, -1};
  intptr_t answer = 77;
  int unregistered = 0;
  intptr_t unregistered_handle = 0;
  std::string missing;
} host;

intptr_t fake_register(void*, const char* name, int a, int b, int c, OVD_ACQUIRE_FN acquire) {
  host.registered_name = name;
  host.numbers[0] = a;
  host.numbers[1] = b;
  host.numbers[2] = c;
  return acquire ? host.answer : 0;
}
void fake_unregister(intptr_t handle) {
  host.unregistered++;
  host.unregistered_handle = handle;
}
void fake_any() {}

void* resolver(const char* name) {
  host.asked.push_back(name);
  if (host.missing == name) return nullptr;
  if (!std::strcmp(name, "OV_register_driver")) return reinterpret_cast<void*>(fake_register);
  if (!std::strcmp(name, "OV_unregister_driver")) return reinterpret_cast<void*>(fake_unregister);
  return reinterpret_cast<void*>(fake_any);
}

struct TIMER : OV_TIMER {
  int64_t microseconds() override { return 0; }
} timer;

char app_record[4096];

struct MODULE {
  void* handle = nullptr;
  OV_RESOLVER dummy = nullptr;
  int (*startup)(OV_RESOLVER, void*, OV_TIMER*) = nullptr;
  void (*shutdown)() = nullptr;
  explicit MODULE() {
    // A fresh copy per test: dlopen of the same path would share the state.
    handle = dlopen(module_path().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) return;
    startup = reinterpret_cast<int (*)(OV_RESOLVER, void*, OV_TIMER*)>(dlsym(handle, "OVD_startup"));
    shutdown = reinterpret_cast<void (*)()>(dlsym(handle, "OVD_shutdown"));
  }
  ~MODULE() {
    if (handle) dlclose(handle);
  }
};

const char* kTable[] = {"OV_register_driver", "OV_unregister_driver", "OV_lock", "OV_unlock",
                        "OV_available_slots", "OV_set_thread_command", "OV_init_acquisition",
                        "OV_cancel_acquisition", "OV_start_acquisition", "OV_update_acquisition_parameters",
                        "OV_finish_acquisition", "OV_acquisition_gate", "OV_set_thread_state",
                        "OV_thread_command", "OV_thread_state", "OV_failure_printf", "OV_warning_printf",
                        "OV_status_printf", "OV_alloc_timing_records", "OV_timing_acquisition_done",
                        "OV_process_acquired_phase_diff_sample", "OV_process_acquired_freq_sample"};

}  // namespace

TEST(Module, ExportsExactlyTheFourEntryPoints) {
  std::string command = "nm -D --defined-only '" + module_path() + "'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> defined;
  char line[1024];
  while (fgets(line, sizeof line, pipe)) {
    char address[64], type[8], name[900];
    if (std::sscanf(line, "%63s %7s %899s", address, type, name) == 3) defined.insert(name);
  }
  ASSERT_EQ(pclose(pipe), 0) << command;
  std::set<std::string> expected = {"OVD_startup", "OVD_shutdown", "OVD_CMD_acquire", "OVD_destroy_thread_context"};
  EXPECT_EQ(defined, expected);
}

TEST(Module, StartupBindsInTableOrderAndRegisters) {
  host = HOST_RECORD();
  MODULE module;
  ASSERT_NE(module.handle, nullptr) << dlerror();
  ASSERT_EQ(module.startup(resolver, app_record, &timer), 1);
  ASSERT_EQ(host.asked.size(), 22u);
  for (size_t i = 0; i < 22; i++) EXPECT_EQ(host.asked[i], kTable[i]) << i;
  EXPECT_EQ(host.registered_name, "Picotest/Array U6200A series ...");
  EXPECT_EQ(host.numbers[0], 112);
  EXPECT_EQ(host.numbers[1], 6);
  EXPECT_EQ(host.numbers[2], 0);

  module.shutdown();
  module.shutdown();
  EXPECT_EQ(host.unregistered, 1);
  EXPECT_EQ(host.unregistered_handle, 77);
}

TEST(Module, RefusedRegistrationAnswersZeroAndShutdownCallsNothing) {
  host = HOST_RECORD();
  host.answer = 0;
  MODULE module;
  ASSERT_NE(module.handle, nullptr) << dlerror();
  module.shutdown();  // before any start-up
  EXPECT_EQ(module.startup(resolver, app_record, &timer), 0);
  module.shutdown();
  EXPECT_EQ(host.unregistered, 0);
}

TEST(ModuleDeathTest, MissingHostFunctionStopsNamingIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  host = HOST_RECORD();
  host.missing = "OV_thread_state";
  EXPECT_DEATH(
      {
        MODULE module;
        module.startup(resolver, app_record, &timer);
      },
      "OV_thread_state != NULL.*GPIB_TIC");
}
