// The acquisition thread on a National Instruments board: the stand-in
// GPIB library, found by the real dynamic loader first on its path, with
// the simulated counter at GPIB address 3.
#include <dlfcn.h>

#include <cstdlib>
#include <sstream>

#include "acq_fixture.h"
#include "sim/counter_model.h"

namespace {

using acqtest::count_of;

struct NI_SIM {
  void* lib = nullptr;
  void (*reset)() = nullptr;
  long (*calls)(char*, long) = nullptr;
  long (*transcript)(char*, long) = nullptr;
  NI_SIM() {
    lib = dlopen("libgpib.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return;
    reset = reinterpret_cast<void (*)()>(dlsym(lib, "u62sim_ni_reset"));
    calls = reinterpret_cast<long (*)(char*, long)>(dlsym(lib, "u62sim_ni_calls"));
    transcript = reinterpret_cast<long (*)(char*, long)>(dlsym(lib, "u62sim_ni_transcript"));
  }
  ~NI_SIM() {
    if (lib) dlclose(lib);
  }
  bool ready() const { return reset && calls && transcript; }
  static std::string text(long (*get)(char*, long)) {
    std::string out(static_cast<size_t>(get(nullptr, 0)) + 1, '\0');
    get(out.data(), static_cast<long>(out.size()));
    out.resize(out.size() - 1);
    return out;
  }
  std::vector<std::string> counter_lines() const {
    std::vector<std::string> out;
    std::istringstream in(text(transcript));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  std::string call_log() const { return text(calls); }
};

class NiTest : public acqtest::HostTest {
 protected:
  void SetUp() override {
    acqtest::HostTest::SetUp();
    ASSERT_TRUE(ni_.ready()) << "the stand-in GPIB library is not first on the loader's path: " << dlerror();
    setenv("U62_NI_SIM_FAULT", "", 1);
    setenv("U62_NI_SIM_NUMBERED", "1", 1);
    setenv("U62_NI_SIM_GATE_MS", "5", 1);
    setenv("U62_NI_SIM_MODE", "", 1);
    ni_.reset();
  }
  void use_mode(const char* mode) {
    setenv("U62_NI_SIM_MODE", mode, 1);
    ni_.reset();
  }
  NI_SIM ni_;
};

struct NI_CASE {
  bool time_interval;
  bool query_id;
};

void PrintTo(const NI_CASE& c, std::ostream* out) {
  *out << (c.time_interval ? "time interval" : "frequency") << (c.query_id ? " with id" : "");
}

class NiBoard : public NiTest, public ::testing::WithParamInterface<NI_CASE> {};

TEST_P(NiBoard, ReadingsFlowAndStopReturnsTheCounterToLocal) {
  const NI_CASE& c = GetParam();
  use_mode(c.time_interval ? "ti" : "");
  int acq = start({{"Interface", "GPIB0"},
                   {"Address", "3"},
                   {"Data Type", c.time_interval ? "0" : "1"},
                   {"Query Instrument ID", c.query_id ? "True" : "False"}});
  ASSERT_NE(acq, 0);
  ASSERT_TRUE(ovhost::wait_samples(acq, 30, 15000)) << ovhost::samples(acq).size();
  ASSERT_TRUE(command_and_wait(acq, OV_CMD_STOP));
  EXPECT_TRUE(acqtest::failures().empty()) << acqtest::failures()[0];
  EXPECT_EQ(acqtest::tail(ovhost::calls(acq), 3), (std::vector<std::string>{"finish 4", "unlock", "thread_end"}));

  // Every reading after the first, once and in order.
  auto samples = ovhost::samples(acq);
  for (size_t i = 0; i < samples.size(); i++) {
    EXPECT_EQ(u62sim::decode_numbered(samples[i].reading), static_cast<long long>(i) + 2) << i;
    EXPECT_EQ(samples[i].frequency, !c.time_interval);
    EXPECT_TRUE(samples[i].locked);
  }
  if (c.query_id) {
    EXPECT_EQ(ovhost::parameter(acq, "Instrument").rfind("PICOTEST,U6200A,", 0), 0u);
  }

  // The counter's view: a device clear, single measurements, one trigger per
  // handled reply, then continuous mode again and local control.
  std::vector<std::string> expected = {"[DCL]", "INIT:CONT OFF;*WAI", "INIT;*WAI;FETCH?",
                                       c.query_id ? "*IDN?" : "INIT;*WAI;FETCH?"};
  size_t handled = samples.size() + (c.query_id ? 1 : 0);
  for (size_t i = 0; i < handled; i++) expected.push_back("INIT;*WAI;FETCH?");
  expected.push_back("INIT:CONT ON;*WAI");
  std::vector<std::string> lines = ni_.counter_lines();
  std::vector<std::string> messages;
  for (const auto& l : lines)
    if (l != "[REN]") messages.push_back(l);
  ASSERT_GE(messages.size(), 1u);
  EXPECT_EQ(messages.back(), "[GTL]");
  messages.pop_back();
  EXPECT_EQ(messages, expected);
  EXPECT_NE(ni_.call_log().find("ibloc"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(DataTypes, NiBoard,
                         ::testing::Values(NI_CASE{false, true}, NI_CASE{false, false}, NI_CASE{true, true},
                                           NI_CASE{true, false}),
                         [](const ::testing::TestParamInfo<NI_CASE>& info) {
                           return std::string(info.param.time_interval ? "TimeInterval" : "Frequency") +
                                  (info.param.query_id ? "WithId" : "WithoutId");
                         });

// Nobody listens at address 4, so the first command fails (no listener)
// and the abort it causes is seen before the next step of the set-up.
TEST_F(NiTest, FailingWriteDuringSetUpAbortsBeforeTheLoop) {
  int acq = ovhost::new_handle();
  acqtest::watch_failures(acq);
  ASSERT_EQ(start({{"Interface", "GPIB0"}, {"Address", "4"}}, acq), acq);
  ASSERT_TRUE(ovhost::wait_thread_end(acq, 10000));
  auto shown = acqtest::failures();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].rfind("Acquisition failed: ibwrt Error ibsta=&H", 0), 0u) << shown[0];
  EXPECT_EQ(shown[0].find('\n'), std::string::npos);
  EXPECT_EQ(acqtest::calls_after_failure(acq),
            (std::vector<std::string>{"command 5", "state 7", "unlock", "thread_end"}));
  EXPECT_TRUE(ovhost::samples(acq).empty());
  EXPECT_EQ(count_of(ni_.call_log(), "ibwrt"), 1);
}

TEST_F(NiTest, MissingBoardFailsTheOpening) {
  int acq = ovhost::new_handle();
  acqtest::watch_failures(acq);
  ASSERT_EQ(start({{"Interface", "GPIB5"}, {"Address", "3"}}, acq), acq);
  ASSERT_TRUE(ovhost::wait_thread_end(acq, 10000));
  auto shown = acqtest::failures();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].rfind("Acquisition failed: National Instruments board (GPIB5) not found", 0), 0u) << shown[0];
  EXPECT_EQ(shown[0].find('\n'), std::string::npos);
  EXPECT_EQ(acqtest::calls_after_failure(acq),
            (std::vector<std::string>{"command 5", "state 7", "unlock", "thread_end"}));

  // The board's interface mark went with the port.
  int again = start({{"Interface", "GPIB0"}, {"Address", "3"}});
  ASSERT_NE(again, 0);
  EXPECT_TRUE(ovhost::wait_samples(again, 2, 15000));
}

}  // namespace
