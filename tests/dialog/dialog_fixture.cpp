#include "dialog_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>

#include "platform/msgbox.h"

namespace fs = std::filesystem;

HOST_RECORD& host_record() {
  static HOST_RECORD record;
  return record;
}

TEST_TIMER& test_timer() {
  static TEST_TIMER timer;
  return timer;
}

void HOST_RECORD::clear() {
  std::lock_guard<std::mutex> g(lock);
  status.clear();
  failures.clear();
  boxes.clear();
  hold_on.clear();
  released = false;
}

void HOST_RECORD::release() {
  std::lock_guard<std::mutex> g(lock);
  released = true;
  changed.notify_all();
}

static bool contains(const std::vector<std::string>& v, const std::string& text) {
  for (const std::string& s : v) {
    if (s == text) return true;
  }
  return false;
}

bool HOST_RECORD::has_status(const std::string& text) {
  std::lock_guard<std::mutex> g(lock);
  return contains(status, text);
}

bool HOST_RECORD::has_failure(const std::string& text) {
  std::lock_guard<std::mutex> g(lock);
  return contains(failures, text);
}

bool HOST_RECORD::wait_status(const std::string& text, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> g(lock);
  return changed.wait_for(g, timeout, [&] { return contains(status, text); });
}

bool HOST_RECORD::wait_failure(const std::string& text, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> g(lock);
  return changed.wait_for(g, timeout, [&] { return contains(failures, text); });
}

std::vector<std::string> HOST_RECORD::statuses() {
  std::lock_guard<std::mutex> g(lock);
  return status;
}

namespace {

std::string format(const char* fmt, va_list args) {
  char text[8192];
  std::vsnprintf(text, sizeof text, fmt, args);
  return text;
}

void host_status(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = format(fmt, args);
  va_end(args);
  HOST_RECORD& r = host_record();
  std::unique_lock<std::mutex> g(r.lock);
  r.status.push_back(text);
  r.changed.notify_all();
  if (!r.hold_on.empty() && text == r.hold_on) {
    r.changed.wait_for(g, std::chrono::seconds(15), [&] { return r.released; });
  }
}

void host_failure(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string text = format(fmt, args);
  va_end(args);
  HOST_RECORD& r = host_record();
  std::lock_guard<std::mutex> g(r.lock);
  r.failures.push_back(text);
  r.changed.notify_all();
}

void host_warning(const char*, ...) {}

bool host_update(int, KVBASE*) { return true; }

int catch_box(const char* text, const char* caption, unsigned, void*) {
  HOST_RECORD& r = host_record();
  std::lock_guard<std::mutex> g(r.lock);
  r.boxes.push_back(std::string(caption ? caption : "") + "|" + (text ? text : ""));
  return PLAT_IDOK;
}

}  // namespace

void install_test_host() {
  g_host = OV_HOST{};
  g_host.OV_status_printf = host_status;
  g_host.OV_failure_printf = host_failure;
  g_host.OV_warning_printf = host_warning;
  g_host.OV_update_acquisition_parameters = host_update;
  g_host_timer = &test_timer();
  plat_set_message_box_handler(catch_box, nullptr);
}

std::string test_loopback_address() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "";
  unsigned h = 2166136261u;
  for (char c : name) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
  return "127.0." + std::to_string(1 + h % 250) + "." + std::to_string(2 + (h / 250) % 250);
}

// ---- Fixture ----

void DialogTest::SetUp() {
  install_test_host();
  host_record().clear();
  test_timer().real = false;
  char templ[] = "/tmp/u62-dialog-XXXXXX";
  ASSERT_NE(mkdtemp(templ), nullptr);
  root = templ;
  fs::create_directories(root + "/dev");
  fs::create_directories(root + "/files");
  fs::create_directories(root + "/sys/class/tty");
  setenv("ORVANE_DEVICES", (root + "/dev").c_str(), 1);
  setenv("ORVANE_SYSFS_ROOT", (root + "/sys").c_str(), 1);
  context = new ACQ_CONTEXT;
  ASSERT_NE(context->params, nullptr);
  surface = std::make_unique<HEADLESS_SURFACE>();
}

void DialogTest::TearDown() {
  if (surface && context && context->dialog_window && !surface->ended()) surface->press_escape();
  delete context;
  context = nullptr;
  surface.reset();
  unsetenv("ORVANE_DEVICES");
  unsetenv("ORVANE_SYSFS_ROOT");
  std::error_code ec;
  if (!root.empty()) fs::remove_all(root, ec);
}

static void write_text(const std::string& path, const std::string& text) {
  std::ofstream f(path);
  f << text << "\n";
}

static void describe_in_sysfs(const std::string& root, const std::string& name, const std::string& product,
                              bool ftdi) {
  std::string dir = root + "/sys/class/tty/" + name + "/device";
  fs::create_directories(dir);
  write_text(dir + "/idVendor", ftdi ? "0403" : "067b");
  write_text(dir + "/idProduct", ftdi ? "6001" : "2303");
  write_text(dir + "/product", product);
}

void DialogTest::add_com_port(int n, const std::string& device_name, const std::string& product, bool ftdi) {
  std::string file = root + "/files/" + device_name;
  write_text(file, "");
  fs::create_symlink(file, root + "/dev/com" + std::to_string(n));
  describe_in_sysfs(root, device_name, product, ftdi);
}

void DialogTest::add_com_device(int n, const std::string& device_path, bool ftdi) {
  fs::create_symlink(device_path, root + "/dev/com" + std::to_string(n));
  std::string name = fs::path(device_path).filename().string();
  describe_in_sysfs(root, name, "FT232R USB UART", ftdi);
}

void DialogTest::describe_device(const std::string& device_path, bool ftdi) {
  describe_in_sysfs(root, fs::path(device_path).filename().string(), "FT232R USB UART", ftdi);
}

std::string DialogTest::selected_text() {
  char buf[512];
  surface->item_text(IDC_INTERFACE_LIST, surface->get_selection(IDC_INTERFACE_LIST), buf, sizeof buf);
  return buf;
}

void DialogTest::open_dialog() {
  ASSERT_TRUE(surface->open(setup_dialog_proc, context));
  ASSERT_FALSE(surface->ended());
}

void DialogTest::step(int ms) {
  for (int t = 0; t < ms; t += 10) {
    test_timer().now += 10000;
    surface->advance(10);
  }
}
