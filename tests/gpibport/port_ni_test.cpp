// NI connections through the stand-in GPIB library, found by the real
// dynamic loader on LD_LIBRARY_PATH, with the simulated counter at GPIB
// address 3 of board GPIB0.
#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "drivers/shared/gpibport/gpibport.h"
#include "drivers/shared/gpibport/ni488.h"
#include "hook_recorder.h"
#include "platform/clock.h"

namespace {

typedef void (*RESET_FN)();
typedef long (*TEXT_FN)(char*, long);

class NiPort : public testing::Test {
 protected:
  void SetUp() override {
    lib_ = dlopen("libgpib.so.0", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib_, nullptr) << "the stand-in library is not on the loader's path: " << dlerror();
    reset_ = reinterpret_cast<RESET_FN>(dlsym(lib_, "u62sim_ni_reset"));
    calls_ = reinterpret_cast<TEXT_FN>(dlsym(lib_, "u62sim_ni_calls"));
    transcript_ = reinterpret_cast<TEXT_FN>(dlsym(lib_, "u62sim_ni_transcript"));
    ASSERT_TRUE(reset_ && calls_ && transcript_) << "not the stand-in library";
    unsetenv("U62_NI_SIM_FAULT");
    unsetenv("U62_NI_SIM_ADDRESS");
    reset_();
    port_.owner = &rec_;
  }
  void TearDown() override {
    port_.close(true);
    unsetenv("U62_NI_SIM_FAULT");
    if (lib_) dlclose(lib_);
  }
  void fault(const char* faults) {
    setenv("U62_NI_SIM_FAULT", faults, 1);
    reset_();
  }
  std::string calls() {
    std::string out(1 << 16, '\0');
    long n = calls_(out.data(), static_cast<long>(out.size()));
    out.resize(static_cast<size_t>(std::min<long>(n, static_cast<long>(out.size()) - 1)));
    return out;
  }
  std::string transcript() {
    std::string out(1 << 16, '\0');
    long n = transcript_(out.data(), static_cast<long>(out.size()));
    out.resize(static_cast<size_t>(std::min<long>(n, static_cast<long>(out.size()) - 1)));
    return out;
  }
  int open(int address, int timeout_ms = 1500, int own_address = -1, bool clear = false) {
    port_.select_interface("GPIB0");
    return port_.open(address, HOOK_RECORDER::hook, clear, timeout_ms, own_address, false, 4096, false);
  }

