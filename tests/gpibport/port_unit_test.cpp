// The port without a connection beneath it: descriptor classification,
// the interlock, the failure report and the NI text tables.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "drivers/shared/gpibport/gpibport.h"
#include "drivers/shared/gpibport/ni488.h"
#include "hook_recorder.h"
#include "platform/ifmark.h"

namespace {

struct CLASSIFY_CASE {
  const char* descriptor;
  int hint;
  int kind;
  const char* text;
  int prologix, network, ni;
};

TEST(SelectInterface, ClassifiesDescriptors) {
  const CLASSIFY_CASE cases[] = {
      {"COM5", 0, KIND_PROLOGIX_USB, "COM5:baud=115200 parity=N data=8 stop=1", 1, 0, 0},
      {"COM5:9600", 0, KIND_PROLOGIX_USB, "COM5:baud=115200 parity=N data=8 stop=1", 1, 0, 0},
      {"com5:baud=9600 parity=N data=8 stop=1", 0, KIND_SERIAL_INSTRUMENT, "com5:baud=9600 parity=N data=8 stop=1", 0,
       0, 0},
      {"COM12", KIND_SERIAL_INSTRUMENT, KIND_SERIAL_INSTRUMENT, "COM12", 0, 0, 0},
      {"gpib1", 0, KIND_NI_GPIB, "gpib1", 0, 0, 1},
      {"GPIB0", 4, KIND_NI_GPIB, "GPIB0", 0, 0, 1},
      {"192.168.1.20", 0, KIND_PROLOGIX_LAN, "192.168.1.20", 1, 1, 0},
      {"192.168.1.20", 4, KIND_TCP_INSTRUMENT, "192.168.1.20", 0, 1, 0},
      {"192.168.1.20:5025", 0, KIND_PROLOGIX_LAN, "192.168.1.20:5025", 1, 1, 0},
      {"/dev/ttyUSB0", 0, 0, "/dev/ttyUSB0", 0, 0, 0},
      {"/dev/ttyUSB0", 5, 5, "/dev/ttyUSB0", 0, 0, 0},
      {"", 0, 0, "", 0, 0, 0},
  };
  GPIBPORT port;
  ASSERT_TRUE(port.valid());
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.descriptor) + " hint " + std::to_string(c.hint));
    port.write_delay_ms = 9;
    port.reset_to_local = 0;
    EXPECT_EQ(port.select_interface(c.descriptor, c.hint), c.kind);
    EXPECT_EQ(port.connection_kind, c.kind);
    EXPECT_STREQ(port.interface_text, c.text);
    EXPECT_EQ(port.is_prologix, c.prologix);
    EXPECT_EQ(port.is_network, c.network);
    EXPECT_EQ(port.is_ni, c.ni);
    EXPECT_EQ(port.write_delay_ms, 0);
    EXPECT_EQ(port.reset_to_local, 1);
  }
}

TEST(SelectInterface, SerialSettingsJoinTheName) {
  GPIBPORT port;
  EXPECT_EQ(port.select_interface("COM2", KIND_SERIAL_INSTRUMENT, "baud=9600 parity=E data=7 stop=1"),
            KIND_SERIAL_INSTRUMENT);
  EXPECT_STREQ(port.interface_text, "COM2:baud=9600 parity=E data=7 stop=1");
}

// A descriptor that cannot be kept whole would name some other port or
// host once cut, so it is refused.
TEST(SelectInterface, RefusesDescriptorsThatDoNotFit) {
  GPIBPORT port;
  const std::string host = std::string(300, 'a') + ".example";
  const std::string com = "COM" + std::string(240, '9');
  const std::string exact = std::string(GPIBPORT_TEXT_SIZE - 1 - 4, 'h') + ".net";
  const std::string long_settings(260, 'x');

  EXPECT_EQ(port.select_interface(host.c_str()), 0);
  EXPECT_STREQ(port.interface_text, "");
  EXPECT_EQ(port.is_network, 0);

  EXPECT_EQ(port.select_interface(com.c_str()), 0);
  EXPECT_STREQ(port.interface_text, "");
  EXPECT_EQ(port.is_prologix, 0);

  EXPECT_EQ(port.select_interface("COM4", KIND_SERIAL_INSTRUMENT, long_settings.c_str()), 0);
  EXPECT_STREQ(port.interface_text, "");

  EXPECT_EQ(port.select_interface(exact.c_str()), KIND_PROLOGIX_LAN);
  EXPECT_EQ(std::strlen(port.interface_text), GPIBPORT_TEXT_SIZE - 1u);
}

