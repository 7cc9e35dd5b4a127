// The acquire command through the module's real exports, from the stand-in
// host, with the setup dialog where the case needs it. The dialog lists the
// machine's interfaces (LAN discovery broadcasts), so this program runs in a
// network namespace of its own.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>
#include <string>

#include "dialog/setup_dialog.h"
#include "driver/context.h"
#include "host/host.h"
#include "host/host_store.h"
#include "sim/sim.h"

namespace fs = std::filesystem;

// Lets one test make the parameter set's allocation fail inside the module:
// the program exports its operator new, which the module's references bind
// to.
std::atomic<bool> fail_paramset{false};
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (fail_paramset && size == sizeof(PARAMSET)) return nullptr;
  // Everything else comes from the ordinary operator new, so that every
  // delete meets the allocator it expects (the sanitizers check that).
  try {
    return ::operator new(size);
  } catch (...) {
    return nullptr;
  }
}

namespace {

typedef int (*STARTUP)(OV_RESOLVER, void*, OV_TIMER*);
typedef bool (*ACQUIRE)(int, void*, KVBASE*, int);
typedef void (*DESTROY)(void*);

const char kDefaults[] =
    "\"Trace\" \r\n"
    "\"Notes\" \r\n"
    "\"Sample Interval\" 1.0\r\n"
    "\"Data Type\" 0\r\n"
    "\"Scale Factor\" 1.0\r\n"
    "\"Input Freq\" 10E6\r\n"
    "\"Bin Density\" 29\r\n"
    "\"Bin Threshold\" 4\r\n"
    "\"Trace History\" 1\r\n"
    "\"Address\" 3\r\n"
    "\"Prologix Compatibility Mode\" False\r\n"
    "\"Query Instrument ID\" True\r\n"
    "\"Instrument\" Picotest/Array U6200A series\r\n"
    "\"Duration\" 1\r\n"
    "\"Duration Type\" 3\r\n"
    "\"Stop Condition\" 0\r\n";

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Standard output of the whole process (the module prints there), captured.
class STDOUT_CAPTURE {
 public:
  explicit STDOUT_CAPTURE(FILE* stream = stdout) : stream_(stream) {
    std::fflush(stream_);
    file_ = std::tmpfile();
    saved_ = dup(fileno(stream_));
    dup2(fileno(file_), fileno(stream_));
  }
  std::string finish() {
    std::fflush(stream_);
    dup2(saved_, fileno(stream_));
    close(saved_);
    std::string text;
    std::rewind(file_);
    char buf[4096];
    while (size_t n = std::fread(buf, 1, sizeof buf, file_)) text.append(buf, n);
    std::fclose(file_);
    return text;
  }

 private:
  FILE* stream_;
  FILE* file_;
  int saved_;
};

class AcquireCommand : public testing::Test {
 protected:
  void SetUp() override {
    ovhost::reset();
    folder_ = fs::temp_directory_path() / ("u62-acquire-" + std::to_string(getpid()));
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "devices");
    setenv("ORVANE_DEVICES", (folder_ / "devices").c_str(), 1);
    ASSERT_TRUE(ovhost::set_settings_folder(folder_.string()));
    std::string path = std::string(std::getenv("U62_BUILD_DIR")) + "/driver/U6200A.ovd";
    module_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
    auto startup = reinterpret_cast<STARTUP>(dlsym(module_, "OVD_startup"));
    acquire_ = reinterpret_cast<ACQUIRE>(dlsym(module_, "OVD_CMD_acquire"));
    destroy_ = reinterpret_cast<DESTROY>(dlsym(module_, "OVD_destroy_thread_context"));
    ASSERT_EQ(startup(host_resolve, ovhost::application_record(), ovhost::timer()), 1);
  }
  void TearDown() override {
    EXPECT_TRUE(ovhost::reset());
    fs::remove_all(folder_);
  }