  void* lib_ = nullptr;
  RESET_FN reset_ = nullptr;
  TEXT_FN calls_ = nullptr;
  TEXT_FN transcript_ = nullptr;
  HOOK_RECORDER rec_;
  GPIBPORT port_;
};

TEST_F(NiPort, OpenConfiguresBoardAndDevice) {
  ASSERT_EQ(open(3), 1) << rec_.all();
  EXPECT_EQ(port_.ni_board, 0);
  EXPECT_NE(port_.ni_device, -1);
  EXPECT_EQ(port_.terminator, 10);
  std::string dev = std::to_string(port_.ni_device);
  EXPECT_EQ(calls(),
            "ibfind GPIB0\n"
            "ibdev 0 3 0 12 1 0\n"
            "ibconfig 0 2 0\n"
            "ibconfig 0 3 12\n"
            "ibconfig 0 7 1\n"
            "ibconfig 0 8 0\n"
            "ibconfig 0 26 1\n"
            "ibconfig " + dev + " 4 1\n"
            "ibconfig " + dev + " 13 0\n"
            "ibconfig " + dev + " 15 10\n"
            "ibconfig " + dev + " 12 1\n");
  EXPECT_TRUE(rec_.reports.empty());
}

TEST_F(NiPort, QueryAndReadingsReachTheCounter) {
  ASSERT_EQ(open(3), 1) << rec_.all();
  char* id = port_.query("*IDN?");
  ASSERT_NE(id, nullptr) << rec_.all();
  EXPECT_EQ(std::string(id).rfind("PICOTEST", 0), 0u) << id;
  EXPECT_EQ(std::string(id).back(), '\n');

  // The 16 bytes of the trigger and CR LF go out in one write.
  std::string dev = std::to_string(port_.ni_device);
  ASSERT_EQ(port_.send("INIT;*WAI;FETCH?"), 1);
  EXPECT_NE(calls().find("ibwrt " + dev + " 18\n"), std::string::npos);
  int status = 1;
  char* reading = port_.receive(-1, false, false, &status);
  ASSERT_NE(reading, nullptr);
  EXPECT_EQ(status, RX_TERMINATED);
  double value = 0;
  EXPECT_EQ(std::sscanf(reading, "%lf", &value), 1) << reading;
  EXPECT_GT(value, 9e6);
  EXPECT_NE(transcript().find("INIT;*WAI;FETCH?"), std::string::npos);
  EXPECT_TRUE(rec_.reports.empty());
}

// Nobody answers at address 4: a read runs into the library's time-out.
TEST_F(NiPort, SilentDeviceTimesOut) {
  ASSERT_EQ(open(4, 100), 1) << rec_.all();
  int status = 1;
  uint32_t start = plat_tick_ms();
  char* reply = port_.receive(-1, false, false, &status);
  EXPECT_GE(static_cast<int32_t>(plat_tick_ms() - start), 90);
  ASSERT_NE(reply, nullptr);
  EXPECT_STREQ(reply, "");
  EXPECT_EQ(status, RX_TIMEOUT);
  EXPECT_TRUE(rec_.reports.empty());

  EXPECT_EQ(port_.receive(-1, true, false, &status), nullptr);
  EXPECT_EQ(status, RX_ERROR);
  ASSERT_EQ(rec_.reports.size(), 1u);
  EXPECT_EQ(rec_.reports[0].text.rfind("ibrd Error\nibsta=&Hc000  < ERR TIMO >\niberr=6  EABO <Operation aborted>\n", 0),
            0u)
      << rec_.reports[0].text;

  // Writing to nobody is a failure the caller hears of.
  EXPECT_EQ(port_.send("*IDN?"), 0);
  ASSERT_EQ(rec_.reports.size(), 2u);
  EXPECT_EQ(rec_.reports[1].text.rfind("ibwrt Error\nibsta=&H8000  < ERR >\niberr=2  ENOL <No Listener>\n", 0), 0u)
      << rec_.reports[1].text;
}

TEST_F(NiPort, ErrorCodeZeroCountsAsDone) {
  fault("write_edvr,read_edvr");
  ASSERT_EQ(open(3), 1) << rec_.all();
  EXPECT_EQ(port_.send("*IDN?"), 1);
  EXPECT_TRUE(rec_.reports.empty());
  // The write never reached the counter; ask it properly, then read with
  // the read fault on: the bytes come back, the status is left alone.
  port_.close(true);
  fault("read_edvr");
  ASSERT_EQ(open(3), 1) << rec_.all();
  ASSERT_EQ(port_.send("*IDN?"), 1);
  int status = 77;
  char* reply = port_.receive(-1, true, false, &status);
  ASSERT_NE(reply, nullptr) << rec_.all();
  EXPECT_EQ(std::string(reply).rfind("PICOTEST", 0), 0u) << reply;
  EXPECT_EQ(status, 77);
  EXPECT_TRUE(rec_.reports.empty());
}

TEST_F(NiPort, AbortedWriteCountsAsSentOnlyWhenTolerated) {
  fault("write_abort");
  ASSERT_EQ(open(3), 1) << rec_.all();
  EXPECT_EQ(port_.send("*IDN?", -1, false, true), 1);
  EXPECT_TRUE(rec_.reports.empty());
  EXPECT_EQ(port_.send("*IDN?", -1, false, false), 0);
  ASSERT_EQ(rec_.reports.size(), 1u);
  EXPECT_EQ(rec_.reports[0].text.rfind("ibwrt Error\n", 0), 0u);
  EXPECT_EQ(port_.send_bytes("ab", 2, false, true), 1);
}

struct OPEN_FAILURE_CASE {
  const char* descriptor;
  const char* faults;
  int own_address;
  bool clear;
  const char* message;
};

TEST_F(NiPort, OpenFailuresAreReportedAndReleaseTheInterface) {
  const OPEN_FAILURE_CASE cases[] = {
      {"GPIB1", "", -1, false, "National Instruments board (GPIB1) not foundibsta=&H8000  < ERR >\n"},
      {"GPIB0", "dev_fails", -1, false, "ibdev Error\nibsta=&H8000  < ERR >\niberr=4  EARG <Invalid argument>\n"},
      {"GPIB0", "pad_fails", 5, false, "ibpad Error\nibsta=&H8000  < ERR >\niberr=4  EARG <Invalid argument>\n"},
      {"GPIB0", "clr_fails", -1, true, "ibclr Error\nibsta=&H8000  < ERR >\niberr=2  ENOL <No Listener>\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.faults);
    fault(c.faults);
    HOOK_RECORDER rec;
    GPIBPORT port;
    port.owner = &rec;
    port.select_interface(c.descriptor);
    EXPECT_EQ(port.open(3, HOOK_RECORDER::hook, c.clear, 1500, c.own_address, false, 4096, false), 0);
    ASSERT_EQ(rec.reports.size(), 1u);
    EXPECT_EQ(rec.reports[0].text.rfind(c.message, 0), 0u) << rec.reports[0].text;
    EXPECT_EQ(port.hCOMSem, nullptr);
    GPIBPORT other;
    EXPECT_FALSE(other.interface_in_use(c.descriptor, false));
  }
}

TEST_F(NiPort, SecondPortOnTheBoardIsRefused) {
  ASSERT_EQ(open(3), 1) << rec_.all();
  HOOK_RECORDER rec;
  GPIBPORT second;
  second.owner = &rec;
  second.select_interface("GPIB0");
  EXPECT_EQ(second.open(3, HOOK_RECORDER::hook, false, 1500, -1, false, 4096, false), 0);
  ASSERT_EQ(rec.reports.size(), 1u);
  EXPECT_EQ(rec.reports[0].text.rfind("Port in use\n\nibsta=", 0), 0u) << rec.reports[0].text;
  port_.close(true);
  rec.reports.clear();
  EXPECT_EQ(second.open(3, HOOK_RECORDER::hook, false, 1500, -1, false, 4096, false), 1) << rec.all();
}

TEST_F(NiPort, CloseReturnsToLocalOnlyWhenAsked) {
  const struct {
    bool to_local;
    bool ibloc;
  } cases[] = {{true, true}, {false, false}};
  for (const auto& c : cases) {
    reset_();
    ASSERT_EQ(open(3), 1) << rec_.all();
    std::string dev = std::to_string(port_.ni_device);
    size_t before = calls().size();
    EXPECT_EQ(port_.close(c.to_local), 1);
    std::string tail = calls().substr(before);
    EXPECT_EQ(tail, std::string(c.ibloc ? "ibloc " + dev + "\n" : "") + "ibonl " + dev + " 0\nibonl 0 0\n");
    EXPECT_EQ(port_.ni_open, 0);
    EXPECT_EQ(port_.address, -1);
    EXPECT_EQ(port_.hook, nullptr);
    // A second close finds nothing to undo.
    before = calls().size();
    port_.close(true);
    EXPECT_EQ(calls().size(), before);
  }
}

TEST_F(NiPort, ListenOnlyBoardAndItsOperations) {
  ASSERT_EQ(open(-1), 1) << rec_.all();
  EXPECT_EQ(port_.ni_device, -1);
  std::string log = calls();
  EXPECT_NE(log.find("ibconfig 0 34 1\n"), std::string::npos);
  EXPECT_EQ(log.find("ibdev"), std::string::npos);
  // Without a device the terminator stays on the board unless asked for.
  EXPECT_EQ(log.find("ibconfig 0 4 1"), std::string::npos);
  EXPECT_EQ(port_.set_terminator(-1, false, true), 10);
  log = calls();
  EXPECT_NE(log.find("ibconfig 0 4 0\nibconfig 0 13 0\nibconfig 0 15 0\nibconfig 0 12 0\n"), std::string::npos);
  EXPECT_EQ(port_.wait_status(false) & ni488::CIC, ni488::CIC);
}

TEST_F(NiPort, NoAdapterDialogueOnNi) {
  ASSERT_EQ(open(3), 1) << rec_.all();
  size_t before = calls().size();
  EXPECT_EQ(port_.set_timeout_ms(5000), 500);
  EXPECT_EQ(port_.dropout_ms, 5000);
  EXPECT_EQ(port_.set_auto_read(1), 0);
  EXPECT_EQ(port_.flush_receive_buffers(), 0);
  EXPECT_EQ(calls().size(), before);
  EXPECT_EQ(port_.serial_poll() & ~0x54, 0);
  port_.clear();
  EXPECT_NE(calls().find("ibclr " + std::to_string(port_.ni_device)), std::string::npos);
  EXPECT_NE(transcript().find("[DCL]"), std::string::npos);
}

TEST_F(NiPort, BytesAndCountsStayInTheWorkBuffer) {
  ASSERT_EQ(open(3), 1) << rec_.all();
  ASSERT_EQ(port_.send("*IDN?"), 1);
  int count = -1;
  // A read asked for more than the buffer holds is cut to the buffer.
  uint8_t* bytes = port_.receive_bytes(1 << 20, true, false, &count);
  ASSERT_NE(bytes, nullptr) << rec_.all();
  EXPECT_GT(count, 8);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 8), "PICOTEST");
  std::string log = calls();
  EXPECT_NE(log.find("ibrd " + std::to_string(port_.ni_device) + " 65536\n"), std::string::npos);
}

