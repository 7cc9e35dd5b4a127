#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "sim/engines.h"
#include "sim/sim.h"

namespace u62sim {

namespace {

// Output that waits for its time or for the client to take it.
constexpr std::size_t kOutputCap = 1u << 20;
// The longest the thread sleeps without a reason, so that a lost wake-up
// costs at most this much.
constexpr int kMaxSleepMs = 500;

bool is_tcp(TransportKind kind) {
  return kind == TransportKind::TcpInstrument || kind == TransportKind::PrologixLan;
}

bool is_prologix(TransportKind kind) {
  return kind == TransportKind::PrologixLan || kind == TransportKind::PrologixUsb;
}

void set_error(std::string* error, const std::string& text) {
  if (error) *error = text;
}

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool set_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

struct Simulator::Impl : Link {
  Impl(TransportKind k, TransportOptions o) : kind(k), options(std::move(o)), model(options.model) {
    if (!options.firmware)
      options.firmware = kind == TransportKind::PrologixUsb ? Firmware::Usb6107 : Firmware::Ethernet;
    faults = options.faults;
    rng.seed(options.model.seed ^ 0x5eed);
    if (is_prologix(kind))
      engine = make_prologix_engine(model, *this, options);
    else
      engine = make_raw_engine(model, *this);
  }

  ~Impl() override { stop(); }

  // --- Link, on the transport thread -------------------------------------

  void queue(std::string bytes, TimePoint at) {
    if (bytes.empty() || drop_pending) return;
    if (out_bytes + bytes.size() > kOutputCap) return;  // a client that never reads loses output
    if (!out.empty()) at = std::max(at, out.back().at);
    out_bytes += bytes.size();
    out.push_back({at, std::move(bytes)});
  }

  Faults snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    return faults;
  }

  void send_adapter(std::string_view bytes, TimePoint now) override {
    Faults f = snapshot();
    if (f.silence || f.hang) return;
    queue(std::string(bytes), now);
  }

  std::string shape_reply(std::string reply) override {
    Faults f;
    {
      std::lock_guard<std::mutex> lock(mutex);
      f = faults;
      // "Every Nth reply" counts from the moment the faults were set.
      if (faults_generation != shaped_generation) {
        shaped_generation = faults_generation;
        shaped = 0;
      }
    }
    ++shaped;
    if (f.idn_every && shaped % f.idn_every == 0) {
      reply = model.identification();
    } else if (f.nonnumeric_every && shaped % f.nonnumeric_every == 0) {
      reply = "NOT A NUMBER";
    }
    if (f.garbage) {
      std::uniform_int_distribution<int> byte(1, 255);
      std::size_t n = std::max<std::size_t>(reply.size(), 8);
      reply.clear();
      while (reply.size() < n) {
        char c = static_cast<char>(byte(rng));
        if (c != '\n' && c != '\r') reply += c;
      }
    }
    if (f.overlong > 0 && !reply.empty()) {
      std::string one = reply;
      while (reply.size() < f.overlong) reply += "," + one;
    }
    return reply;
  }

  void send_reply(std::string bytes, TimePoint now) override {
    Faults f = snapshot();
    if (f.silence || f.hang) return;
    if (f.split_bytes > 0 && bytes.size() > f.split_bytes) {
      TimePoint at = now;
      for (std::size_t i = 0; i < bytes.size(); i += f.split_bytes) {
        queue(bytes.substr(i, f.split_bytes), at);
        at += f.split_gap;
      }
    } else {
      queue(std::move(bytes), now);
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++replies;
    }
    ++connection_replies;
    if (f.drop_after >= 0 && connection_replies >= static_cast<unsigned long long>(f.drop_after))
      drop_pending = true;
  }

  // --- record -------------------------------------------------------------

  void note(std::string& where, const char* data, std::size_t n) {
    std::lock_guard<std::mutex> lock(mutex);
    std::size_t room = options.record_limit > where.size() ? options.record_limit - where.size() : 0;
    if (n > room) record.truncated = true;
    where.append(data, std::min(n, room));
    record_cv.notify_all();
  }

  // --- media --------------------------------------------------------------

