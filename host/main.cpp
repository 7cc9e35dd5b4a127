// orvane-host: loads a driver module by path, runs its acquire command with
// a parameter store built from the command line, and records every reading
// the acquisition thread hands over.
#include <dlfcn.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>

#include "dialog/setup_dialog.h"
#include "host/host.h"
#include "host/host_store.h"
#include "host/options.h"
#include "host/recorder.h"
#ifdef ORVANE_HOST_WITH_SIM
#include "sim/sim.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;
using ovhost::Kind;

volatile sig_atomic_t g_interrupts = 0;

void on_signal(int) { g_interrupts = g_interrupts + 1; }

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// All terminal output goes through here, so that a message from the
// acquisition thread never lands in the middle of the progress line.
class Terminal {
 public:
  explicit Terminal(bool quiet) : quiet_(quiet), tty_(isatty(STDOUT_FILENO)) {}

  void line(const std::string& text, bool error = false) {
    std::lock_guard<std::mutex> l(mutex_);
    clear_progress_locked();
    std::FILE* f = error ? stderr : stdout;
    std::fprintf(f, "%s\n", text.c_str());
    std::fflush(f);
  }
  void info(const std::string& text) {
    if (!quiet_) line(text);
  }
  void progress(const std::string& text) {
    if (quiet_) return;
    std::lock_guard<std::mutex> l(mutex_);
    if (tty_) {
      std::fprintf(stdout, "\r\033[K%s", text.c_str());
      shown_ = true;
    } else {
      std::fprintf(stdout, "%s\n", text.c_str());
    }
    std::fflush(stdout);
  }
  void end_progress() {
    std::lock_guard<std::mutex> l(mutex_);
    clear_progress_locked();
  }
  bool tty() const { return tty_; }
  bool quiet() const { return quiet_; }

 private:
  void clear_progress_locked() {
    if (shown_) std::fputs("\r\033[K", stdout);
    shown_ = false;
  }
  std::mutex mutex_;
  bool quiet_;
  bool tty_;
  bool shown_ = false;
};

struct Module {
  void* handle = nullptr;
  int (*startup)(OV_RESOLVER, void*, OV_TIMER*) = nullptr;
  void (*shutdown)() = nullptr;
  bool (*acquire)(int, void*, KVBASE*, int) = nullptr;
  void (*destroy)(void*) = nullptr;

  bool load(const std::string& path, std::string& error) {
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char* e = dlerror();
      error = e ? e : ("cannot load " + path);
      return false;
    }
    startup = reinterpret_cast<decltype(startup)>(dlsym(handle, "OVD_startup"));
    shutdown = reinterpret_cast<decltype(shutdown)>(dlsym(handle, "OVD_shutdown"));
    acquire = reinterpret_cast<decltype(acquire)>(dlsym(handle, "OVD_CMD_acquire"));
    destroy = reinterpret_cast<decltype(destroy)>(dlsym(handle, "OVD_destroy_thread_context"));
    const char* missing = !startup    ? "OVD_startup"
                          : !shutdown ? "OVD_shutdown"
                          : !acquire  ? "OVD_CMD_acquire"
                          : !destroy  ? "OVD_destroy_thread_context"
                                      : nullptr;
    if (missing) {
      error = path + " does not export " + missing;
      return false;
    }
    return true;
  }
};

std::string program_folder() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  buf[n] = 0;
  std::string path(buf);
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string default_module() {
  std::string beside = program_folder() + "/../driver/U6200A.ovd";
  if (access(beside.c_str(), R_OK) == 0) return beside;
  return "U6200A.ovd";
}

std::string default_output() {
  char name[64];
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(name, sizeof name, "u6200a-%Y%m%d-%H%M%S.txt", &local);
  return name;
}

std::string last_param(const ovhost::Options& o, const char* key) {
  std::string value;
  for (auto& [k, v] : o.params)
    if (strcasecmp(k.c_str(), key) == 0) value = v;
  return value;
}