TEST(InterfaceInUse, MarksTheNameBeforeTheColon) {
  GPIBPORT first, second;
  EXPECT_FALSE(first.interface_in_use("COM3:baud=115200 parity=N data=8 stop=1", true));
  EXPECT_NE(first.hCOMSem, nullptr);
  EXPECT_TRUE(second.interface_in_use("COM3", false));
  EXPECT_TRUE(second.interface_in_use("COM3:baud=9600", true));
  EXPECT_EQ(second.hCOMSem, nullptr);
  EXPECT_FALSE(second.interface_in_use("COM33", false));
  // A test without keep leaves nothing behind.
  EXPECT_FALSE(second.interface_in_use("COM33", false));
  first.release_mark();
  EXPECT_EQ(first.hCOMSem, nullptr);
  EXPECT_FALSE(second.interface_in_use("COM3", false));
}

bool wait_readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

// The mark holds against another process and vanishes when that process
// ends, however it ends.
TEST(InterfaceInUse, HoldsAcrossProcesses) {
  int to_parent[2], to_child[2];
  ASSERT_EQ(pipe(to_parent), 0);
  ASSERT_EQ(pipe(to_child), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    GPIBPORT port;
    char ok = port.interface_in_use("COM41", true) ? 'n' : 'y';
    if (write(to_parent[1], &ok, 1) != 1) _exit(3);
    // Held until the parent has looked, then the process dies holding it.
    if (!wait_readable(to_child[0], 10000)) _exit(4);
    _exit(0);
  }
  char ok = 0;
  ASSERT_TRUE(wait_readable(to_parent[0], 10000));
  ASSERT_EQ(read(to_parent[0], &ok, 1), 1);
  EXPECT_EQ(ok, 'y');
  GPIBPORT port;
  EXPECT_TRUE(port.interface_in_use("COM41", false));
  // Opening it here fails before the serial port is touched.
  HOOK_RECORDER rec;
  port.owner = &rec;
  port.select_interface("COM41");
  EXPECT_EQ(port.open(3, HOOK_RECORDER::hook, false, 1500, -1, false, 4096, false), 0);
  ASSERT_EQ(rec.reports.size(), 1u);
  EXPECT_EQ(rec.reports[0].text, "Port in use\n\n (Communications error)\n\n");
  char go = 'g';
  ASSERT_EQ(write(to_child[1], &go, 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(port.interface_in_use("COM41", false));
  for (int fd : {to_parent[0], to_parent[1], to_child[0], to_child[1]}) ::close(fd);
}

struct OPEN_REFUSAL_CASE {
  const char* descriptor;
  int hint;
};

TEST(Open, RefusesWhileTheConfigurationProgramRuns) {
  PLAT_MARK prologix = nullptr;
  ASSERT_EQ(plat_mark_create("Prologix", &prologix), PLAT_MARK_CREATED);
  const OPEN_REFUSAL_CASE cases[] = {{"COM6", 0}, {"GPIB0", 0}, {"127.0.0.1:1", 0}, {"127.0.0.1:1", 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.descriptor);
    HOOK_RECORDER rec;
    GPIBPORT port;
    port.owner = &rec;
    port.select_interface(c.descriptor, c.hint);
    EXPECT_EQ(port.open(3, HOOK_RECORDER::hook, false, 1500, -1, false, 4096, false), 0);
    ASSERT_EQ(rec.reports.size(), 1u);
    EXPECT_EQ(rec.reports[0].text.rfind("Please exit from PROLOGIX.EXE first\n\n", 0), 0u);
    EXPECT_EQ(port.hCOMSem, nullptr);
  }
  plat_mark_close(prologix);
}

// The interlock answers before the device itself is touched: COM6 need not
// exist for the second port to hear that it is taken.
TEST(Open, RefusesAnInterfaceAnotherPortHolds) {
  GPIBPORT holder;
  ASSERT_FALSE(holder.interface_in_use("COM6", true));
  HOOK_RECORDER rec;
  GPIBPORT port;
  port.owner = &rec;
  port.select_interface("COM6");
  EXPECT_EQ(port.open(3, HOOK_RECORDER::hook, false, 1500, -1, false, 4096, false), 0);
  ASSERT_EQ(rec.reports.size(), 1u);
  EXPECT_EQ(rec.reports[0].text, "Port in use\n\n (Communications error)\n\n");
  EXPECT_EQ(port.stream, nullptr);
}

TEST(FatalError, StreamReportGoesToTheHook) {
  HOOK_RECORDER rec;
  GPIBPORT port;
  port.owner = &rec;
  port.hook = HOOK_RECORDER::hook;
  port.select_interface("COM3");
  EXPECT_EQ(port.fatal_error("ibrd Error: 0x%X\n", 2), 7);
  ASSERT_EQ(rec.reports.size(), 1u);
  EXPECT_EQ(rec.reports[0].text, "ibrd Error: 0x2\n (Communications error)\n\n");
  EXPECT_EQ(port.in_fatal_error, 0);
  port.fatal_error(nullptr);
  EXPECT_EQ(rec.reports.back().text, " (Communications error)\n\n");
}

TEST(FatalError, NiReportCarriesTheLibraryStatus) {
  HOOK_RECORDER rec;
  GPIBPORT port;
  port.owner = &rec;
  port.hook = HOOK_RECORDER::hook;
  port.select_interface("GPIB0");
  ni488::ibsta = 0xC100;
  ni488::iberr = 6;
  ni488::ibcntl = 12;
  port.fatal_error("ibrd Error\n");
  ASSERT_EQ(rec.reports.size(), 1u);
  EXPECT_EQ(rec.reports[0].text,
            "ibrd Error\nibsta=&Hc100  < ERR TIMO CMPL >\niberr=6  EABO <Operation aborted>\nibcntl=12\n\n");
  EXPECT_EQ(rec.reports[0].ibsta, 0xC100);
  EXPECT_EQ(rec.reports[0].iberr, 6);
  EXPECT_EQ(rec.reports[0].ibcntl, 12);
}

int reentering_hook(GPIBPORT* port, const char* text, int, int, long) {
  auto* rec = static_cast<HOOK_RECORDER*>(port->owner);
  rec->reports.push_back({text, 0, 0, 0});
  // A report raised while one is delivered is dropped.
  port->fatal_error("nested\n");
  return 1;
}

TEST(FatalError, ReportsRaisedInsideTheHookAreDropped) {
  HOOK_RECORDER rec;
  GPIBPORT port;
  port.owner = &rec;
  port.hook = reentering_hook;
  port.select_interface("COM3");
  port.fatal_error("outer\n");
  ASSERT_EQ(rec.reports.size(), 1u);
  EXPECT_EQ(rec.reports[0].text, "outer\n (Communications error)\n\n");
  port.fatal_error("again\n");
  EXPECT_EQ(rec.reports.size(), 2u);
}

TEST(FatalErrorDeathTest, WithoutHookShowsTheBoxAndEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        GPIBPORT port;
        port.select_interface("COM3");
        port.fatal_error("Port in use\n\n");
      },
      testing::ExitedWithCode(1), "\\[GPIBPORT Fatal Error\\] Port in use\n\n \\(Communications error\\)");
}