// The stand-in's counter can be told what to measure.
TEST_F(NiPort, StandInCounterInTimeIntervalMode) {
  setenv("U62_NI_SIM_MODE", "ti", 1);
  setenv("U62_NI_SIM_NUMBERED", "1", 1);
  setenv("U62_NI_SIM_GATE_MS", "5", 1);
  reset_();
  unsetenv("U62_NI_SIM_MODE");
  unsetenv("U62_NI_SIM_NUMBERED");
  unsetenv("U62_NI_SIM_GATE_MS");
  ASSERT_EQ(open(3), 1) << rec_.all();
  for (int n = 1; n <= 3; ++n) {
    char* reading = port_.query("INIT;*WAI;FETCH?");
    ASSERT_NE(reading, nullptr) << rec_.all();
    double value = 0;
    ASSERT_EQ(std::sscanf(reading, "%lf", &value), 1) << reading;
    EXPECT_NEAR(value, 1e-7 + n * 1e-15, 1e-16) << reading;
  }
}

// The stand-in has no wide-text entries and no 488.2 routines: those calls
// fail on their own, with their group's value, and the rest still work.
TEST_F(NiPort, MissingEntriesFailAlone) {
  EXPECT_EQ(ni488::ibfindW(L"GPIB0"), -1);
  EXPECT_EQ(ni488::ibsta, ni488::ERR);
  EXPECT_EQ(ni488::iberr, ni488::EDVR);
  ni488::ibsta = 0;
  ni488::SendIFC(0);
  EXPECT_EQ(ni488::ibsta, ni488::ERR);
  EXPECT_EQ(ni488::ibtmo(0, 12), ni488::ERR);
  EXPECT_TRUE(ni488::last_call_reached_library() == false);

  EXPECT_EQ(ni488::ibfind("GPIB0"), 0);
  EXPECT_TRUE(ni488::last_call_reached_library());
  EXPECT_EQ(ni488::ibsta & ni488::ERR, 0);
  EXPECT_EQ(ni488::ibfind("GPIB9"), -1);
  EXPECT_EQ(ni488::ibsta, ni488::ERR);
  // The per-thread status comes from the library itself.
  EXPECT_EQ(ni488::ThreadIbsta(), ni488::ERR);
  EXPECT_EQ(ni488::ThreadIberr(), ni488::EDVR);
  ni488::ibonl(0, 0);
}

}  // namespace
