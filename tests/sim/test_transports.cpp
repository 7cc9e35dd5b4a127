#include <gtest/gtest.h>

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "sim/sim.h"
#include "tests/sim/client.h"

using namespace u62sim;
using namespace std::chrono_literals;

namespace {

double scan(const std::string& text) {
  double v = -2147483647.0;
  std::sscanf(text.c_str(), "%lf", &v);
  return v;
}

std::unique_ptr<Simulator> started(TransportKind kind, TransportOptions o = {}) {
  std::string error;
  auto sim = start_simulator(kind, o, &error);
  EXPECT_TRUE(sim) << error;
  return sim;
}

TransportOptions quick(bool numbered = false) {
  TransportOptions o;
  o.model.measurement_time = 20ms;
  o.model.numbered = numbered;
  return o;
}

std::string temp_folder(const char* name) {
  const char* build = std::getenv("U62_BUILD_DIR");
  std::filesystem::path p = std::filesystem::path(build ? build : "/tmp") / "sim-test" /
                            (std::string(name) + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(p);
  return p.string();
}

// What the driver sends to open a Prologix adapter, as it sends it.
void open_like_driver(TestClient& c, bool network) {
  c.send("++auto 0\r\n");
  if (network) c.send("++eoi 1\r\n");
  c.send("++eot_enable 0\r\n");
}

}  // namespace

TEST(TcpInstrument, AnswersIdentificationAndNumberedReadingsInOrder) {
  auto sim = started(TransportKind::TcpInstrument, quick(true));
  ASSERT_TRUE(sim);
  EXPECT_EQ(sim->where(), "listening on 127.0.0.1:" + std::to_string(sim->port()));
  TestClient c;
  ASSERT_TRUE(c.connect_tcp(sim->port()));
  EXPECT_EQ(c.query("*IDN?\n"), sim->model().identification() + "\n");
  c.send("INIT:CONT OFF;*WAI\r\n");
  for (long long n = 1; n <= 20; ++n) {
    std::string reply = c.query("INIT;*WAI;FETCH?\r\n");
    ASSERT_EQ(reply.back(), '\n');
    ASSERT_EQ(decode_numbered(scan(reply)), n) << reply;
  }
  ByteRecord r = sim->record();
  EXPECT_EQ(r.received.rfind("*IDN?\nINIT:CONT OFF;*WAI\r\nINIT;*WAI;FETCH?\r\n", 0), 0u);
  EXPECT_FALSE(r.truncated);
  EXPECT_EQ(sim->replies_sent(), 21u);
}

TEST(TcpInstrument, FetchWaitsForTheMeasurementTime) {
  TransportOptions o;
  o.model.measurement_time = 300ms;
  auto sim = started(TransportKind::TcpInstrument, o);
  TestClient c;
  ASSERT_TRUE(c.connect_tcp(sim->port()));
  c.send("INIT:CONT OFF;*WAI\n");
  auto start = std::chrono::steady_clock::now();
  std::string reply = c.query("INIT;*WAI;FETCH?\n");
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_NEAR(scan(reply), 10e6, 1.0) << reply;
  EXPECT_GE(took, 290ms);
  EXPECT_LT(took, 1000ms);
}

TEST(TcpInstrument, NewConnectionReplacesTheOldOne) {
  auto sim = started(TransportKind::TcpInstrument, quick());
  TestClient a, b;
  ASSERT_TRUE(a.connect_tcp(sim->port()));
  ASSERT_TRUE(b.connect_tcp(sim->port()));
  EXPECT_TRUE(a.closed_within(2s));
  EXPECT_EQ(b.query("*IDN?\n").rfind("PICOTEST", 0), 0u);
  EXPECT_EQ(sim->connections_accepted(), 2u);
}

// Every reply fault, over the raw TCP instrument, as a client sees it.
TEST(TcpInstrument, ReplyFaults) {
  auto sim = started(TransportKind::TcpInstrument, quick(true));
  TestClient c;
  ASSERT_TRUE(c.connect_tcp(sim->port()));
  c.send("INIT:CONT OFF\n");
  auto fetch = [&] { return c.query("INIT;*WAI;FETCH?\n", "\n", 700ms); };

  Faults f;
  f.silence = true;
  sim->set_faults(f);
  EXPECT_EQ(fetch(), "");

  f = {};
  f.garbage = true;
  sim->set_faults(f);
  std::string g = fetch();
  ASSERT_FALSE(g.empty());
  EXPECT_EQ(g.back(), '\n');
  EXPECT_EQ(g.find('\n'), g.size() - 1);
  EXPECT_EQ(decode_numbered(scan(g)), -1);

  f = {};
  f.overlong = 2000;
  sim->set_faults(f);
  std::string longer = fetch();
  EXPECT_GE(longer.size(), 2001u);
  EXPECT_GT(decode_numbered(scan(longer)), 0);

  f = {};
  f.nonnumeric_every = 2;
  f.idn_every = 3;
  sim->set_faults(f);
  std::vector<std::string> replies;
  for (int i = 0; i < 6; ++i) replies.push_back(fetch());
  EXPECT_EQ(replies[1], "NOT A NUMBER\n");
  EXPECT_EQ(replies[2].rfind("PICOTEST,", 0), 0u);
  EXPECT_EQ(replies[3], "NOT A NUMBER\n");
  EXPECT_EQ(replies[5].rfind("PICOTEST,", 0), 0u);
  EXPECT_GT(decode_numbered(scan(replies[4])), 0);

  f = {};
  f.split_bytes = 5;
  f.split_gap = 60ms;
  sim->set_faults(f);
  c.send("INIT;*WAI;FETCH?\n");
  std::string first = c.read_for(150ms);  // the measurement and two gaps at most
  std::string rest = c.read_until("\n", 2s);
  EXPECT_GE(first.size(), 5u);
  EXPECT_LT(first.size(), 22u);
  EXPECT_EQ((first + rest).size(), 22u);
}

TEST(TcpInstrument, DropAfterRepliesThenServesAgain) {
  TransportOptions o = quick();
  o.faults.drop_after = 2;
  auto sim = started(TransportKind::TcpInstrument, o);
  TestClient c;
  ASSERT_TRUE(c.connect_tcp(sim->port()));
  EXPECT_FALSE(c.query("*IDN?\n").empty());
  EXPECT_FALSE(c.query("*IDN?\n").empty());
  EXPECT_TRUE(c.closed_within(2s));
  ASSERT_TRUE(c.connect_tcp(sim->port()));
  EXPECT_FALSE(c.query("*IDN?\n").empty());
}

TEST(TcpInstrument, HangAcceptsButNeverReadsOrAnswers) {
  TransportOptions o = quick();
  o.faults.hang = true;
  auto sim = started(TransportKind::TcpInstrument, o);
  TestClient c;
  ASSERT_TRUE(c.connect_tcp(sim->port()));
  EXPECT_EQ(c.query("*IDN?\n", "\n", 300ms), "");
  EXPECT_EQ(sim->record().received, "");
  sim->set_faults({});
  EXPECT_FALSE(c.read_until("\n", 2s).empty());  // the queued question is answered late
}

TEST(TcpInstrument, FloodSendsWithoutBeingAsked) {
  TransportOptions o = quick();
  o.faults.flood = true;
  auto sim = started(TransportKind::TcpInstrument, o);
  TestClient c;
  ASSERT_TRUE(c.connect_tcp(sim->port()));
  std::string got = c.read_for(300ms);
  EXPECT_GT(got.size(), 50u * 22u);
  EXPECT_NEAR(scan(got), 10e6, 1.0);
}

// The open dialogue of a GPIB-ETHERNET adapter as the driver runs it, then
// readings in read-after-write mode and the return to local control.
TEST(PrologixLan, DriverDialogueByteExact) {
  auto sim = started(TransportKind::PrologixLan, quick(true));
  TestClient c;
  ASSERT_TRUE(c.connect_tcp(sim->port()));
  open_like_driver(c, true);
  EXPECT_EQ(c.query("++ver\r\n"), "Prologix GPIB-ETHERNET Controller version 01.06.06.00\r\n");
  c.send("++eos 0\r\n++mode 1\r\n++addr 10\r\n++read_tmo_ms 1500\r\n++clr\r\n");
  c.send("INIT:CONT OFF;*WAI\r\nINIT;*WAI;FETCH?\r\n++auto 1\r\n");
  for (long long n = 1; n <= 5; ++n) {
    std::string reply = c.read_until("\n", 2s);
    ASSERT_EQ(decode_numbered(scan(reply)), n) << reply;
    c.send("INIT;*WAI;FETCH?\r\n");
  }
  EXPECT_FALSE(c.read_until("\n", 2s).empty());
  c.send("++auto 0\r\nINIT:CONT ON;*WAI\r\n++loc\r\n");
  ASSERT_TRUE(sim->wait_received("++loc\r\n", 2s));
  EXPECT_EQ(sim->record().received.rfind("++auto 0\r\n++eoi 1\r\n++eot_enable 0\r\n++ver\r\n", 0), 0u);
  for (int i = 0; i < 100 && sim->model().remote(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_FALSE(sim->model().remote());
  std::vector<std::string> t = sim->model().transcript();
  ASSERT_GE(t.size(), 4u);
  EXPECT_EQ(t[0], "[DCL]");
  EXPECT_EQ(t[1], "[REN]");
  EXPECT_EQ(t[2], "INIT:CONT OFF;*WAI");
  EXPECT_EQ(t.back(), "[GTL]");
}

TEST(PrologixLan, LineFeedArrivingLateDoesNotCancelTheAutomaticRead) {
  auto sim = started(TransportKind::PrologixLan, quick());
  TestClient c;
  ASSERT_TRUE(c.connect_tcp(sim->port()));
  c.send("++auto 1\r\n");
  c.send("*IDN?\r");
  ASSERT_TRUE(sim->wait_received("*IDN?\r", 1s));
  std::this_thread::sleep_for(5ms);
  c.send("\n");
  EXPECT_EQ(c.read_until("\n", 2s).rfind("PICOTEST", 0), 0u);
}

TEST(PrologixLan, SettingsAnswerAndBadValuesChangeNothing) {
  auto sim = started(TransportKind::PrologixLan, quick());
  TestClient c;
  ASSERT_TRUE(c.connect_tcp(sim->port()));
  struct Case {
    const char* send;
    const char* answer;
  } cases[] = {
      {"++addr\r\n", "10\r\n"},        {"++addr 31\r\n++addr\r\n", "10\r\n"},
      {"++auto\r\n", "0\r\n"},         {"++eos 2\r\n++eos\r\n", "2\r\n"},
      {"++eos 4\r\n++eos\r\n", "2\r\n"}, {"++read_tmo_ms 3001\r\n++read_tmo_ms\r\n", "500\r\n"},
      {"++mode\r\n", "1\r\n"},         {"++eot_char 42\r\n++eot_char\r\n", "42\r\n"},
      {"++spoll\r\n", "0\r\n"},        {"++srq\r\n", "0\r\n"},
      {"++rst\r\n++eos\r\n", "0\r\n"},
  };
  for (const Case& k : cases) EXPECT_EQ(c.query(k.send, "\r\n"), k.answer) << k.send;
  // Bus events reach the counter; a waiting reply shows in the status byte.
  EXPECT_EQ(c.query("*IDN?\r\n++spoll 10\r\n", "\r\n"), "16\r\n");
  c.send("++trg\r\n++llo\r\n++ifc\r\n++savecfg 0\r\n++loc\r\n");
  ASSERT_TRUE(sim->wait_received("++loc\r\n", 1s));
  for (int i = 0; i < 100 && sim->model().transcript().back() != "[GTL]"; ++i) std::this_thread::sleep_for(5ms);
  std::vector<std::string> tail = sim->model().transcript();
  ASSERT_GE(tail.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(tail.end() - 3, tail.end()), (std::vector<std::string>{"[GET]", "[LLO]", "[GTL]"}));
  EXPECT_TRUE(sim->model().locked_out());
  std::string help = c.query("++help\r\n", "++help -- Display this help\r\n");
  EXPECT_NE(help.find("++read_tmo_ms"), std::string::npos);
}

TEST(PrologixLan, WrongAddressGetsNoAnswer) {
  auto sim = started(TransportKind::PrologixLan, quick());
  TestClient c;
  ASSERT_TRUE(c.connect_tcp(sim->port()));
  c.send("++addr 5\r\n*IDN?\r\n++read eoi\r\n");
  EXPECT_EQ(c.read_for(700ms), "");
  EXPECT_TRUE(sim->model().transcript().empty());
  EXPECT_EQ(c.query("++addr 10\r\n*IDN?\r\n++read 10\r\n").rfind("PICOTEST", 0), 0u);
}

TEST(PrologixLan, EscapedBytesAreDataAndEndOfStringRules) {
  auto sim = started(TransportKind::PrologixLan, quick());
  TestClient c;
  ASSERT_TRUE(c.connect_tcp(sim->port()));
  // Escaped '+' signs make the line data for the instrument, not a command.
  c.send("\x1b+\x1b+ver\r\n++read eoi\r\n");
  EXPECT_EQ(c.read_for(600ms), "");
  EXPECT_EQ(sim->model().transcript().back(), "++ver");
  // An escaped carriage return travels inside the data.
  EXPECT_EQ(c.query("*IDN?\x1b\r\r\n++read 10\r\n").rfind("PICOTEST", 0), 0u);

  // Without EOI the counter only sees the end of a message at a line feed.
  struct Case {
    const char* setup;
    bool executes;
  } cases[] = {{"++eos 3\r\n++eoi 1\r\n", true},
               {"++eos 3\r\n++eoi 0\r\n", false},
               {"++eos 1\r\n++eoi 0\r\n", false},
               {"++eos 2\r\n++eoi 0\r\n", true}};
  for (const Case& k : cases) {
    sim->model().device_clear(Clock::now());
    c.send(k.setup);
    std::string reply = c.query("*IDN?\r\n++read eoi\r\n", "\n", 600ms);
    EXPECT_EQ(!reply.empty(), k.executes) << k.setup;
  }
}

TEST(PrologixLan, EndOfTransmissionCharacter) {
  auto sim = started(TransportKind::PrologixLan, quick());
  TestClient c;
  ASSERT_TRUE(c.connect_tcp(sim->port()));
  std::string reply = c.query("++eot_enable 1\r\n++eot_char 42\r\n*IDN?\r\n++read eoi\r\n", "*");
  EXPECT_EQ(reply, sim->model().identification() + "\n*");
}

// Which firmware knows the extended commands: old firmware ignores
// "++auto 1" and answers only explicit reads.
TEST(PrologixUsb, FirmwareGenerations) {
  for (const FirmwareInfo& fw : all_firmware()) {
    SCOPED_TRACE(fw.name);
    TransportOptions o = quick();
    o.firmware = fw.id;
    auto sim = started(TransportKind::PrologixUsb, o);
    ASSERT_TRUE(sim);
    TestClient c;
    ASSERT_TRUE(c.open_serial(sim->device_path()));
    c.send("++auto 0\r\n++eot_enable 0\r\n");
    EXPECT_EQ(c.query("++ver\r\n"), std::string(fw.version_text) + "\r\n");
    std::string automatic = c.query("*IDN?\r\n++auto 1\r\n", "\n", 400ms);
    EXPECT_EQ(!automatic.empty(), fw.extended) << automatic;
    c.send("++auto 0\r\n");
    c.read_for(100ms);
    EXPECT_EQ(c.query("*IDN?\r\n++read 10\r\n").rfind("PICOTEST", 0), 0u);
  }
  FirmwareInfo none{};
  Firmware parsed;
  EXPECT_TRUE(parse_firmware("3.12b", parsed));
  EXPECT_EQ(parsed, Firmware::Usb312B);
  EXPECT_FALSE(parse_firmware("9.99", parsed));
  (void)none;
}

TEST(PrologixUsb, ProbeSequenceAndComLink) {
  TransportOptions o = quick();
  o.devices_dir = temp_folder("usb");
  o.com_number = 7;
  auto sim = started(TransportKind::PrologixUsb, o);
  ASSERT_TRUE(sim);
  std::string link = o.devices_dir + "/com7";
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim->device_path());
  EXPECT_EQ(sim->where(), "COM7 -> " + sim->device_path());
  TestClient c;
  ASSERT_TRUE(c.open_serial(link));
  // The probe writes "++" and the rest of its command separately.
  c.send("++");
  c.send("mode 1\r\n");
  EXPECT_EQ(c.query("++ver\r\n"), "Prologix GPIB-USB Controller version 6.107\r\n");
  sim->stop();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(SerialInstrument, RoundTripOnAPseudoTerminal) {
  TransportOptions o = quick(true);
  o.devices_dir = temp_folder("serial");
  o.com_number = 3;
  auto sim = started(TransportKind::SerialInstrument, o);
  ASSERT_TRUE(sim);
  TestClient c;
  ASSERT_TRUE(c.open_serial(o.devices_dir + "/com3"));
  EXPECT_EQ(c.query("*IDN?\r\n").rfind("PICOTEST,U6200A,", 0), 0u);
  c.send("INIT:CONT OFF\r\n");
  EXPECT_EQ(decode_numbered(scan(c.query("INIT;*WAI;FETCH?\r\n"))), 1);
  // A client that goes away and comes back finds the line again.
  c.close();
  ASSERT_TRUE(c.open_serial(o.devices_dir + "/com3"));
  EXPECT_EQ(decode_numbered(scan(c.query("READ?\r\n"))), 2);
  EXPECT_EQ(sim->record().received, "*IDN?\r\nINIT:CONT OFF\r\nINIT;*WAI;FETCH?\r\nREAD?\r\n");
}

TEST(Simulators, RecordIsCappedAndFlagged) {
  TransportOptions o = quick();
  o.record_limit = 64;
  auto sim = started(TransportKind::TcpInstrument, o);
  TestClient c;
  ASSERT_TRUE(c.connect_tcp(sim->port()));
  c.query(std::string(100, ' ') + "*IDN?\n");
  ByteRecord r = sim->record();
  EXPECT_EQ(r.received.size(), 64u);
  EXPECT_TRUE(r.truncated);
}

TEST(Simulators, QuietSimulatorUsesNoProcessorTime) {
  auto raw = started(TransportKind::TcpInstrument, quick());
  auto lan = started(TransportKind::PrologixLan, quick());
  auto usb = started(TransportKind::PrologixUsb, quick());
  TestClient a, b;
  ASSERT_TRUE(a.connect_tcp(raw->port()));
  ASSERT_TRUE(b.connect_tcp(lan->port()));
  b.send("++auto 1\r\n");  // an adapter waiting on a silent instrument
  timespec t0{}, t1{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t0);
  std::this_thread::sleep_for(1000ms);
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t1);
  double used = (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) * 1e-9;
  EXPECT_LT(used, 0.05);
}

TEST(Simulators, StartFailsCleanlyOnABusyPort) {
  auto first = started(TransportKind::TcpInstrument, quick());
  TransportOptions o = quick();
  o.port = first->port();
  std::string error;
  EXPECT_FALSE(start_simulator(TransportKind::TcpInstrument, o, &error));
  EXPECT_NE(error.find("bind"), std::string::npos) << error;
  o.bind_address = "not-an-address";
  o.port = 0;
  EXPECT_FALSE(start_simulator(TransportKind::TcpInstrument, o, &error));
}

// A client that asks as fast as it can gets well over 2,000 answers a
// second, straight or through the LAN adapter in read-after-write mode.
TEST(Simulators, AnswersAtOnceManyTimesASecond) {
  TransportOptions o;
  o.model.measurement_time = std::chrono::microseconds(0);
  o.model.numbered = true;
  for (TransportKind kind : {TransportKind::TcpInstrument, TransportKind::PrologixLan}) {
    auto sim = started(kind, o);
    TestClient c;
    ASSERT_TRUE(c.connect_tcp(sim->port()));
    if (kind == TransportKind::PrologixLan) c.send("++auto 1\r\n");
    c.send("INIT:CONT OFF\r\n");
    c.read_for(50ms);
    const int n = 2000;
    auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= n; ++i) {
      std::string reply = c.query("INIT;*WAI;FETCH?\r\n");
      ASSERT_EQ(decode_numbered(scan(reply)), i) << reply;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s: %.0f replies/s\n", kind == TransportKind::TcpInstrument ? "raw TCP" : "Prologix LAN",
                n / seconds);
#ifndef __SANITIZE_ADDRESS__
    // The rate says something about the simulator only without the
    // sanitizer's several-fold slowdown; the order above is checked in both.
    EXPECT_GT(n / seconds, 2000.0);
#endif
  }
}

TEST(SerialInstrument, DropHangsUpAndOffersANewLine) {
  TransportOptions o = quick();
  o.devices_dir = temp_folder("drop");
  o.com_number = 4;
  o.faults.drop_after = 1;
  auto sim = started(TransportKind::SerialInstrument, o);
  ASSERT_TRUE(sim);
  std::string first = sim->device_path();
  TestClient c;
  ASSERT_TRUE(c.open_serial(o.devices_dir + "/com4"));
  EXPECT_FALSE(c.query("*IDN?\n").empty());
  EXPECT_TRUE(c.closed_within(2s));  // the old line reads as hung up
  for (int i = 0; i < 200 && sim->device_path() == first; ++i) std::this_thread::sleep_for(5ms);
  ASSERT_NE(sim->device_path(), first);
  EXPECT_EQ(std::filesystem::read_symlink(o.devices_dir + "/com4").string(), sim->device_path());
  ASSERT_TRUE(c.open_serial(o.devices_dir + "/com4"));
  EXPECT_FALSE(c.query("*IDN?\n").empty());
}
