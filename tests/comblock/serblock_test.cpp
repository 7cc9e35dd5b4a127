#include "drivers/shared/comblock/serblock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <thread>

#include "test_support.h"

using namespace u62test;

// The termios store of the POSIX backend, declared here rather than in the
// platform header so that the core never sees termios.
bool plat_posix_serial_store(const PLAT_SERIAL_STATE* state, termios* t);

namespace {

class ComblockSerialLine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    ASSERT_TRUE(devices_.link(5, pty_.slave()));
  }
  termios line() {
    termios t{};
    // On a pseudo-terminal master the terminal calls reach the slave's
    // settings, which are the ones the block set.
    EXPECT_EQ(tcgetattr(pty_.master(), &t), 0);
    return t;
  }
  struct READ {
    std::string bytes;
    int count;
    int result;
    int64_t ms;
  };
  READ read(SERBLOCK& b, int max_count, int terminator, int timeout_ms, int dropout_ms, COMBLOCK_POLL poll = nullptr) {
    int count = -1, result = 0;
    int64_t t0 = now_ms();
    uint8_t* area = b.read(max_count, terminator, timeout_ms, dropout_ms, poll, &count, &result);
    READ r{std::string(reinterpret_cast<char*>(area), count > 0 ? count : 0), count, result, now_ms() - t0};
    return r;
  }
  Pty pty_;
  DevicesDir devices_;
  BoxRecorder boxes_;
};

TEST_F(ComblockSerialLine, DescriptorNamesPortAndSettings) {
  // A pseudo-terminal keeps the speed and the stop bits but always reads
  // back 8 data bits without parity; StateStoresIntoTermios covers those.
  struct {
    std::string descriptor;
    const char* settings;
    speed_t speed;
  } cases[] = {
      {"COM5", "baud=115200 parity=N data=8 stop=1", B115200},
      {"com5:  baud=9600 parity=E data=7 stop=1", "baud=9600 parity=E data=7 stop=1", B9600},
      {pty_.slave() + ":baud=19200 parity=O data=8 stop=2", "baud=19200 parity=O data=8 stop=2", B19200},
      {"COM5:96,n,8,1", "96,n,8,1", B9600},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.descriptor);
    char error[512] = "";
    SERBLOCK b(c.descriptor.c_str(), error);
    ASSERT_TRUE(b.is_open()) << error;
    EXPECT_STREQ(error, "");
    EXPECT_STREQ(b.settings_text(), c.settings);
    termios t = line();
    EXPECT_EQ(cfgetospeed(&t), c.speed);
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, std::strstr(c.settings, "stop=2") != nullptr);
    // Raw line, RTS/CTS handshake from the opening flow-control mask.
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
  }
  EXPECT_EQ(boxes_.count(), 0u);
}

TEST_F(ComblockSerialLine, FlowControlMask) {
  SERBLOCK b("COM5", nullptr);
  ASSERT_TRUE(b.is_open());
  // RTS handshake (2) and CTS output flow (8) both mean RTS/CTS here; DTR
  // handshake (1) and DSR output flow (4) have no termios bit.
  struct {
    int mask;
    bool rtscts;
  } cases[] = {{0, false}, {2, true}, {8, true}, {10, true}, {1, false}, {4, false}, {5, false}, {15, true}};
  for (const auto& c : cases) {
    b.set_flow_control(c.mask);
    termios t = line();
    EXPECT_EQ((t.c_cflag & CRTSCTS) != 0, c.rtscts) << c.mask;
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200)) << c.mask;  // the line stays as it was
  }
  // Without handshake the line is configured without RTS/CTS.
  b.configure("baud=2400", false);
  termios t = line();
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B2400));
  EXPECT_EQ(boxes_.count(), 0u);
}

TEST_F(ComblockSerialLine, RejectedSettingsShowABoxAndKeepTheLine) {
  SERBLOCK first("COM5:baud=4800 parity=N data=8 stop=1", nullptr);
  ASSERT_TRUE(first.is_open());
  first.configure("baud=fast", true);
  auto boxes = boxes_.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "BuildCommDCB: baud=fast");
  EXPECT_EQ(boxes[0].text, "Invalid argument");
  termios t = line();
  EXPECT_EQ(cfgetospeed(&t), B4800);
  // A speed the device cannot take is refused when it is applied.
  boxes_.clear();
  first.configure("baud=12345", true);
  boxes = boxes_.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "SetCommState");
}