  bool open_tcp(std::string* error) {
    listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd < 0) return set_error(error, errno_text("socket")), false;
    int one = 1;
    setsockopt(listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(options.port);
    if (inet_pton(AF_INET, options.bind_address.c_str(), &addr.sin_addr) != 1) {
      close_fd(listen_fd);
      return set_error(error, "not an IPv4 address: " + options.bind_address), false;
    }
    if (::bind(listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listen_fd, 4) != 0) {
      std::string text = errno_text("bind");
      close_fd(listen_fd);
      return set_error(error, text + " (" + options.bind_address + ":" + std::to_string(options.port) + ")"),
             false;
    }
    socklen_t len = sizeof addr;
    getsockname(listen_fd, reinterpret_cast<sockaddr*>(&addr), &len);
    bound_port = ntohs(addr.sin_port);
    set_nonblocking(listen_fd);
    return true;
  }

  bool open_pty(std::string* error) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return set_error(error, errno_text("posix_openpt")), false;
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
      std::string text = errno_text("pseudo-terminal");
      ::close(master);
      return set_error(error, text), false;
    }
    // Holding the slave open keeps the master readable between clients and
    // lets us make the line raw before any client sees it: no echo, no line
    // editing, no CR/LF translation.
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) {
      std::string text = errno_text(name);
      ::close(master);
      return set_error(error, text), false;
    }
    termios tio{};
    if (tcgetattr(slave, &tio) == 0) {
      cfmakeraw(&tio);
      cfsetispeed(&tio, B115200);
      cfsetospeed(&tio, B115200);
      tcsetattr(slave, TCSANOW, &tio);
    }
    set_nonblocking(master);
    {
      std::lock_guard<std::mutex> lock(mutex);
      slave_path = name;
    }
    client_fd = master;
    slave_fd = slave;
    if (!options.devices_dir.empty()) {
      std::string why;
      if (!link_com_port(options.devices_dir, options.com_number, name, &why)) {
        close_fd(client_fd);
        close_fd(slave_fd);
        return set_error(error, why), false;
      }
      linked = true;
    }
    return true;
  }

  int slave_unread() const {
    int n = 0;
    if (slave_fd < 0 || ioctl(slave_fd, FIONREAD, &n) != 0) return 0;
    return n;
  }

  void close_pty() {
    close_fd(client_fd);
    close_fd(slave_fd);
  }

  void unlink_com() {
    if (!linked) return;
    linked = false;
    std::error_code ec;
    std::filesystem::path link = std::filesystem::path(options.devices_dir) / ("com" + std::to_string(options.com_number));
    std::string path;
    {
      std::lock_guard<std::mutex> lock(mutex);
      path = slave_path;
    }
    if (std::filesystem::read_symlink(link, ec) == path) std::filesystem::remove(link, ec);
  }

  void new_connection(int fd, TimePoint now) {
    if (client_fd >= 0) ::close(client_fd);
    client_fd = fd;
    out.clear();
    out_bytes = 0;
    connection_replies = 0;
    drop_pending = false;
    drop_at = kNever;
    engine->connected(now);
    std::lock_guard<std::mutex> lock(mutex);
    ++accepted;
  }

  void drop_connection(TimePoint now) {
    out.clear();
    out_bytes = 0;
    drop_pending = false;
    drop_at = kNever;
    connection_replies = 0;
    if (is_tcp(kind)) {
      close_fd(client_fd);
      return;
    }
    // A serial line cannot be unplugged; hang it up and offer a new one.
    unlink_com();
    close_pty();
    std::string ignored;
    open_pty(&ignored);
    engine->connected(now);
  }

  // --- thread -------------------------------------------------------------

  void flush_output(TimePoint now) {
    while (client_fd >= 0 && !out.empty() && out.front().at <= now) {
      Chunk& c = out.front();
      ssize_t n = ::write(client_fd, c.bytes.data(), c.bytes.size());
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        if (is_tcp(kind)) close_fd(client_fd);
        out.clear();
        out_bytes = 0;
        return;
      }
      note(record.sent, c.bytes.data(), static_cast<std::size_t>(n));
      out_bytes -= static_cast<std::size_t>(n);
      if (static_cast<std::size_t>(n) < c.bytes.size()) {
        c.bytes.erase(0, static_cast<std::size_t>(n));
        return;
      }
      out.pop_front();
    }
  }

  void run() {
    char buffer[4096];
    TimePoint flood_next = Clock::now();
    while (!stopping.load()) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (pending_firmware) {
          engine->set_firmware(*pending_firmware);
          pending_firmware.reset();
        }
      }
      Faults f = snapshot();
      TimePoint now = Clock::now();
      bool connected = client_fd >= 0;
      if (connected && !f.hang) engine->poll(now);
      if (connected && f.flood && !f.hang && !f.silence && out.empty() && now >= flood_next) {
        queue(format_reading(flood_value()) + "\n", now);
        flood_next = now + f.flood_interval;
      }
      flush_output(now);
      // Hang up a moment after the last reply left, so that it reaches the
      // client instead of vanishing with the line.
      if (drop_pending && out.empty() && drop_at == kNever) drop_at = now + std::chrono::milliseconds(100);
      if (drop_pending && now >= drop_at) {
        // A hung-up terminal discards what its reader has not taken yet, so
        // a serial line waits (a little) for the client to read the reply.
        if (is_tcp(kind) || slave_unread() == 0 || now >= drop_at + std::chrono::seconds(2))
          drop_connection(now);
      }

      TimePoint wake = now + std::chrono::milliseconds(kMaxSleepMs);
      if (client_fd >= 0 && !f.hang) wake = std::min(wake, engine->deadline());
      bool want_out = false;
      if (!out.empty()) {
        if (out.front().at <= now)
          want_out = true;
        else
          wake = std::min(wake, out.front().at);
      }
      if (f.flood && client_fd >= 0) wake = std::min(wake, flood_next);
      if (drop_pending) wake = std::min(wake, std::max(drop_at, now + std::chrono::milliseconds(10)));
      int timeout = 0;
      if (wake > now) {
        auto us = std::chrono::duration_cast<std::chrono::microseconds>(wake - now).count();
        timeout = static_cast<int>(std::min<long long>((us + 999) / 1000, kMaxSleepMs));
      }

      pollfd fds[3];
      int nfds = 0;
      fds[nfds++] = {wake_pipe[0], POLLIN, 0};
      int listen_index = -1, client_index = -1;
      if (listen_fd >= 0) {
        listen_index = nfds;
        fds[nfds++] = {listen_fd, POLLIN, 0};
      }
      if (client_fd >= 0) {
        short events = static_cast<short>((f.hang ? 0 : POLLIN) | (want_out ? POLLOUT : 0));
        client_index = nfds;
        fds[nfds++] = {client_fd, events, 0};
      }
      int ready = ::poll(fds, static_cast<nfds_t>(nfds), timeout);
      if (ready <= 0) continue;
      if (fds[0].revents & POLLIN) {
        while (::read(wake_pipe[0], buffer, sizeof buffer) > 0) {
        }
      }
      now = Clock::now();
      if (listen_index >= 0 && (fds[listen_index].revents & POLLIN)) {
        int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
          int one = 1;
          setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          new_connection(fd, now);
          continue;
        }
      }
      if (client_index >= 0 && client_fd >= 0) {
        short re = fds[client_index].revents;
        if (!f.hang && (re & (POLLIN | POLLHUP | POLLERR))) {
          ssize_t n = ::read(client_fd, buffer, sizeof buffer);
          if (n > 0) {
            note(record.received, buffer, static_cast<std::size_t>(n));
            engine->input(std::string_view(buffer, static_cast<std::size_t>(n)), now);
          } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            if (is_tcp(kind)) {
              close_fd(client_fd);
              out.clear();
              out_bytes = 0;
            } else {
              // No slave reader right now; the line comes back when one opens.
              std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
          }
        } else if (f.hang && (re & (POLLHUP | POLLERR)) && is_tcp(kind)) {
          close_fd(client_fd);
        }
      }
    }
  }

  double flood_value() {
    ModelOptions o = model.options();
    return o.mode == CounterMode::Frequency ? o.nominal_hz : o.start_interval_s;
  }

  void wake() {
    if (wake_pipe[1] >= 0) {
      char c = 1;
      [[maybe_unused]] ssize_t n = ::write(wake_pipe[1], &c, 1);
    }
  }

  bool start(std::string* error) {
    std::lock_guard<std::mutex> guard(lifecycle);
    if (thread.joinable()) return true;
    if (pipe2(wake_pipe, O_NONBLOCK | O_CLOEXEC) != 0) return set_error(error, errno_text("pipe")), false;
    bool ok = is_tcp(kind) ? open_tcp(error) : open_pty(error);
    if (!ok) {
      close_fd(wake_pipe[0]);
      close_fd(wake_pipe[1]);
      return false;
    }
    stopping = false;
    thread = std::thread([this] { run(); });
    is_running = true;
    return true;
  }

  void stop() {
    std::lock_guard<std::mutex> guard(lifecycle);
    if (!thread.joinable()) return;
    stopping = true;
    wake();
    thread.join();
    is_running = false;
    unlink_com();
    close_fd(client_fd);
    close_fd(slave_fd);
    close_fd(listen_fd);
    close_fd(wake_pipe[0]);
    close_fd(wake_pipe[1]);
    out.clear();
    out_bytes = 0;
  }

  struct Chunk {
    TimePoint at;
    std::string bytes;
  };

  TransportKind kind;
  TransportOptions options;
  CounterModel model;
  std::unique_ptr<Engine> engine;

  mutable std::mutex mutex;  // faults, record, counters, paths
  mutable std::condition_variable record_cv;
  Faults faults;
  unsigned long long faults_generation = 0;
  unsigned long long shaped_generation = 0;
  ByteRecord record;
  unsigned long long replies = 0;
  unsigned long long accepted = 0;
  std::optional<Firmware> pending_firmware;
  std::string slave_path;

  std::mutex lifecycle;
  std::thread thread;
  std::atomic<bool> stopping{false};
  std::atomic<bool> is_running{false};
  int wake_pipe[2] = {-1, -1};
  int listen_fd = -1;
  int client_fd = -1;  // the TCP client, or the pseudo-terminal's master
  int slave_fd = -1;
  std::atomic<std::uint16_t> bound_port{0};
  bool linked = false;

  // Owned by the transport thread.
  std::deque<Chunk> out;
  std::size_t out_bytes = 0;
  unsigned long long connection_replies = 0;
  unsigned long long shaped = 0;
  bool drop_pending = false;
  TimePoint drop_at = kNever;
  std::mt19937_64 rng;
};

