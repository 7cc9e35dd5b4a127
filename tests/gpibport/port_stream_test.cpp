// The port over byte streams: a raw TCP instrument and a Prologix
// GPIB-ETHERNET adapter on loopback, a Prologix GPIB-USB adapter and a raw
// serial instrument on pseudo-terminals, all simulated.
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "drivers/shared/gpibport/gpibport.h"
#include "hook_recorder.h"
#include "platform/clock.h"
#include "sim_peer.h"

namespace {

using u62sim::Firmware;
using u62sim::TransportKind;

size_t count_of(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
  return n;
}

class StreamPort : public testing::Test {
 protected:
  void SetUp() override { port_.owner = &rec_; }
  void TearDown() override { port_.close(true); }

  // Opens the port on the peer; after it, the peer's record starts empty.
  bool open_on(SIM_PEER& peer, int address, int hint = 0) {
    port_.select_interface(peer.descriptor.c_str(), hint);
    if (!port_.open(address, HOOK_RECORDER::hook, false, 1500, -1, false, 4096, false)) return false;
    return true;
  }
  std::string read_line() {
    std::string line;
    for (int i = 0; i < 20; ++i) {
      int status = 1;
      char* part = port_.receive(-1, false, false, &status);
      if (!part) break;
      line += part;
      if (status == RX_TERMINATED) break;
    }
    return line;
  }

