// orvane-host as a user runs it: the real program loading the real module,
// acquiring from the simulated counter over a loopback socket.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim.h"

namespace {

std::string build_dir() {
  const char* dir = std::getenv("U62_BUILD_DIR");
  return dir ? dir : ".";
}

std::string read_all(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> readings_in(const std::string& path) {
  std::vector<std::string> out;
  std::istringstream lines(read_all(path));
  std::string line;
  while (std::getline(lines, line))
    if (!line.empty() && line[0] != '#') out.push_back(line);
  return out;
}

struct RUN {
  std::string dir;
  pid_t pid = -1;
  int status = -1;
  std::string out, err;
  std::vector<std::pair<std::string, std::string>> env;

  RUN() {
    char pattern[] = "/tmp/orvane-host-run-XXXXXX";
    const char* d = mkdtemp(pattern);
    dir = d ? d : "/tmp";
  }
  ~RUN() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }

  // Starts the program in its own folder with a private configuration home
  // and interface marks of its own.
  void start(std::vector<std::string> args, bool with_module = true) {
    args.insert(args.begin(), build_dir() + "/host/orvane-host");
    if (with_module) {
      args.push_back("--module");
      args.push_back(build_dir() + "/driver/U6200A.ovd");
    }
    pid = fork();
    if (pid == 0) {
      if (chdir(dir.c_str()) != 0) _exit(99);
      setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
      // Every run on the loopback marks the same interface, 127.0.0.1: runs
      // in parallel must not see each other's marks.
      setenv("ORVANE_MARK_DIR", (dir + "/marks").c_str(), 1);
      for (auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
      int o = open((dir + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int e = open((dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(o, 1);
      dup2(e, 2);
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(98);
    }
  }

  // Waits for the exit; false (and the program killed) after the time-out.
  bool wait(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        out = read_all(dir + "/stdout");
        err = read_all(dir + "/stderr");
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    pid = -1;
    out = read_all(dir + "/stdout");
    err = read_all(dir + "/stderr");
    return false;
  }

  int exit_code() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

  bool wait_for_readings(const std::string& file, size_t n, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
      if (readings_in(file).size() >= n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  std::string both() const { return "stdout:\n" + out + "\nstderr:\n" + err; }
};

// A loopback port that nothing listens on.
int closed_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

}  // namespace

TEST(Program, DemoRunsABoundedAcquisitionWithDefaults) {
  RUN run;
  auto t0 = std::chrono::steady_clock::now();
  run.start({"--simulate"});
  ASSERT_TRUE(run.wait(30000)) << run.both();
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(run.exit_code(), 0) << run.both();
  EXPECT_GE(took, 9.5);
  EXPECT_NE(run.out.find("Registered driver \"Picotest/Array U6200A series ...\" (112, 6, 0)"), std::string::npos)
      << run.both();
  EXPECT_NE(run.out.find("Instrument: PICOTEST"), std::string::npos) << run.both();
  size_t at = run.out.find("written to ");
  ASSERT_NE(at, std::string::npos) << run.both();
  std::string file = run.out.substr(at + 11, run.out.find('\n', at) - at - 11);
  EXPECT_GT(readings_in(run.dir + "/" + file).size(), 20u) << file;
  // The per-user settings folder was made; the simulated address is not saved.
  EXPECT_EQ(access((run.dir + "/config/orvane").c_str(), W_OK), 0);
  EXPECT_NE(access((run.dir + "/config/orvane/Brisel.ini").c_str(), F_OK), 0);
}

TEST(Program, ReadingsBoundIsExactAndTheFileDescribesThem) {
  RUN run;
  std::string file = run.dir + "/freq.txt";
  run.start({"--simulate", "--sim-gate-ms", "0", "--readings", "25", "--data-type", "freq", "--set",
             "Scale Factor=1E-6", "--set", "Trace=bench run", "-o", file, "--sim-transcript", run.dir + "/t.txt",
             "--quiet"});
  ASSERT_TRUE(run.wait(30000)) << run.both();
  EXPECT_EQ(run.exit_code(), 0) << run.both();
  std::vector<std::string> got = readings_in(file);
  ASSERT_EQ(got.size(), 25u);
  for (auto& r : got) EXPECT_NEAR(std::strtod(r.c_str(), nullptr), 10.0, 1e-3) << r;  // 10 MHz in MHz
  std::string text = read_all(file);
  for (const char* line : {"# Readings: frequency in Hz", "# Data Type = 1\n", "# Interface = .\n",
                           "# Address = 127.0.0.1:", "# Trace = bench run\n", "# Instrument = PICOTEST"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  std::string transcript = read_all(run.dir + "/t.txt");
  EXPECT_NE(transcript.find("INIT:CONT ON;*WAI"), std::string::npos) << transcript;
  EXPECT_EQ(run.out.find("readings  "), std::string::npos);  // no progress when quiet
}

TEST(Program, CtrlCStopsCleanlyAndReturnsTheCounterToContinuousMode) {
  RUN run;
  std::string file = run.dir + "/ti.txt";
  run.start({"--simulate", "--seconds", "60", "-o", file, "--sim-transcript", run.dir + "/t.txt"});
  ASSERT_TRUE(run.wait_for_readings(file, 3, 20000));
  kill(run.pid, SIGINT);
  ASSERT_TRUE(run.wait(15000)) << run.both();
  EXPECT_EQ(run.exit_code(), 0) << run.both();
  EXPECT_NE(run.out.find("Stopping"), std::string::npos);
  EXPECT_NE(run.out.find("Simulated counter: continuous measurement"), std::string::npos) << run.both();
  std::string transcript = read_all(run.dir + "/t.txt");
  size_t last_line = transcript.rfind('\n', transcript.size() - 2);
  EXPECT_EQ(transcript.substr(last_line + 1), "INIT:CONT ON;*WAI\n") << transcript;
  for (auto& r : readings_in(file)) EXPECT_LT(std::strtod(r.c_str(), nullptr), 1e-3) << r;  // seconds
}

TEST(Program, SecondCtrlCAborts) {
  RUN run;
  std::string file = run.dir + "/ti.txt";
  // Slow readings keep the driver in its read when the commands arrive.
  run.start({"--simulate", "--sim-gate-ms", "1000", "--seconds", "60", "-o", file, "--sim-transcript",
             run.dir + "/t.txt"});
  ASSERT_TRUE(run.wait_for_readings(file, 1, 20000));
  kill(run.pid, SIGINT);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  kill(run.pid, SIGINT);
  ASSERT_TRUE(run.wait(15000)) << run.both();
  EXPECT_EQ(run.exit_code(), 130) << run.both();
  EXPECT_NE(run.out.find("Aborting"), std::string::npos);
  EXPECT_EQ(read_all(run.dir + "/t.txt").find("INIT:CONT ON"), std::string::npos);
  EXPECT_NE(run.out.find("Simulated counter: single measurements"), std::string::npos) << run.both();
}

TEST(Program, FailedConnectionExitsNonZeroWithTheDriversFailure) {
  RUN run;
  std::string folder = run.dir + "/settings";
  run.start({"--interface", ".", "--address", "127.0.0.1:" + std::to_string(closed_port()), "--no-dialog",
             "--settings-folder", folder, "-o", run.dir + "/none.txt"});
  ASSERT_TRUE(run.wait(30000)) << run.both();
  EXPECT_EQ(run.exit_code(), 1) << run.both();
  EXPECT_NE(run.err.find("Failure: "), std::string::npos) << run.both();
  // The failure is one line.
  size_t at = run.err.find("Failure: ");
  EXPECT_EQ(run.err.find("Failure: ", at + 1), std::string::npos) << run.err;
  // Without flag 8 the driver saved its settings in the folder it was given.
  std::string saved = read_all(folder + "/Brisel.ini");
  EXPECT_NE(saved.find("Interface"), std::string::npos) << saved;
}

TEST(Program, CommandLineMistakesAndMissingModules) {
  {
    RUN run;
    run.start({"--no-such-option"});
    ASSERT_TRUE(run.wait(10000));
    EXPECT_EQ(run.exit_code(), 2);
    EXPECT_NE(run.err.find("unknown option"), std::string::npos);
  }
  {
    RUN run;
    run.start({"--help"}, false);
    ASSERT_TRUE(run.wait(10000));
    EXPECT_EQ(run.exit_code(), 0);
    EXPECT_NE(run.out.find("--simulate"), std::string::npos);
  }
  {
    RUN run;
    run.start({"--module", run.dir + "/absent.ovd", "--no-dialog"}, false);
    ASSERT_TRUE(run.wait(10000));
    EXPECT_EQ(run.exit_code(), 1);
    EXPECT_NE(run.err.find("absent.ovd"), std::string::npos) << run.err;
  }
}

TEST(Program, CancelledDialogStartsNothingAndSavesNothing) {
  RUN run;
  std::ofstream(run.dir + "/script.txt") << "press Cancel\n";
  std::string folder = run.dir + "/settings";
  run.start({"--dialog-script", run.dir + "/script.txt", "--settings-folder", folder, "-o", run.dir + "/none.txt"});
  ASSERT_TRUE(run.wait(30000)) << run.both();
  EXPECT_EQ(run.exit_code(), 1) << run.both();
  EXPECT_NE(run.out.find("Dialog: "), std::string::npos) << run.both();
  EXPECT_NE(run.err.find("did not start an acquisition"), std::string::npos) << run.both();
  EXPECT_NE(access((folder + "/Brisel.ini").c_str(), F_OK), 0);
  EXPECT_NE(access((run.dir + "/none.txt").c_str(), F_OK), 0);
}

// Every kind of connection a user can give on the command line, each to its
// simulator, ends with the readings on disk and the counter back in
// continuous mode (and under local control behind an adapter).
TEST(Program, EveryConnectionKindFromTheCommandLine) {
  enum KIND { LAN, USB, SERIAL, TCP, NI };
  for (KIND kind : {LAN, USB, SERIAL, TCP, NI}) {
    SCOPED_TRACE(kind);
    RUN run;
    u62sim::TransportOptions options;
    options.devices_dir = run.dir + "/devices";
    options.gpib_address = 10;
    options.adapter_address = 10;
    options.model.measurement_time = std::chrono::milliseconds(20);
    std::unique_ptr<u62sim::Simulator> sim;
    std::string error, interface_text, address = "10";
    switch (kind) {
      case LAN:
        sim = u62sim::start_simulator(u62sim::TransportKind::PrologixLan, options, &error);
        if (sim) interface_text = "127.0.0.1:" + std::to_string(sim->port());
        break;
      case USB:
        options.com_number = 7;
        sim = u62sim::start_simulator(u62sim::TransportKind::PrologixUsb, options, &error);
        interface_text = "COM7";
        break;
      case SERIAL:
        options.com_number = 8;
        sim = u62sim::start_simulator(u62sim::TransportKind::SerialInstrument, options, &error);
        interface_text = "COM8:baud=115200 parity=N data=8 stop=1";
        break;
      case TCP:
        sim = u62sim::start_simulator(u62sim::TransportKind::TcpInstrument, options, &error);
        interface_text = ".";
        if (sim) address = "127.0.0.1:" + std::to_string(sim->port());
        break;
      case NI:
        interface_text = "GPIB0";
        address = "3";
        run.env.push_back({"LD_LIBRARY_PATH", build_dir() + "/sim/ni488/lib"});
        run.env.push_back({"U62_NI_SIM_GATE_MS", "20"});
        break;
    }
    if (kind != NI) {
      ASSERT_TRUE(sim) << error;
    }
    run.env.push_back({"ORVANE_DEVICES", options.devices_dir});
    std::string file = run.dir + "/readings.txt";
    run.start({"--interface", interface_text, "--address", address, "--no-dialog", "--no-settings-write",
               "--readings", "5", "--quiet", "--output", file});
    ASSERT_TRUE(run.wait(30000)) << run.both();
    EXPECT_EQ(run.exit_code(), 0) << run.both();
    EXPECT_EQ(readings_in(file).size(), 5u) << run.both();
    if (sim) {
      std::string received = sim->record().received;
      size_t cont = received.rfind("INIT:CONT ON;*WAI");
      EXPECT_NE(cont, std::string::npos) << received.substr(received.size() > 400 ? received.size() - 400 : 0);
      if (kind == LAN || kind == USB) {
        EXPECT_NE(received.find("++loc", cont), std::string::npos);
      }
    }
  }
}