Simulator::Simulator(TransportKind kind, TransportOptions options)
    : impl_(std::make_unique<Impl>(kind, std::move(options))) {}

Simulator::~Simulator() { impl_->stop(); }

bool Simulator::start(std::string* error) { return impl_->start(error); }
void Simulator::stop() { impl_->stop(); }
bool Simulator::running() const { return impl_->is_running.load(); }
TransportKind Simulator::kind() const { return impl_->kind; }
std::uint16_t Simulator::port() const { return impl_->bound_port.load(); }

std::string Simulator::device_path() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->slave_path;
}

std::string Simulator::where() const {
  if (is_tcp(impl_->kind)) return "listening on " + impl_->options.bind_address + ":" + std::to_string(port());
  std::string path = device_path();
  if (!impl_->options.devices_dir.empty()) return "COM" + std::to_string(impl_->options.com_number) + " -> " + path;
  return "serial line " + path;
}

CounterModel& Simulator::model() { return impl_->model; }

void Simulator::set_faults(const Faults& faults) {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->faults = faults;
    ++impl_->faults_generation;
  }
  impl_->wake();
}

Faults Simulator::faults() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->faults;
}

void Simulator::set_firmware(Firmware firmware) {
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->pending_firmware = firmware;
  }
  impl_->wake();
}