TEST_F(ComblockSerialLine, MissingOrBusyPortIsUnavailable) {
  char error[512] = "";
  {
    SERBLOCK absent("COM9", error);  // no com9 in the devices folder
    EXPECT_FALSE(absent.is_open());
    EXPECT_STREQ(error, "Port unavailable or in use");
  }
  {
    SERBLOCK absent("COM9", nullptr);
    EXPECT_FALSE(absent.is_open());
    auto boxes = boxes_.boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, "Port unavailable or in use");
    // The system's "No such file or directory", speaking of a port.
    EXPECT_EQ(boxes[0].text, "No such port or directory");
  }
  SERBLOCK first("COM5", nullptr);
  ASSERT_TRUE(first.is_open());
  error[0] = '\0';
  {
    SERBLOCK second("COM5", error);
    EXPECT_FALSE(second.is_open());
    EXPECT_STREQ(error, "Port unavailable or in use");
    // The same device by its own path is the same port.
    error[0] = '\0';
    SERBLOCK third(pty_.slave().c_str(), error);
    EXPECT_FALSE(third.is_open());
    EXPECT_STREQ(error, "Port unavailable or in use");
  }
  // Another process cannot have it either.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    PLAT_SERIAL h = plat_serial_open(pty_.slave().c_str());
    _exit(h ? 1 : (errno == EBUSY ? 0 : 2));
  }
  int status = -1;
  for (int i = 0; i < 500 && waitpid(child, &status, WNOHANG) == 0; ++i) usleep(10000);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ComblockSerialLine, OnlyTerminalsAreOpened) {
  for (const char* path : {"/dev/null", "/dev/zero", "/etc/hostname", "/tmp"}) {
    boxes_.clear();
    SERBLOCK b(path, nullptr);
    EXPECT_FALSE(b.is_open()) << path;
    auto boxes = boxes_.boxes();
    ASSERT_EQ(boxes.size(), 1u) << path;
    EXPECT_EQ(boxes[0].caption, "Port unavailable or in use");
    EXPECT_EQ(boxes[0].text, "Inappropriate ioctl for device") << path;
  }
}

TEST_F(ComblockSerialLine, PortIsFreeAgainAfterClose) {
  { SERBLOCK first("COM5", nullptr); }
  SERBLOCK again("COM5", nullptr);
  EXPECT_TRUE(again.is_open());
  EXPECT_EQ(boxes_.count(), 0u);
}

TEST_F(ComblockSerialLine, DescriptorsTooLongAreRefused) {
  char error[16] = "";
  std::string name = "/dev/" + std::string(400, 'x');
  SERBLOCK b(name.c_str(), error, sizeof error);
  EXPECT_FALSE(b.is_open());
  // The failure text is cut to the caller's buffer.
  EXPECT_STREQ(error, "Port unavailabl");
  // Settings longer than the block keeps are refused whole, never cut.
  std::string settings = "COM5:baud=9600 " + std::string(300, ' ') + "parity=E";
  SERBLOCK c(settings.c_str(), nullptr);
  EXPECT_TRUE(c.is_open());
  auto boxes = boxes_.boxes();
  ASSERT_GE(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption.rfind("BuildCommDCB: baud=9600 ", 0), 0u);
}

TEST_F(ComblockSerialLine, WriteReachesThePeer) {
  SERBLOCK b("COM5", nullptr);
  ASSERT_TRUE(b.is_open());
  EXPECT_EQ(b.write("*IDN?\n", -1, 250), 1);
  EXPECT_EQ(pty_.take(1000), "*IDN?\n");
  EXPECT_EQ(b.transmit("ABCDEF", 3, 250), 1);
  EXPECT_EQ(pty_.take(1000), "ABC");
}

TEST_F(ComblockSerialLine, WriteTimesOutWhenThePeerDoesNotRead) {
  SERBLOCK b("COM5", nullptr);
  ASSERT_TRUE(b.is_open());
  std::string big(1 << 20, 'x');
  int64_t t0 = now_ms();
  EXPECT_EQ(b.transmit(big.data(), static_cast<int>(big.size()), 250), 0);
  int64_t ms = now_ms() - t0;
  EXPECT_GE(ms, 240);
  EXPECT_LT(ms, 1500);
  EXPECT_EQ(boxes_.count(), 0u);  // a time-out is silent
}