  // A counter answering at once, reached directly over TCP.
  std::unique_ptr<u62sim::Simulator> counter() {
    u62sim::ModelOptions model;
    model.measurement_time = std::chrono::milliseconds(1);
    std::string error;
    auto sim = u62sim::start_tcp_instrument(model, 0, &error);
    EXPECT_TRUE(sim) << error;
    return sim;
  }

  fs::path settings() const { return folder_ / "Brisel.ini"; }

  fs::path folder_;
  void* module_ = nullptr;
  ACQUIRE acquire_ = nullptr;
  DESTROY destroy_ = nullptr;
};

}  // namespace

TEST_F(AcquireCommand, NoFreeSlotWarnsAndTouchesNothing) {
  ovhost::Config config = ovhost::config();
  config.max_slots = 0;
  ovhost::configure(config);
  STDOUT_CAPTURE out;
  EXPECT_FALSE(acquire_(ovhost::new_handle(), nullptr, nullptr, 0));
  EXPECT_EQ(out.finish(), "");
  auto warnings = ovhost::messages(ovhost::Kind::warning);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].text, "Too many plots -- must close or delete at least one first");
  EXPECT_FALSE(fs::exists(settings()));
}

TEST_F(AcquireCommand, HostRefusalsDestroyTheContextOnce) {
  struct CASE {
    bool init, update;
    std::vector<std::string> calls;
  } cases[] = {{false, true, {"init"}}, {true, false, {"init", "cancel"}}};
  for (const CASE& c : cases) {
    ovhost::reset();
    ovhost::Config config = ovhost::config();
    config.init_result = c.init;
    config.update_result = c.update;
    ovhost::configure(config);
    int acq = ovhost::new_handle();
    STDOUT_CAPTURE out;
    EXPECT_FALSE(acquire_(acq, nullptr, nullptr, OVD_FLAG_NO_DIALOG | OVD_FLAG_NO_LOAD | OVD_FLAG_NO_SAVE));
    std::string printed = out.finish();
    std::vector<std::string> calls;
    for (const std::string& call : ovhost::calls(acq))
      if (call == "init" || call == "cancel" || call == "start") calls.push_back(call);
    EXPECT_EQ(calls, c.calls);
    EXPECT_FALSE(ovhost::status(acq).destroyed) << "the driver destroys it, not the host";
    EXPECT_NE(printed.find(" created\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find(" destroyed\n"), std::string::npos) << printed;
  }
}

TEST_F(AcquireCommand, FailedParameterAllocationFailsTheCommand) {
  fail_paramset = true;
  STDOUT_CAPTURE out;
  bool started = acquire_(ovhost::new_handle(), nullptr, nullptr, OVD_FLAG_NO_DIALOG);
  fail_paramset = false;
  std::string printed = out.finish();
  EXPECT_FALSE(started);
  EXPECT_EQ(printed.find(" created\n"), std::string::npos) << printed;
  destroy_(nullptr);
}

TEST_F(AcquireCommand, HostStoreOverridesAndUnknownKeysReachTheHost) {
  auto sim = counter();
  ASSERT_TRUE(sim);
  std::ofstream(settings(), std::ios::binary) << "\"Address\" 9\r\n\"Sample Interval\" 0.5\r\n";
  ovhost::HostStore store;
  store.put("Interface", ".");
  store.put("Address", "127.0.0.1:" + std::to_string(sim->port()));
  store.put("Data Type", "1");
  store.put("Operator", "night shift");
  int acq = ovhost::new_handle();
  ASSERT_TRUE(acquire_(acq, nullptr, store.kvbase(), OVD_FLAG_NO_DIALOG | OVD_FLAG_NO_SAVE));
  EXPECT_EQ(ovhost::parameter(acq, "Operator"), "night shift");
  EXPECT_EQ(ovhost::parameter(acq, "Address"), "127.0.0.1:" + std::to_string(sim->port()));
  EXPECT_EQ(ovhost::parameter(acq, "Sample Interval"), "0.5") << "the file was read";
  EXPECT_EQ(ovhost::status(acq).flags, OVD_FLAG_NO_DIALOG | OVD_FLAG_NO_SAVE);
  EXPECT_TRUE(ovhost::wait_samples(acq, 3, 10000));
  EXPECT_TRUE(ovhost::samples(acq)[0].frequency);
  ovhost::set_thread_command(acq, OV_CMD_STOP);
  ASSERT_TRUE(ovhost::close_acquisition(acq, 10000));
  EXPECT_TRUE(ovhost::status(acq).destroyed);
  EXPECT_EQ(ovhost::status(acq).finish, OV_FINISH_NORMAL);
  EXPECT_EQ(read_file(settings()), "\"Address\" 9\r\n\"Sample Interval\" 0.5\r\n") << "not written";
}

TEST_F(AcquireCommand, CancelledDialogWritesNothing) {
  SETUP_REQUEST request{SETUP_REQUEST_MAGIC, SETUP_CANCEL, nullptr, nullptr, nullptr};
  STDOUT_CAPTURE out;
  EXPECT_FALSE(acquire_(ovhost::new_handle(), &request, nullptr, 0));
  std::string printed = out.finish();
  EXPECT_FALSE(fs::exists(settings()));
  size_t created = printed.find(" created\n");
  size_t destroyed = printed.find(" destroyed\n");
  ASSERT_NE(created, std::string::npos) << printed;
  ASSERT_NE(destroyed, std::string::npos) << printed;
  EXPECT_LT(created, destroyed);
  EXPECT_EQ(printed.substr(0, created), printed.substr(created + 9, destroyed - created - 9))
      << "both lines name the same context";
}

TEST_F(AcquireCommand, DefaultsAcceptedUnchangedWriteTheSettingsFile) {
  u62sim::TransportOptions options;
  options.devices_dir = (folder_ / "devices").string();
  options.com_number = 7;
  options.model.measurement_time = std::chrono::milliseconds(1);
  std::string error;
  auto adapter = u62sim::start_simulator(u62sim::TransportKind::PrologixUsb, options, &error);
  ASSERT_TRUE(adapter) << error;
  // The user only picks the COM port; without Prologix support ticked it is
  // a standard port and the Interface stays empty.
  SETUP_REQUEST request{SETUP_REQUEST_MAGIC, SETUP_SCRIPT, "choose COM7\npress Start Measurement", nullptr, nullptr};
  int acq = ovhost::new_handle();
  bool started = acquire_(acq, &request, nullptr, 0);
  EXPECT_TRUE(started);
  std::string file = read_file(settings());
  ASSERT_GE(file.size(), sizeof kDefaults - 1) << file;
  EXPECT_EQ(file.substr(0, sizeof kDefaults - 1), kDefaults);
  std::string rest = file.substr(sizeof kDefaults - 1);
  EXPECT_EQ(rest, "\"Interface\" \r\n");
  if (started) {
    ovhost::set_thread_command(acq, OV_CMD_STOP);
    EXPECT_TRUE(ovhost::close_acquisition(acq, 10000));
  }
}

TEST_F(AcquireCommand, FailedSaveIsReportedAndTheAcquisitionStillStarts) {
  auto sim = counter();
  ASSERT_TRUE(sim);
  ASSERT_TRUE(ovhost::set_settings_folder((folder_ / "no such folder").string()));
  ovhost::HostStore store;
  store.put("Interface", ".");
  store.put("Address", "127.0.0.1:" + std::to_string(sim->port()));
  int acq = ovhost::new_handle();
  STDOUT_CAPTURE err(stderr);
  bool started = acquire_(acq, nullptr, store.kvbase(), OVD_FLAG_NO_DIALOG);
  std::string boxes = err.finish();
  EXPECT_TRUE(started);
  EXPECT_NE(boxes.find("[Error] File '"), std::string::npos) << boxes;
  EXPECT_NE(boxes.find("Brisel.ini' could not be opened for writing"), std::string::npos) << boxes;
  ovhost::set_thread_command(acq, OV_CMD_STOP);
  EXPECT_TRUE(ovhost::close_acquisition(acq, 10000));
}