ByteRecord Simulator::record() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->record;
}

void Simulator::clear_record() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->record = ByteRecord{};
}

bool Simulator::wait_received(std::string_view needle, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->record_cv.wait_for(lock, timeout, [&] {
    return impl_->record.received.find(needle) != std::string::npos;
  });
}

bool Simulator::wait_sent(std::string_view needle, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->record_cv.wait_for(lock, timeout, [&] {
    return impl_->record.sent.find(needle) != std::string::npos;
  });
}

unsigned long long Simulator::replies_sent() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->replies;
}

unsigned long long Simulator::connections_accepted() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->accepted;
}

std::unique_ptr<Simulator> start_simulator(TransportKind kind, const TransportOptions& options,
                                           std::string* error) {
  auto sim = std::make_unique<Simulator>(kind, options);
  if (!sim->start(error)) return nullptr;
  return sim;
}

std::unique_ptr<Simulator> start_tcp_instrument(const ModelOptions& model, std::uint16_t port,
                                                std::string* error) {
  TransportOptions o;
  o.model = model;
  o.port = port;
  return start_simulator(TransportKind::TcpInstrument, o, error);
}

std::unique_ptr<Simulator> start_prologix_lan(const ModelOptions& model, int gpib_address,
                                              std::uint16_t port, std::string* error) {
  TransportOptions o;
  o.model = model;
  o.port = port;
  o.gpib_address = gpib_address;
  o.adapter_address = gpib_address;
  return start_simulator(TransportKind::PrologixLan, o, error);
}

bool link_com_port(const std::string& folder, int number, const std::string& target, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) return set_error(error, "cannot create " + folder + ": " + ec.message()), false;
  std::filesystem::path link = std::filesystem::path(folder) / ("com" + std::to_string(number));
  std::filesystem::remove(link, ec);
  std::filesystem::create_symlink(target, link, ec);
  if (ec) return set_error(error, "cannot link " + link.string() + ": " + ec.message()), false;
  return true;
}

}  // namespace u62sim