TEST_F(ComblockSerialLine, ReadResults) {
  SERBLOCK b("COM5", nullptr);
  ASSERT_TRUE(b.is_open());

  pty_.put("1.25E-6\r\nABCDEFGH");
  READ r = read(b, -1, 10, 2000, 500);
  EXPECT_EQ(r.result, RX_TERMINATED);
  EXPECT_EQ(r.bytes, "1.25E-6\r\n");
  EXPECT_EQ(r.count, 9);

  // One byte per system read: the rest stays in the line for the next read.
  r = read(b, 4, 10, 2000, 500);
  EXPECT_EQ(r.result, RX_COUNT);
  EXPECT_EQ(r.bytes, "ABCD");

  // The terminator wins over the count it completes.
  pty_.put("XY\n");
  r = read(b, 4, 10, 2000, 500);
  EXPECT_EQ(r.result, RX_COUNT);
  EXPECT_EQ(r.bytes, "EFGH");
  r = read(b, 3, 10, 2000, 500);
  EXPECT_EQ(r.result, RX_TERMINATED);
  EXPECT_EQ(r.bytes, "XY\n");

  // Nothing at all: the overall time-out, within a wait slice.
  r = read(b, -1, 10, 250, 100);
  EXPECT_EQ(r.result, RX_TIMEOUT);
  EXPECT_EQ(r.count, 0);
  EXPECT_GE(r.ms, 250);
  EXPECT_LT(r.ms, 250 + 100 + 400);

  // Input that stops in mid-line: the quiet gap after the last byte.
  pty_.put("12345");
  r = read(b, -1, 10, 0, 200);
  EXPECT_EQ(r.result, RX_DROPOUT);
  EXPECT_EQ(r.bytes, "12345");
  EXPECT_GE(r.ms, 200);
  EXPECT_LT(r.ms, 800);

  // The overall time-out with some bytes in is a dropout too.
  std::thread trickle([&] {
    for (int i = 0; i < 8; ++i) {
      pty_.put("z");
      usleep(50000);
    }
  });
  r = read(b, -1, 10, 200, 150);
  trickle.join();
  EXPECT_EQ(r.result, RX_DROPOUT);
  EXPECT_GE(r.count, 2);
  EXPECT_LT(r.count, 8);
  EXPECT_EQ(boxes_.count(), 0u);
}

std::atomic<int> g_polls{0};
int poll_three_times() { return ++g_polls < 3 ? 1 : 0; }

TEST_F(ComblockSerialLine, PollFunctionCancelsAReadWithoutTimeOut) {
  SERBLOCK b("COM5", nullptr);
  ASSERT_TRUE(b.is_open());
  g_polls = 0;
  READ r = read(b, -1, 10, 0, 100, poll_three_times);
  EXPECT_EQ(r.result, RX_CANCELLED);
  EXPECT_EQ(g_polls.load(), 3);
  // Polled once per wait slice: two full slices passed before the third.
  EXPECT_GE(r.ms, 200);
  EXPECT_LT(r.ms, 700);
}

TEST_F(ComblockSerialLine, FullAreaAndTerminatorAtTheLastByte) {
  SERBLOCK b("COM5", nullptr);
  ASSERT_TRUE(b.is_open());
  for (bool last_is_terminator : {false, true}) {
    std::string data(RECV_AREA_SIZE + 100, 'a');
    if (last_is_terminator) data[RECV_AREA_SIZE - 1] = '\n';
    std::thread writer([&] { pty_.put(data); });
    READ r = read(b, -1, 10, 20000, 2000);
    EXPECT_EQ(r.result, last_is_terminator ? RX_TERMINATED : RX_FULL);
    EXPECT_EQ(r.count, RECV_AREA_SIZE);
    // The bytes beyond the area are still in the line.
    READ rest = read(b, -1, 10, 0, 300);
    writer.join();
    EXPECT_EQ(rest.result, RX_DROPOUT);
    EXPECT_EQ(rest.count, 100);
  }
}