  HOOK_RECORDER rec_;
  GPIBPORT port_;
};

TEST_F(StreamPort, RawTcpInstrumentCarriesLinesAsTheyAre) {
  SIM_PEER peer;
  ASSERT_TRUE(peer.start(TransportKind::TcpInstrument));
  ASSERT_TRUE(open_on(peer, 3, KIND_TCP_INSTRUMENT)) << rec_.all();
  EXPECT_EQ(port_.connection_kind, KIND_TCP_INSTRUMENT);
  EXPECT_EQ(port_.terminator, 10);

  ASSERT_EQ(port_.send("INIT;*WAI;FETCH?"), 1);
  // The 16 bytes of the command, then CR LF: nothing else reaches a raw
  // instrument, not even at open.
  EXPECT_EQ(peer.received_through("FETCH?\r\n"), "INIT;*WAI;FETCH?\r\n");
  int status = 1;
  std::string line;
  for (int i = 0; i < 20 && status != RX_TERMINATED; ++i) {
    char* part = port_.receive(-1, false, false, &status);
    ASSERT_NE(part, nullptr) << rec_.all();
    line += part;
  }
  EXPECT_EQ(status, RX_TERMINATED);
  double value = 0;
  EXPECT_EQ(std::sscanf(line.c_str(), "%lf", &value), 1) << line;
  EXPECT_EQ(line.back(), '\n');

  // No adapter language on a raw stream.
  EXPECT_EQ(port_.set_timeout_ms(5000), 500);
  EXPECT_EQ(port_.set_auto_read(1), 0);
  port_.clear();
  EXPECT_EQ(port_.serial_poll(), 0);
  EXPECT_EQ(port_.wait_status(false), 0);
  const uint8_t bytes[] = {'+', '\r', 'A'};
  peer.sim->clear_record();
  ASSERT_EQ(port_.send_bytes(bytes, 3), 1);
  EXPECT_EQ(peer.received_through("A"), "+\rA");
  EXPECT_TRUE(rec_.reports.empty()) << rec_.all();
}

TEST_F(StreamPort, SilentInstrumentAndClosedConnection) {
  SIM_PEER peer;
  ASSERT_TRUE(peer.start(TransportKind::TcpInstrument));
  ASSERT_TRUE(open_on(peer, 3, KIND_TCP_INSTRUMENT)) << rec_.all();
  port_.read_timeout_ms = 100;
  port_.dropout_ms = 100;
  u62sim::Faults silent;
  silent.silence = true;
  peer.sim->set_faults(silent);

  int status = 1;
  char* reply = port_.receive(-1, false, false, &status);
  ASSERT_NE(reply, nullptr);
  EXPECT_STREQ(reply, "");
  EXPECT_EQ(status, RX_TIMEOUT);
  EXPECT_TRUE(rec_.reports.empty());

  EXPECT_EQ(port_.receive(-1, true, false, &status), nullptr);
  ASSERT_EQ(rec_.reports.size(), 1u);
  EXPECT_EQ(rec_.reports[0].text, "ibrd Error: 0x2\n (Communications error)\n\n");

  int count = -1;
  EXPECT_EQ(port_.receive_bytes(-1, true, false, &count), nullptr);
  ASSERT_EQ(rec_.reports.size(), 2u);
  EXPECT_EQ(rec_.reports[1].text, "ibrd Error 0x2, cnt=0\n (Communications error)\n\n");

  peer.sim->stop();
  EXPECT_EQ(port_.receive(-1, false, false, &status), nullptr);
  EXPECT_EQ(status, RX_CLOSED);
  ASSERT_EQ(rec_.reports.size(), 3u);
  EXPECT_EQ(rec_.reports[2].text, "ibrd Error: 0x8\n (Communications error)\n\n");
}

// A reply that pauses longer than the quiet gap comes in pieces: each
// piece with status 3, the last one, with its line feed, with status 4.
TEST_F(StreamPort, SplitReplyArrivesInPieces) {
  SIM_PEER peer;
  ASSERT_TRUE(peer.start(TransportKind::TcpInstrument));
  ASSERT_TRUE(open_on(peer, 3, KIND_TCP_INSTRUMENT)) << rec_.all();
  u62sim::Faults split;
  split.split_bytes = 8;
  split.split_gap = std::chrono::milliseconds(250);
  peer.sim->set_faults(split);
  EXPECT_EQ(port_.set_timeout_ms(100), 500);
  ASSERT_EQ(port_.send("INIT;*WAI;FETCH?"), 1);
  std::string line;
  int pieces = 0, status = 1;
  for (int i = 0; i < 40 && status != RX_TERMINATED; ++i) {
    char* part = port_.receive(-1, false, false, &status);
    ASSERT_NE(part, nullptr) << rec_.all();
    if (!*part) continue;
    EXPECT_TRUE(status == RX_DROPOUT || status == RX_TERMINATED) << status;
    line += part;
    ++pieces;
  }
  EXPECT_EQ(status, RX_TERMINATED);
  EXPECT_GE(pieces, 3);
  double value = 0;
  EXPECT_EQ(std::sscanf(line.c_str(), "%lf", &value), 1) << line;
  EXPECT_EQ(line.back(), '\n');
}

TEST_F(StreamPort, NothingListensAndTheInterfaceIsFreeAgain) {
  SIM_PEER peer;
  ASSERT_TRUE(peer.start(TransportKind::TcpInstrument));
  std::string closed = peer.descriptor;
  peer.sim.reset();
  port_.select_interface(closed.c_str(), KIND_TCP_INSTRUMENT);
  EXPECT_EQ(port_.open(3, HOOK_RECORDER::hook, false, 1500, -1, false, 4096, false), 0);
  ASSERT_EQ(rec_.reports.size(), 1u);
  EXPECT_EQ(rec_.reports[0].text.rfind("Unable to connect to server", 0), 0u) << rec_.reports[0].text;
  EXPECT_EQ(port_.stream, nullptr);
  EXPECT_EQ(port_.hCOMSem, nullptr);
}

TEST_F(StreamPort, PrologixLanDialogue) {
  const struct {
    int address;
    const char* expected;
  } cases[] = {
      {7, "++auto 0\r\n++eoi 1\r\n++eot_enable 0\r\n++ver\r\n++eos 0\r\n++mode 1\r\n++addr 7\r\n"},
      {-1, "++auto 0\r\n++eoi 1\r\n++eot_enable 0\r\n++ver\r\n++eos 0\r\n++mode 0\r\n"},
      // Address -2 only puts the adapter into device mode.
      {-2, "++mode 0\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    SIM_PEER peer;
    ASSERT_TRUE(peer.start(TransportKind::PrologixLan));
    GPIBPORT port;
    HOOK_RECORDER rec;
    port.owner = &rec;
    port.select_interface(peer.descriptor.c_str());
    ASSERT_EQ(port.open(c.address, HOOK_RECORDER::hook, false, 1500, -1, false, 4096, false), 1) << rec.all();
    EXPECT_EQ(peer.received_through(c.address == -2 ? "++mode 0\r\n" : "++eos 0\r\n++mode"), c.expected);
    // Give a late line the time to arrive before the record is final.
    plat_sleep_ms(50);
    EXPECT_EQ(peer.received(), c.expected);
    EXPECT_EQ(port.extended_commands, 0);  // version 01.06: the network makes it capable
    port.close(false);
    EXPECT_TRUE(rec.reports.empty()) << rec.all();
  }
}

TEST_F(StreamPort, PrologixLanReadsTimeoutsAutoReadAndClose) {
  SIM_PEER peer;
  ASSERT_TRUE(peer.start(TransportKind::PrologixLan));
  ASSERT_TRUE(open_on(peer, 10)) << rec_.all();
  peer.received_through("++addr 10\r\n");
  peer.sim->clear_record();

  // The adapter's own time-out tops out at 3000 ms.
  EXPECT_EQ(port_.set_timeout_ms(5000), 500);
  EXPECT_EQ(port_.set_timeout_ms(1200), 5000);
  EXPECT_EQ(port_.set_timeout_ms(500), 1200);
  EXPECT_EQ(peer.received_through("++read_tmo_ms 500\r\n"),
            "++read_tmo_ms 3000\r\n++read_tmo_ms 1200\r\n++read_tmo_ms 500\r\n");
  peer.sim->clear_record();

  // Without auto-read every read asks the adapter first.
  char* id = port_.query("*IDN?");
  ASSERT_NE(id, nullptr) << rec_.all();
  EXPECT_EQ(std::string(id).rfind("PICOTEST", 0), 0u) << id;
  EXPECT_EQ(peer.received_through("++read 10\r\n"), "*IDN?\r\n++read 10\r\n");
  peer.sim->clear_record();

  EXPECT_EQ(port_.set_auto_read(1), 1);
  EXPECT_EQ(port_.set_auto_read(1), 1);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(port_.send("INIT;*WAI;FETCH?"), 1);
    std::string line = read_line();
    double value = 0;
    EXPECT_EQ(std::sscanf(line.c_str(), "%lf", &value), 1) << line;
  }
  std::string sent = peer.received_through("FETCH?\r\nINIT;*WAI;FETCH?\r\nINIT;*WAI;FETCH?\r\n");
  EXPECT_EQ(count_of(sent, "++auto 1\r\n"), 1u);
  EXPECT_EQ(count_of(sent, "++read"), 0u);
  peer.sim->clear_record();

  // Escaped so that the adapter hands them on instead of acting on them.
  const uint8_t bytes[] = {'+', '\r', 'A'};
  ASSERT_EQ(port_.send_bytes(bytes, 3), 1);
  EXPECT_EQ(peer.received_through("A"), "\x1b+\x1b\rA");
  peer.sim->clear_record();

  // Trailing white space is dropped, even from a constant text.
  const struct {
    const char* text;
    const char* wire;
  } trims[] = {{"*IDN? \t\r\n", "*IDN?\r\n"}, {"  ", "  \r\n"}, {"", "\r\n"}, {"A B  ", "A B\r\n"}};
  for (const auto& t : trims) {
    peer.sim->clear_record();
    ASSERT_EQ(port_.send_trimmed(t.text), 1);
    EXPECT_EQ(peer.received_through(t.wire), t.wire);
  }
  peer.sim->clear_record();
  ASSERT_EQ(port_.sendf("++addr %d   ", 10), 1);
  EXPECT_EQ(peer.received_through("++addr 10\r\n"), "++addr 10\r\n");
  peer.sim->clear_record();

  port_.clear();
  EXPECT_EQ(peer.received_through("++clr\r\n"), "++clr\r\n");
  peer.sim->clear_record();

  // Closing ends auto-read and returns the counter to local control.
  EXPECT_EQ(port_.close(true), 1);
  EXPECT_EQ(peer.received(), "++auto 0\r\n++loc\r\n");
  EXPECT_EQ(port_.stream, nullptr);
  EXPECT_EQ(port_.hCOMSem, nullptr);
  EXPECT_TRUE(rec_.reports.empty()) << rec_.all();
}

// The acquisition's own sequence: every reading arrives once and in order,
// with the next trigger sent as soon as a line is complete, and the adapter
// is left as it was found.
TEST_F(StreamPort, AcquisitionSequenceOverEveryAdapter) {
  const struct {
    TransportKind kind;
    Firmware firmware;
    int com;
  } cases[] = {{TransportKind::PrologixLan, Firmware::Ethernet, 0},
               {TransportKind::PrologixUsb, Firmware::Usb6107, 33},
               {TransportKind::PrologixUsb, Firmware::Usb312B, 34}};
  for (const auto& c : cases) {
    SCOPED_TRACE(u62sim::firmware_info(c.firmware).name);
    SIM_PEER peer;
    ASSERT_TRUE(peer.start(c.kind, c.firmware, 10, c.com, true));
    GPIBPORT port;
    HOOK_RECORDER rec;
    port.owner = &rec;
    port.select_interface(peer.descriptor.c_str());
    ASSERT_EQ(port.open(10, HOOK_RECORDER::hook, false, 1500, -1, false, 4096, false), 1) << rec.all();
    port.set_timeout_ms(1500);
    port.clear();
    ASSERT_EQ(port.send("INIT:CONT OFF;*WAI"), 1);
    port.set_auto_read(1);
    ASSERT_EQ(port.send("INIT;*WAI;FETCH?"), 1);
    std::string line;
    long long expected = 1;
    for (int reads = 0; reads < 400 && expected <= 25; ++reads) {
      int status = 1;
      char* part = port.receive(-1, false, false, &status);
      ASSERT_NE(part, nullptr) << rec.all();
      line += part;
      if (status != RX_TERMINATED) continue;
      ASSERT_EQ(port.send("INIT;*WAI;FETCH?"), 1);
      double value = 0;
      ASSERT_EQ(std::sscanf(line.c_str(), "%lf", &value), 1) << line;
      EXPECT_EQ(u62sim::decode_numbered(value), expected) << line;
      ++expected;
      line.clear();
    }
    EXPECT_EQ(expected, 26);
    int status = 1;
    port.receive(-1, false, false, &status);
    port.flush_receive_buffers();
    ASSERT_EQ(port.send("INIT:CONT ON;*WAI"), 1);
    port.set_auto_read(0);
    port.close(true);
    std::string sent = peer.received_through("++loc\r\n");
    EXPECT_TRUE(peer.sim->model().continuous());
    EXPECT_EQ(sent.substr(sent.size() - 7), "++loc\r\n");
    EXPECT_TRUE(rec.reports.empty()) << rec.all();
  }
}

TEST_F(StreamPort, CloseWithoutReturnToLocalSendsNoLoc) {
  SIM_PEER peer;
  ASSERT_TRUE(peer.start(TransportKind::PrologixLan));
  ASSERT_TRUE(open_on(peer, 10)) << rec_.all();
  peer.received_through("++addr 10\r\n");
  peer.sim->clear_record();
  port_.close(false);
  plat_sleep_ms(50);
  EXPECT_EQ(peer.received(), "");
}

TEST_F(StreamPort, PrologixUsbFirmwareGenerations) {
  const struct {
    Firmware firmware;
    int major, minor, revision, extended;
  } cases[] = {
      {Firmware::Usb6107, 6, 107, 0, 1}, {Firmware::Usb440, 4, 40, 0, 1}, {Firmware::Usb312C, 3, 12, 'C', 1},
      {Firmware::Usb312B, 3, 12, 'B', 0}, {Firmware::Usb310, 3, 10, '\r', 0}, {Firmware::Ar488, 1, 0, 0, 0},
  };
  int com = 21;
  for (const auto& c : cases) {
    SCOPED_TRACE(u62sim::firmware_info(c.firmware).name);
    SIM_PEER peer;
    ASSERT_TRUE(peer.start(TransportKind::PrologixUsb, c.firmware, 10, com++));
    GPIBPORT port;
    HOOK_RECORDER rec;
    port.owner = &rec;
    EXPECT_EQ(port.select_interface(peer.descriptor.c_str()), KIND_PROLOGIX_USB);
    ASSERT_EQ(port.open(10, HOOK_RECORDER::hook, false, 1500, -1, false, 4096, false), 1) << rec.all();
    EXPECT_EQ(port.fw_major, c.major);
    EXPECT_EQ(port.fw_minor, c.minor);
    EXPECT_EQ(port.fw_revision, c.revision);
    EXPECT_EQ(port.extended_commands, c.extended);

    std::string opened = peer.received_through("++ver\r\n");
    plat_sleep_ms(50);
    opened = peer.received();
    // A GPIB-USB adapter hears "++eoi" only once it is known to take it.
    EXPECT_EQ(count_of(opened, "++eoi"), 0u);
    EXPECT_EQ(count_of(opened, "++mode 1\r\n++addr 10\r\n"), static_cast<size_t>(c.extended));
    peer.sim->clear_record();

    EXPECT_EQ(port.set_auto_read(1), c.extended);
    for (int i = 0; i < 3; ++i) {
      char* id = port.query("*IDN?");
      ASSERT_NE(id, nullptr) << rec.all();
      EXPECT_EQ(std::string(id).rfind("PICOTEST", 0), 0u) << id;
    }
    // Every reply has been read, so every request has arrived.
    std::string sent = peer.received();
    EXPECT_EQ(count_of(sent, "++read 10\r\n"), c.extended ? 0u : 3u) << sent;
    EXPECT_EQ(count_of(sent, "++auto 1\r\n"), c.extended ? 1u : 0u) << sent;
    port.close(true);
    EXPECT_TRUE(rec.reports.empty()) << rec.all();
  }
}

TEST_F(StreamPort, SerialInstrumentOnAPseudoTerminal) {
  SIM_PEER peer;
  ASSERT_TRUE(peer.start(TransportKind::SerialInstrument, Firmware::Ethernet, 10, 31));
  const std::string descriptors[] = {peer.sim->device_path(), "COM31:baud=115200 parity=N data=8 stop=1"};
  for (const std::string& d : descriptors) {
    SCOPED_TRACE(d);
    GPIBPORT port;
    HOOK_RECORDER rec;
    port.owner = &rec;
    port.select_interface(d.c_str());
    EXPECT_EQ(port.is_prologix, 0);
    ASSERT_EQ(port.open(3, HOOK_RECORDER::hook, false, 1500, -1, false, 4096, false), 1) << rec.all();
    peer.sim->clear_record();
    char* id = port.query("*IDN?");
    ASSERT_NE(id, nullptr) << rec.all();
    EXPECT_EQ(std::string(id).rfind("PICOTEST", 0), 0u);
    EXPECT_EQ(peer.received_through("*IDN?\r\n"), "*IDN?\r\n");
    port.close(true);
  }
}

TEST_F(StreamPort, SecondPortOnTheSameComPortIsRefused) {
  SIM_PEER peer;
  ASSERT_TRUE(peer.start(TransportKind::PrologixUsb, Firmware::Usb6107, 10, 32));
  ASSERT_TRUE(open_on(peer, 10)) << rec_.all();
  GPIBPORT second;
  HOOK_RECORDER rec;
  second.owner = &rec;
  second.select_interface("COM32:baud=9600 parity=N data=8 stop=1");
  EXPECT_EQ(second.open(10, HOOK_RECORDER::hook, false, 1500, -1, false, 4096, false), 0);
  ASSERT_EQ(rec.reports.size(), 1u);
  EXPECT_EQ(rec.reports[0].text, "Port in use\n\n (Communications error)\n\n");
}

TEST_F(StreamPort, AdapterWithoutVersionAnswerFailsToOpen) {
  SIM_PEER peer;
  ASSERT_TRUE(peer.start(TransportKind::PrologixLan));
  u62sim::Faults silent;
  silent.silence = true;
  peer.sim->set_faults(silent);
  port_.select_interface(peer.descriptor.c_str());
  EXPECT_EQ(port_.open(10, HOOK_RECORDER::hook, false, 100, -1, false, 4096, false), 0);
  ASSERT_EQ(rec_.reports.size(), 2u);
  EXPECT_EQ(rec_.reports[0].text, "ibrd Error: 0x2\n (Communications error)\n\n");
  EXPECT_EQ(rec_.reports[1].text, "query(++ver) error\n (Communications error)\n\n");
  EXPECT_EQ(port_.hCOMSem, nullptr);
  // The stream stays until the port is closed, which still sends "++loc".
  ASSERT_NE(port_.stream, nullptr);
  peer.sim->clear_record();
  port_.close(true);
  EXPECT_EQ(peer.received_through("++loc\r\n"), "++loc\r\n");
}

TEST_F(StreamPort, FloodIsNudgedOnceThenAbandoned) {
  SIM_PEER peer;
  ASSERT_TRUE(peer.start(TransportKind::TcpInstrument));
  ASSERT_TRUE(open_on(peer, 3, KIND_TCP_INSTRUMENT)) << rec_.all();
  u62sim::Faults flood;
  flood.flood = true;
  flood.flood_interval = std::chrono::microseconds(200);
  peer.sim->set_faults(flood);
  ASSERT_TRUE(peer.sim->wait_sent("E+", std::chrono::milliseconds(2000)));
  peer.sim->clear_record();

  testing::internal::CaptureStdout();
  uint32_t start = plat_tick_ms();
  int discarded = port_.flush_receive_buffers();
  int32_t elapsed = static_cast<int32_t>(plat_tick_ms() - start);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_GE(elapsed, 4096);
  EXPECT_LT(elapsed, 4096 + 1000);
  EXPECT_GT(discarded, 1000);
  EXPECT_EQ(out, "Flood detected in flush_receive_buffers()\n");
  // One space, no line end, no escaping.
  EXPECT_EQ(peer.received(), " ");
}

TEST_F(StreamPort, FlushStopsAtSilence) {
  SIM_PEER peer;
  ASSERT_TRUE(peer.start(TransportKind::TcpInstrument));
  ASSERT_TRUE(open_on(peer, 3, KIND_TCP_INSTRUMENT)) << rec_.all();
  ASSERT_EQ(port_.send("*IDN?"), 1);
  ASSERT_TRUE(peer.sim->wait_sent("\n", std::chrono::milliseconds(2000)));
  uint32_t start = plat_tick_ms();
  int discarded = port_.flush_receive_buffers();
  int32_t elapsed = static_cast<int32_t>(plat_tick_ms() - start);
  EXPECT_GT(discarded, 8);
  EXPECT_LT(elapsed, 1000);
  int status = 0;
  port_.read_timeout_ms = 50;
  char* nothing = port_.receive(-1, false, false, &status);
  ASSERT_NE(nothing, nullptr);
  EXPECT_STREQ(nothing, "");
}

}  // namespace
