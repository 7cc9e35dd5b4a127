// The u6200a-sim program as a user runs it: it says where it listens,
// answers there, and ends cleanly on SIGINT, removing its COM link.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "sim/counter_model.h"
#include "tests/sim/client.h"

using namespace std::chrono_literals;

namespace {

std::string program() {
  const char* build = std::getenv("U62_BUILD_DIR");
  return std::string(build ? build : ".") + "/sim/u6200a-sim";
}

struct Running {
  pid_t pid = -1;
  int out = -1;

  bool start(std::vector<std::string> args) {
    int pipefd[2];
    if (pipe(pipefd) != 0) return false;
    pid = fork();
    if (pid == 0) {
      dup2(pipefd[1], 1);
      close(pipefd[0]);
      close(pipefd[1]);
      std::vector<char*> argv;
      std::string path = program();
      argv.push_back(path.data());
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(path.c_str(), argv.data());
      _exit(127);
    }
    close(pipefd[1]);
    out = pipefd[0];
    return pid > 0;
  }

  // The first `lines` lines of its output, within the time.
  std::string lines(int lines, std::chrono::milliseconds timeout) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::count(got.begin(), got.end(), '\n') < lines) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{out, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char c[256];
      ssize_t n = read(out, c, sizeof c);
      if (n <= 0) break;
      got.append(c, static_cast<std::size_t>(n));
    }
    return got;
  }

  // Exit code after the signal, or -1 when it does not end in time.
  int stop(int sig, std::chrono::milliseconds timeout) {
    if (sig) kill(pid, sig);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        pid = -1;
        return -1;
      }
      std::this_thread::sleep_for(5ms);
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  ~Running() {
    if (pid > 0) stop(SIGKILL, 2s);
    if (out >= 0) close(out);
  }
};

}  // namespace

TEST(Program, ServesUntilInterruptedAndCleansUp) {
  std::string devices = std::filesystem::temp_directory_path() / ("u62-sim-prog-" + std::to_string(getpid()));
  Running sim;
  ASSERT_TRUE(sim.start({"--tcp", "--serial=COM9", "--devices=" + devices, "--numbered", "--maker=array"}));
  std::string out = sim.lines(2, 5s);
  std::size_t at = out.find("listening on 127.0.0.1:");
  ASSERT_NE(at, std::string::npos) << out;
  int port = std::atoi(out.c_str() + at + 23);
  ASSERT_NE(out.find("COM9 -> /dev/pts/"), std::string::npos) << out;

  TestClient c;
  ASSERT_TRUE(c.connect_tcp(static_cast<std::uint16_t>(port)));
  EXPECT_EQ(c.query("*IDN?\n").rfind("ARRAY,U6200A,", 0), 0u);
  TestClient line;
  ASSERT_TRUE(line.open_serial(devices + "/com9"));
  std::string reading = line.query("READ?\n");
  EXPECT_EQ(u62sim::decode_numbered(std::strtod(reading.c_str(), nullptr)), 1) << reading;
  line.close();

  EXPECT_EQ(sim.stop(SIGINT, 5s), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(devices + "/com9")));
  std::filesystem::remove_all(devices);
}

TEST(Program, RefusesBadOptions) {
  for (const char* bad : {"--mode=fm", "--firmware=9.99", "--tcp=70000", "--usb=LPT1", "--what"}) {
    Running sim;
    ASSERT_TRUE(sim.start({bad}));
    EXPECT_EQ(sim.stop(0, 5s), 2) << bad;
  }
}