TEST_F(ComblockSerialLine, HangUpEndsTheReadWithAnError) {
  SERBLOCK b("COM5", nullptr);
  ASSERT_TRUE(b.is_open());
  pty_.put("par");
  std::thread closer([&] {
    usleep(100000);
    pty_.close_master();
  });
  READ r = read(b, -1, 10, 0, 3000);
  closer.join();
  EXPECT_EQ(r.result, RX_ERROR);
  EXPECT_EQ(r.bytes, "par");
  EXPECT_LT(r.ms, 2000);
  auto boxes = boxes_.boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, "GetOverlappedResult");
  EXPECT_EQ(boxes[0].text, "Input/output error");
  // A read on the dead line fails at once instead of waiting.
  r = read(b, -1, 10, 0, 1000);
  EXPECT_EQ(r.result, RX_ERROR);
  EXPECT_LT(r.ms, 500);
}

TEST(ComblockSerialSettings, StateStoresIntoTermios) {
  PLAT_SERIAL_STATE base{};
  base.baud = 9600;
  base.data_bits = 8;
  base.parity = PLAT_PARITY_NONE;
  base.stop_bits = PLAT_STOP_1;
  base.dtr_control = PLAT_DTR_ENABLE;
  base.rts_control = PLAT_RTS_ENABLE;
  struct {
    const char* what;
    void (*change)(PLAT_SERIAL_STATE&);
    bool ok;
    tcflag_t cflag_mask, cflag;
    tcflag_t iflag_mask, iflag;
  } cases[] = {
      {"8N1", [](PLAT_SERIAL_STATE&) {}, true, CSIZE | PARENB | CSTOPB | CRTSCTS, CS8, IXON | IXOFF | INPCK, 0},
      {"7E1", [](PLAT_SERIAL_STATE& s) { s.data_bits = 7, s.parity = PLAT_PARITY_EVEN; }, true,
       CSIZE | PARENB | PARODD, CS7 | PARENB, 0, 0},
      {"5O1.5", [](PLAT_SERIAL_STATE& s) { s.data_bits = 5, s.parity = PLAT_PARITY_ODD, s.stop_bits = PLAT_STOP_1_5; },
       true, CSIZE | PARENB | PARODD | CSTOPB, CS5 | PARENB | PARODD | CSTOPB, 0, 0},
      {"6M2", [](PLAT_SERIAL_STATE& s) { s.data_bits = 6, s.parity = PLAT_PARITY_MARK, s.stop_bits = PLAT_STOP_2; },
       true, CSIZE | PARENB | PARODD | CMSPAR | CSTOPB, CS6 | PARENB | PARODD | CMSPAR | CSTOPB, 0, 0},
      {"space", [](PLAT_SERIAL_STATE& s) { s.parity = PLAT_PARITY_SPACE; }, true, PARENB | PARODD | CMSPAR,
       PARENB | CMSPAR, 0, 0},
      {"cts", [](PLAT_SERIAL_STATE& s) { s.out_cts_flow = true; }, true, CRTSCTS, CRTSCTS, 0, 0},
      {"rts hs", [](PLAT_SERIAL_STATE& s) { s.rts_control = PLAT_RTS_HANDSHAKE; }, true, CRTSCTS, CRTSCTS, 0, 0},
      {"xon/xoff", [](PLAT_SERIAL_STATE& s) { s.out_x = s.in_x = true; }, true, 0, 0, IXON | IXOFF, IXON | IXOFF},
      {"parity check", [](PLAT_SERIAL_STATE& s) { s.parity_check = true; }, true, 0, 0, INPCK, INPCK},
      {"odd speed", [](PLAT_SERIAL_STATE& s) { s.baud = 12345; }, false, 0, 0, 0, 0},
      {"no speed", [](PLAT_SERIAL_STATE& s) { s.baud = 0; }, false, 0, 0, 0, 0},
      {"9 bits", [](PLAT_SERIAL_STATE& s) { s.data_bits = 9; }, false, 0, 0, 0, 0},
      {"parity Q", [](PLAT_SERIAL_STATE& s) { s.parity = 'Q'; }, false, 0, 0, 0, 0},
      {"stop 3", [](PLAT_SERIAL_STATE& s) { s.stop_bits = 30; }, false, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PLAT_SERIAL_STATE s = base;
    c.change(s);
    termios t{};
    t.c_lflag = ICANON | ECHO;
    t.c_iflag = ICRNL;
    termios before = t;
    ASSERT_EQ(plat_posix_serial_store(&s, &t), c.ok);
    if (!c.ok) {
      EXPECT_EQ(std::memcmp(&t, &before, sizeof t), 0);  // left as it was
      continue;
    }
    EXPECT_EQ(t.c_cflag & c.cflag_mask, c.cflag);
    EXPECT_EQ(t.c_iflag & c.iflag_mask, c.iflag);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(t.c_iflag & ICRNL, 0u);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  }
}

TEST(ComblockSerialSettings, Grammar) {
  struct {
    const char* text;
    bool ok;
    uint32_t baud;
    int data;
    char parity;
    int stop;
  } cases[] = {
      {"baud=115200 parity=N data=8 stop=1", true, 115200, 8, 'N', PLAT_STOP_1},
      {"BAUD=9600 PARITY=e DATA=7 STOP=2", true, 9600, 7, 'E', PLAT_STOP_2},
      {"  baud=96   parity=o\tdata=5 stop=1.5  ", true, 9600, 5, 'O', PLAT_STOP_1_5},
      {"baud=19 parity=m", true, 19200, 0, 'M', 0},
      {"baud=110", true, 110, 0, 0, PLAT_STOP_2},  // 110 baud sends two stop bits
      {"parity=s", true, 0, 0, 'S', 0},
      {"baud=9600 to=on xon=off odsr=on octs=off dtr=hs rts=tg idsr=off", true, 9600, 0, 0, 0},
      {"dtr=on rts=hs", true, 0, 0, 0, 0},
      {"96,n,8,1", true, 9600, 8, 'N', PLAT_STOP_1},
      {"1200,e,7", true, 1200, 7, 'E', 0},
      {"4800", true, 4800, 0, 0, 0},
      {"9600,n,8,1,x", true, 9600, 8, 'N', PLAT_STOP_1},
      {"9600,n,8,1,p", true, 9600, 8, 'N', PLAT_STOP_1},
      {"", false, 0, 0, 0, 0},
      {"   ", false, 0, 0, 0, 0},
      {"baud=", false, 0, 0, 0, 0},
      {"baud=0", false, 0, 0, 0, 0},
      {"baud=fast", false, 0, 0, 0, 0},
      {"baud=9600 parity=X", false, 0, 0, 0, 0},
      {"data=9", false, 0, 0, 0, 0},
      {"data=4", false, 0, 0, 0, 0},
      {"stop=3", false, 0, 0, 0, 0},
      {"stop=1.25", false, 0, 0, 0, 0},
      {"baud=9600 baud=4800", false, 0, 0, 0, 0},
      {"speed=9600", false, 0, 0, 0, 0},
      {"baud=9600 parity", false, 0, 0, 0, 0},
      {"xon=maybe", false, 0, 0, 0, 0},
      {"dtr=tg", false, 0, 0, 0, 0},
      {"baud = 9600", false, 0, 0, 0, 0},
      {"9600,n,8,1,q", false, 0, 0, 0, 0},
      {"9600,n,8,1,x,y", false, 0, 0, 0, 0},
      {"n,8,1", false, 0, 0, 0, 0},
      {"baud=999999999", false, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    PLAT_SERIAL_LINE line;
    EXPECT_EQ(plat_serial_parse_settings(c.text, &line), c.ok);
    EXPECT_EQ(line.baud, c.baud);
    EXPECT_EQ(line.data_bits, c.data);
    EXPECT_EQ(line.parity, c.parity);
    EXPECT_EQ(line.stop_bits, c.stop);
  }
  PLAT_SERIAL_LINE line;
  ASSERT_TRUE(plat_serial_parse_settings("dtr=hs rts=tg xon=on octs=off", &line));
  EXPECT_EQ(line.dtr, PLAT_DTR_HANDSHAKE);
  EXPECT_EQ(line.rts, PLAT_RTS_TOGGLE);
  EXPECT_EQ(line.xon, PLAT_SWITCH_ON);
  EXPECT_EQ(line.out_cts, PLAT_SWITCH_OFF);
  EXPECT_EQ(line.in_dsr, PLAT_SWITCH_UNSET);
  ASSERT_TRUE(plat_serial_parse_settings("9600,n,8,1,p", &line));
  EXPECT_EQ(line.out_cts, PLAT_SWITCH_ON);
  EXPECT_EQ(line.rts, PLAT_RTS_HANDSHAKE);
  EXPECT_FALSE(plat_serial_parse_settings(nullptr, &line));
}

}  // namespace
