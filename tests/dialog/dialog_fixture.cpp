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

// ---- Loopback counter ----

std::string test_loopback_address() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "";
  unsigned h = 2166136261u;
  for (char c : name) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
  return "127.0." + std::to_string(1 + h % 250) + "." + std::to_string(2 + (h / 250) % 250);
}

LOOPBACK_COUNTER::LOOPBACK_COUNTER(bool hang, int delay_ms, std::string id_text, std::string address)
    : hang_(hang), delay_ms_(delay_ms), id_text_(std::move(id_text)), address_(std::move(address)) {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, address_.c_str(), &a.sin_addr);
  a.sin_port = 0;
  if (bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener_, 4) != 0) {
    ADD_FAILURE() << "cannot listen on loopback";
    return;
  }
  socklen_t len = sizeof a;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { serve(); });
}

LOOPBACK_COUNTER::~LOOPBACK_COUNTER() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) close(listener_);
}

std::string LOOPBACK_COUNTER::received() {
  std::lock_guard<std::mutex> g(lock_);
  return received_;
}

bool LOOPBACK_COUNTER::wait_received(const std::string& text, std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (received().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void LOOPBACK_COUNTER::serve() {
  using clock = std::chrono::steady_clock;
  std::vector<int> held;  // hung connections stay open and unread
  int client = -1;
  std::string line;
  std::deque<std::pair<clock::time_point, std::string>> replies;
  int reading = 0;
  while (!stop_) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {client, POLLIN, 0}};
    poll(fds, client >= 0 ? 2 : 1, 10);
    if (fds[0].revents & POLLIN) {
      int c = accept(listener_, nullptr, nullptr);
      if (c >= 0) {
        connections_++;
        if (hang_) {
          held.push_back(c);
        } else {
          if (client >= 0) close(client);
          client = c;
          line.clear();
          replies.clear();
        }
      }
    }
    if (client >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      char buf[512];
      ssize_t n = recv(client, buf, sizeof buf, 0);
      if (n <= 0) {
        close(client);
        client = -1;
        continue;
      }
      {
        std::lock_guard<std::mutex> g(lock_);
        if (received_.size() < (1u << 20)) received_.append(buf, static_cast<size_t>(n));
      }
      for (ssize_t i = 0; i < n; i++) {
        if (buf[i] != '\n') {
          if (line.size() < 4096) line += buf[i];
          continue;
        }
        auto due = clock::now() + std::chrono::milliseconds(delay_ms_);
        if (line.find("*IDN?") != std::string::npos) {
          replies.emplace_back(due, id_text_ + "\n");
        } else if (line.find("FETCH?") != std::string::npos) {
          char r[64];
          std::snprintf(r, sizeof r, "+1.0000000%05dE+07\n", ++reading);
          replies.emplace_back(due, r);
        }
        line.clear();
      }
    }
    while (client >= 0 && !replies.empty() && replies.front().first <= clock::now()) {
      const std::string& r = replies.front().second;
      send(client, r.data(), r.size(), MSG_NOSIGNAL);
      replies.pop_front();
    }
  }
  if (client >= 0) close(client);
  for (int c : held) close(c);
}

// ---- Fixture ----

void DialogTest::SetUp() {
  install_test_host();
  host_record().clear();
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