bool has_param(const ovhost::Options& o, const char* key) {
  for (auto& [k, v] : o.params)
    if (strcasecmp(k.c_str(), key) == 0) return true;
  return false;
}

std::string trimmed(std::string s) {
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.pop_back();
  size_t first = 0;
  while (first < s.size() && static_cast<unsigned char>(s[first]) <= ' ') first++;
  return s.substr(first);
}

void dialog_trace(void* user, const char* text) {
  static_cast<Terminal*>(user)->info(std::string("Dialog: ") + (text ? text : ""));
}

struct Live {
  std::atomic<long long> count{0};
  std::atomic<double> last{0};
  std::atomic<bool> frequency{false};
  std::atomic<int64_t> first_micros{-1};
  std::atomic<int64_t> last_micros{-1};
  std::mutex mutex;
  std::string instrument;  // as last shown
};

}  // namespace

int main(int argc, char** argv) {
  ovhost::Options o;
  std::string error;
  if (!ovhost::parse_options(argc, argv, o, error)) {
    std::fprintf(stderr, "orvane-host: %s\n", error.c_str());
    return 2;
  }
  if (o.help) {
    std::fputs(ovhost::usage("orvane-host").c_str(), stdout);
    return 0;
  }
  Terminal term(o.quiet);
  // The driver paces its reads with 10 ms sleeps; the default slack of the
  // timer would stretch every one of them. Threads started later inherit it.
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

  std::string folder = o.settings_folder.empty() ? ovhost::default_settings_folder() : o.settings_folder;
  if (folder.back() != '/') folder += '/';
  if (!ovhost::make_folders(folder, error) || !ovhost::set_settings_folder(folder)) {
    std::fprintf(stderr, "orvane-host: settings folder %s: %s\n", folder.c_str(),
                 error.empty() ? "too long" : error.c_str());
    return 2;
  }
  ovhost::Config config;
  config.echo = false;
  config.sample_retention = 0;  // the file keeps them
  ovhost::configure(config);

  std::string dialog_script;
  if (!o.dialog_script.empty()) {
    std::ifstream in(o.dialog_script);
    if (!in) {
      std::fprintf(stderr, "orvane-host: cannot read %s\n", o.dialog_script.c_str());
      return 2;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    dialog_script = ss.str();
  }

#ifdef ORVANE_HOST_WITH_SIM
  std::unique_ptr<u62sim::Simulator> sim;
  if (o.simulate) {
    u62sim::ModelOptions model;
    std::string type = last_param(o, "Data Type");
    model.mode = (!type.empty() && ovhost::parse_number(type) != 0) ? u62sim::CounterMode::Frequency
                                                                     : u62sim::CounterMode::TimeInterval;
    if (o.sim_gate_ms >= 0) model.measurement_time = std::chrono::milliseconds(o.sim_gate_ms);
    model.numbered = o.sim_numbered;
    u62sim::TransportOptions sim_options;
    sim_options.model = model;
    // The byte record only serves --sim-transcript; a long run without it
    // keeps a small one, so that the process stays the same size for days.
    if (o.sim_transcript.empty()) {
      sim_options.record_limit = 64 * 1024;
      sim_options.model.transcript_limit = 0;
    }
    sim = u62sim::start_simulator(u62sim::TransportKind::TcpInstrument, sim_options, &error);
    if (!sim) {
      std::fprintf(stderr, "orvane-host: the simulated counter did not start: %s\n", error.c_str());
      return 1;
    }
    term.info("Simulated counter " + sim->where());
    o.params.emplace_back("Interface", ".");
    o.params.emplace_back("Address", "127.0.0.1:" + std::to_string(sim->port()));
    if (!has_param(o, "Data Type")) o.params.emplace_back("Data Type", "0");
  }
#else
  if (o.simulate) {
    std::fprintf(stderr, "orvane-host: this build has no simulated counter\n");
    return 2;
  }
#endif
  if (o.simulate && !o.readings && !o.seconds && !has_param(o, "Duration")) o.seconds = 10;

  ovhost::HostStore store;
  for (auto& [key, value] : o.params) store.put(key, value);

  std::string module_path = o.module.empty() ? default_module() : o.module;
  Module module;
  if (!module.load(module_path, error)) {
    std::fprintf(stderr, "orvane-host: %s\n", error.c_str());
    return 1;
  }

  Live live;
  ovhost::on_message([&](const ovhost::Message& m) {
    std::string text = ovhost::display_text(m.kind, m.text);
    if (m.kind == Kind::failure)
      term.line("Failure: " + text, true);
    else if (m.kind == Kind::warning)
      term.line("Warning: " + text, true);
    else
      term.info("Status: " + text);
  });

  int started_rc = module.startup(host_resolve, ovhost::application_record(), ovhost::timer());
  ovhost::Registration reg = ovhost::registration();
  if (started_rc != 1 || !reg.registered || !reg.acquire) {
    std::fprintf(stderr, "orvane-host: the driver did not register (OVD_startup answered %d)\n", started_rc);
    return 1;
  }
  char text[1024];
  std::snprintf(text, sizeof text, "Registered driver \"%s\" (%d, %d, %d) from %s", reg.name.c_str(), reg.a, reg.b,
                reg.c, module_path.c_str());
  term.info(text);
  term.info("Settings folder " + folder);

  ovhost::Recorder recorder;
  std::string output = o.output.empty() ? default_output() : o.output;
  if (!recorder.open(output, error)) {
    std::fprintf(stderr, "orvane-host: %s\n", error.c_str());
    module.shutdown();
    return 1;
  }

  int acq = ovhost::new_handle();
  const std::string initial_instrument = "Picotest/Array U6200A series";
  ovhost::on_parameters([&](int handle) {
    std::vector<ovhost::Param> params = ovhost::parameters(handle);
    recorder.set_parameters(params);
    std::string instrument;
    for (auto& p : params)
      if (strcasecmp(p.key.c_str(), "Instrument") == 0) instrument = trimmed(p.value);
    std::lock_guard<std::mutex> l(live.mutex);
    if (!instrument.empty() && instrument != initial_instrument && instrument != live.instrument) {
      live.instrument = instrument;
      term.info("Instrument: " + instrument);
    }
  });
  long long limit = o.readings;
  ovhost::on_sample([&](int handle, const ovhost::Sample& s) {
    recorder.add(s.reading, s.frequency);
    live.last = s.reading;
    live.frequency = s.frequency;
    if (live.first_micros < 0) live.first_micros = s.micros;
    live.last_micros = s.micros;
    // Stopping from here, before the driver's next pass, keeps the count
    // exact: the closing sequence discards the reply still in flight.
    if (++live.count == limit) ovhost::set_thread_command(handle, OV_CMD_STOP);
  });

  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // A closed terminal pipe or a dropped instrument socket must not kill the
  // process before the counter is back in continuous mode.
  signal(SIGPIPE, SIG_IGN);

  SETUP_REQUEST request{};
  request.magic = SETUP_REQUEST_MAGIC;
  request.kind = dialog_script.empty() ? SETUP_ACCEPT : SETUP_SCRIPT;
  request.script = dialog_script.empty() ? nullptr : dialog_script.c_str();
  request.trace = dialog_trace;
  request.trace_user = &term;
  void* parent = ovhost::shows_dialog(o) ? &request : nullptr;

  term.info("Recording to " + output);
  Clock::time_point start = Clock::now();
  if (!reg.acquire(acq, parent, store.kvbase(), ovhost::acquire_flags(o))) {
    term.line("The acquire command did not start an acquisition", true);
    if (ovhost::shows_dialog(o))
      term.line("(the setup dialog was not accepted; --no-dialog starts with the parameters as given)", true);
    recorder.discard();
    module.shutdown();
    return 1;
  }

  bool stop_sent = false, abort_sent = false, user_abort = false;
  int interrupts_seen = 0;
  Clock::time_point stop_at{}, abort_at{}, last_progress = start;
  std::deque<std::pair<double, long long>> window{{0.0, 0}};  // (seconds, count) for the rate
  auto stop = [&](int command, const char* why) {
    if (why[0]) term.info(why);
    ovhost::set_thread_command(acq, command);
    if (command == OV_CMD_STOP) {
      stop_sent = true;
      stop_at = Clock::now();
    } else {
      abort_sent = true;
      abort_at = Clock::now();
    }
  };
  while (!ovhost::wait_thread_end(acq, 100)) {
    int n = g_interrupts;
    if (n > interrupts_seen) {
      interrupts_seen = n;
      if (n == 1 && !stop_sent) {
        stop(OV_CMD_STOP, "Stopping (Ctrl-C again to abort) ...");
      } else if (!abort_sent) {
        user_abort = true;
        stop(OV_CMD_ABORT, "Aborting ...");
      }
    }
    double elapsed = seconds_since(start);
    if (!stop_sent && o.seconds > 0 && elapsed >= o.seconds) stop(OV_CMD_STOP, "");
    if (stop_sent && !abort_sent && seconds_since(stop_at) > 20)
      stop(OV_CMD_ABORT, "The driver has not stopped within 20 s; aborting");
    if (abort_sent && seconds_since(abort_at) > 10) {
      term.line("orvane-host: the acquisition thread does not end; leaving it", true);
      recorder.close();
      std::_Exit(1);
    }
    if (std::chrono::duration<double>(Clock::now() - last_progress).count() >= (term.tty() ? 0.25 : 2.0)) {
      last_progress = Clock::now();
      long long count = live.count;
      window.emplace_back(elapsed, count);
      while (window.size() > 2 && window.front().first < elapsed - 5) window.pop_front();
      double rate = 0;
      if (window.size() >= 2 && window.back().first > window.front().first)
        rate = (window.back().second - window.front().second) / (window.back().first - window.front().first);
      char line[256];
      std::snprintf(line, sizeof line, "%lld readings  %.1f/s  last %s %s  %.1f s", count, rate,
                    count ? ovhost::Recorder::format(live.last).c_str() : "-",
                    count ? (live.frequency ? "Hz" : "s") : "", elapsed);
      term.progress(line);
    }
  }
  term.end_progress();
  double elapsed = seconds_since(start);
  ovhost::Status st = ovhost::status(acq);
  ovhost::close_acquisition(acq, 2000);
  recorder.close();

  long long count = live.count;
  // The rate while readings flowed, without the time the connection took.
  double span = (live.last_micros - live.first_micros) / 1e6;
  double rate = count > 1 && span > 0 ? (count - 1) / span : 0.0;
  char line[1024];
  std::snprintf(line, sizeof line, "%lld readings in %.1f s (%.1f/s) written to %s", count, elapsed, rate,
                output.c_str());
  term.line(line);
  if (recorder.write_failed()) term.line("orvane-host: writing " + output + " failed", true);
  module.shutdown();

#ifdef ORVANE_HOST_WITH_SIM
  if (sim) {
    u62sim::CounterModel& model = sim->model();
    term.info(std::string("Simulated counter: ") + (model.continuous() ? "continuous measurement" : "single measurements") +
              ", " + (model.remote() ? "remote control" : "local control"));
    if (!o.sim_transcript.empty()) {
      std::ofstream out(o.sim_transcript);
      for (const std::string& entry : model.transcript()) out << entry << '\n';
      if (!out) term.line("orvane-host: cannot write " + o.sim_transcript, true);
    }
    sim.reset();
  }
#endif

  ovhost::on_sample(nullptr);
  ovhost::on_parameters(nullptr);
  ovhost::on_message(nullptr);

  bool failed = !ovhost::messages(Kind::failure).empty() || recorder.write_failed();
  if (user_abort) return 130;
  if (failed || st.finish != OV_FINISH_NORMAL) {
    if (!failed) term.line("The acquisition ended early", true);
    return 1;
  }
  return 0;
}