TEST(Send, RefusesACommandTooLongForTheWorkBuffer) {
  HOOK_RECORDER rec;
  GPIBPORT port;
  port.owner = &rec;
  port.hook = HOOK_RECORDER::hook;
  port.select_interface("COM3");
  std::string text(GPIBPORT_WORK_SIZE - 1, 'A');
  EXPECT_EQ(port.send(text.c_str()), 0);
  ASSERT_EQ(rec.reports.size(), 1u);
  EXPECT_NE(rec.reports[0].text.find("does not fit"), std::string::npos);
  EXPECT_EQ(port.send(text.c_str(), -7), 0);
}

TEST(NiTables, TimeoutCodes) {
  const struct {
    int ms, code;
  } cases[] = {{0, 1},       {1, 1},       {2, 6},       {4, 6},        {5, 7},         {120, 9},
               {1200, 11},   {1201, 12},   {1500, 12},   {100000, 15},  {1200000, 17},  {1200001, 0},
               {-1, 0},      {-5, 0},      {3500, 12},   {3501, 13},    {350001, 17},   {2147483647, 0}};
  for (const auto& c : cases) EXPECT_EQ(ni488::timeout_code(c.ms), c.code) << c.ms;
}

TEST(NiTables, StatusReport) {
  const struct {
    int ibsta, iberr;
    long ibcntl;
    const char* text;
  } cases[] = {
      {0x8000, 0, 2, "ibsta=&H8000  < ERR >\niberr=0  EDVR <DOS Error>\nibcntl=2\n"},
      {0xC100, 6, 0, "ibsta=&Hc100  < ERR TIMO CMPL >\niberr=6  EABO <Operation aborted>\nibcntl=0\n"},
      {0x8000, 8, 5, "ibsta=&H8000  < ERR >\niberr=8 ibcntl=5\n"},
      {0xFFFF, 20, -1,
       "ibsta=&Hffff  < ERR TIMO END SRQI RQS CMPL LOK REM CIC ATN TACS LACS DTAS DCAS >\n"
       "iberr=20  ETAB <Table Overflow>\nibcntl=-1\n"},
      {0, 2, 0, "ibsta=&H0  < >\niberr=2  ENOL <No Listener>\nibcntl=0\n"},
  };
  for (const auto& c : cases) {
    ni488::ibsta = c.ibsta;
    ni488::iberr = c.iberr;
    ni488::ibcntl = c.ibcntl;
    char buf[512] = "";
    ni488::append_status_report(buf, sizeof buf);
    EXPECT_STREQ(buf, c.text);
  }
  // A full buffer is cut, never overrun.
  char small[16];
  std::memset(small, 'z', sizeof small);
  small[0] = '\0';
  ni488::append_status_report(small, 10);
  EXPECT_EQ(std::strlen(small), 9u);
  EXPECT_EQ(small[10], 'z');
}

}  // namespace
