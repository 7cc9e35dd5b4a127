// The acquisition thread against the simulated counter over every byte
// stream: a direct TCP instrument, Prologix GPIB-ETHERNET and GPIB-USB
// adapters, and a raw serial instrument on pseudo-terminals reached as COMn.
// Numbered readings prove that every reading after the first reaches the
// host exactly once and in order; the simulators' byte records show what
// the counter was sent.
#include <sys/stat.h>

#include <cstdlib>
#include <memory>

#include "acq_fixture.h"
#include "sim/sim.h"

namespace {

using acqtest::count_of;
using acqtest::TRIGGER_LINE;
using u62sim::CounterMode;
using u62sim::TransportKind;

const std::string PROLOGIX_CLOSE = "++auto 0\r\n++loc\r\n";

std::string devices_dir() {
  const char* build = std::getenv("U62_BUILD_DIR");
  return std::string(build ? build : "/tmp") + "/acquisition-devices-" + std::to_string(getpid());
}

bool is_prologix(TransportKind kind) {
  return kind == TransportKind::PrologixLan || kind == TransportKind::PrologixUsb;
}

const char* kind_name(TransportKind kind) {
  switch (kind) {
    case TransportKind::TcpInstrument: return "Tcp";
    case TransportKind::PrologixLan: return "PrologixLan";
    case TransportKind::PrologixUsb: return "PrologixUsb";
    case TransportKind::SerialInstrument: return "Serial";
  }
  return "?";
}

// What the port sends on opening each kind of connection, before the
// thread's own commands: nothing on raw lines, the adapter dialogue on
// Prologix ones (a GPIB-USB adapter gets no "++eoi 1").
std::string open_dialogue(TransportKind kind) {
  switch (kind) {
    case TransportKind::PrologixLan:
      return "++auto 0\r\n++eoi 1\r\n++eot_enable 0\r\n++ver\r\n++eos 0\r\n++mode 1\r\n++addr 10\r\n"
             "++read_tmo_ms 1500\r\n++clr\r\n";
    case TransportKind::PrologixUsb:
      return "++auto 0\r\n++eot_enable 0\r\n++ver\r\n++eos 0\r\n++mode 1\r\n++addr 10\r\n"
             "++read_tmo_ms 1500\r\n++clr\r\n";
    default:
      return "";
  }
}

std::string repeat(const std::string& text, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; i++) out += text;
  return out;
}

class SimTest : public acqtest::HostTest {
 protected:
  void SetUp() override {
    acqtest::HostTest::SetUp();
    setenv("ORVANE_DEVICES", devices_dir().c_str(), 1);
  }
  void TearDown() override {
    acqtest::HostTest::TearDown();
    sims_.clear();
  }

  u62sim::Simulator* simulate(TransportKind kind, u62sim::TransportOptions o = {}) {
    o.devices_dir = devices_dir();
    if (kind == TransportKind::SerialInstrument) o.com_number = 8;
    std::string error;
    auto sim = u62sim::start_simulator(kind, o, &error);
    EXPECT_TRUE(sim) << error;
    if (!sim) return nullptr;
    sims_.push_back(std::move(sim));
    return sims_.back().get();
  }

  static u62sim::TransportOptions numbered(CounterMode mode = CounterMode::Frequency, int measurement_us = 2000) {
    u62sim::TransportOptions o;
    o.model.numbered = true;
    o.model.mode = mode;
    o.model.measurement_time = std::chrono::microseconds(measurement_us);
    return o;
  }

  // The parameters that reach a simulator of this kind.
  static acqtest::Params where(u62sim::Simulator* sim) {
    switch (sim->kind()) {
      case TransportKind::TcpInstrument:
        return {{"Interface", "."}, {"Address", "127.0.0.1:" + std::to_string(sim->port())}};
      case TransportKind::PrologixLan:
        // The address is read as its leading decimal digits.
        return {{"Interface", "127.0.0.1:" + std::to_string(sim->port())}, {"Address", " +10abc"}};
      case TransportKind::PrologixUsb:
        return {{"Interface", "COM7"}, {"Address", "10"}};
      case TransportKind::SerialInstrument:
        return {{"Interface", "COM8:baud=115200 parity=N data=8 stop=1"}, {"Address", "3"}};
    }
    return {};
  }

  int start_on(u62sim::Simulator* sim, acqtest::Params extra = {}, int handle = 0) {
    acqtest::Params p = where(sim);
    p.insert(p.end(), extra.begin(), extra.end());
    return start(p, handle);
  }

  // Reading numbers in arrival order; -1 for a sample that is none.
  static std::vector<long long> numbers(int acq) {
    std::vector<long long> out;
    for (double r : acqtest::readings(acq)) out.push_back(u62sim::decode_numbered(r));
    return out;
  }

  static bool consecutive_from(const std::vector<long long>& n, long long first) {
    for (size_t i = 0; i < n.size(); i++)
      if (n[i] != first + static_cast<long long>(i)) return false;
    return true;
  }

  static bool increasing(const std::vector<long long>& n) {
    for (size_t i = 0; i < n.size(); i++)
      if (n[i] < 0 || (i > 0 && n[i] <= n[i - 1])) return false;
    return true;
  }

  std::vector<std::unique_ptr<u62sim::Simulator>> sims_;
};

// Every stream kind, both data types, with and without the identification.
struct KIND_CASE {
  TransportKind kind;
  bool time_interval;
  bool query_id;
};

void PrintTo(const KIND_CASE& c, std::ostream* out) {
  *out << kind_name(c.kind) << (c.time_interval ? " time interval" : " frequency") << (c.query_id ? " with id" : "");
}

class EveryConnection : public SimTest, public ::testing::WithParamInterface<KIND_CASE> {};

TEST_P(EveryConnection, ReadingsArriveOnceInOrderAndStopRestoresTheCounter) {
  const KIND_CASE& c = GetParam();
  auto* sim = simulate(c.kind, numbered(c.time_interval ? CounterMode::TimeInterval : CounterMode::Frequency));
  ASSERT_TRUE(sim);
  int acq = start_on(sim, {{"Data Type", c.time_interval ? "0" : "1"},
                           {"Query Instrument ID", c.query_id ? "True" : "False"}});
  ASSERT_NE(acq, 0);
  ASSERT_TRUE(ovhost::wait_samples(acq, 30, 20000)) << ovhost::samples(acq).size() << " samples";
  ASSERT_TRUE(command_and_wait(acq, OV_CMD_STOP));

  auto n = numbers(acq);
  EXPECT_TRUE(consecutive_from(n, 2)) << "first " << n.front() << ", last " << n.back() << ", " << n.size();
  for (const auto& s : ovhost::samples(acq)) {
    ASSERT_TRUE(s.locked);
    ASSERT_EQ(s.frequency, !c.time_interval);
  }
  if (c.query_id) {
    EXPECT_EQ(ovhost::parameter(acq, "Instrument").rfind("PICOTEST,U6200A,", 0), 0u);
  } else {
    EXPECT_EQ(ovhost::parameter(acq, "Instrument"), "Picotest/Array U6200A series");
  }
  EXPECT_TRUE(acqtest::failures().empty()) << acqtest::failures()[0];
  EXPECT_EQ(acqtest::tail(ovhost::calls(acq), 3), (std::vector<std::string>{"finish 4", "unlock", "thread_end"}));
  EXPECT_EQ(ovhost::status(acq).lock_errors, 0);

  // One trigger per handled reply, the identification's included.
  size_t handled = n.size() + (c.query_id ? 1 : 0);
  std::string expected = open_dialogue(c.kind) + "INIT:CONT OFF;*WAI\r\n" + TRIGGER_LINE +
                         (is_prologix(c.kind) ? "++auto 1\r\n" : "") + (c.query_id ? "*IDN?\r\n" : TRIGGER_LINE) +
                         repeat(TRIGGER_LINE, handled) + "INIT:CONT ON;*WAI\r\n" +
                         (is_prologix(c.kind) ? PROLOGIX_CLOSE : "");
  EXPECT_EQ(sim->record().received, expected);
  EXPECT_TRUE(sim->model().continuous());
}

std::vector<KIND_CASE> kind_cases() {
  std::vector<KIND_CASE> out;
  for (auto kind : {TransportKind::TcpInstrument, TransportKind::PrologixLan, TransportKind::PrologixUsb,
                    TransportKind::SerialInstrument})
    for (bool ti : {false, true})
      for (bool q : {true, false}) out.push_back({kind, ti, q});
  return out;
}

INSTANTIATE_TEST_SUITE_P(Kinds, EveryConnection, ::testing::ValuesIn(kind_cases()),
                         [](const ::testing::TestParamInfo<KIND_CASE>& info) {
                           return std::string(kind_name(info.param.kind)) +
                                  (info.param.time_interval ? "TimeInterval" : "Frequency") +
                                  (info.param.query_id ? "WithId" : "WithoutId");
                         });

TEST_F(SimTest, TenThousandReadingsOverTcpNoneLostRepeatedOrReordered) {
  auto* sim = simulate(TransportKind::TcpInstrument, numbered(CounterMode::Frequency, 0));
  ASSERT_TRUE(sim);
  int acq = start_on(sim, {{"Data Type", "1"}, {"Stop Condition", "1"}});
  ASSERT_NE(acq, 0);
  ASSERT_TRUE(ovhost::wait_samples(acq, 10000, 200000)) << ovhost::samples(acq).size() << " samples";
  ASSERT_TRUE(command_and_wait(acq, OV_CMD_STOP));
  auto n = numbers(acq);
  ASSERT_GE(n.size(), 10000u);
  EXPECT_TRUE(consecutive_from(n, 2));
  EXPECT_EQ(count_of(sim->record().received, TRIGGER_LINE), static_cast<int>(n.size()) + 2);
  EXPECT_EQ(ovhost::status(acq).finish, OV_FINISH_NORMAL);
}

TEST_F(SimTest, AbortLeavesTheCounterInSingleMeasurementsAndFreesTheInterface) {
  auto* sim = simulate(TransportKind::PrologixLan, numbered());
  ASSERT_TRUE(sim);
  int acq = start_on(sim, {{"Query Instrument ID", "False"}});
  ASSERT_NE(acq, 0);
  ASSERT_TRUE(ovhost::wait_samples(acq, 5, 10000));
  ASSERT_TRUE(command_and_wait(acq, OV_CMD_ABORT));
  EXPECT_EQ(ovhost::status(acq).finish_calls, 0);
  EXPECT_EQ(ovhost::status(acq).state, OV_STATE_ENDED_EARLY);
  std::string received = sim->record().received;
  EXPECT_EQ(count_of(received, "INIT:CONT ON"), 0);
  // Only the port's own goodbye to the adapter follows the last trigger.
  std::string ending = std::string(TRIGGER_LINE) + PROLOGIX_CLOSE;
  ASSERT_GE(received.size(), ending.size());
  EXPECT_EQ(received.substr(received.size() - ending.size()), ending);
  EXPECT_FALSE(sim->model().continuous());

  // The interface is free at once.
  int again = start_on(sim, {{"Query Instrument ID", "False"}});
  ASSERT_NE(again, 0);
  EXPECT_TRUE(ovhost::wait_samples(again, 3, 10000));
  EXPECT_TRUE(acqtest::failures().empty()) << acqtest::failures()[0];
}

TEST_F(SimTest, SecondAcquisitionOnABusyInterfaceIsRefused) {
  auto* sim = simulate(TransportKind::TcpInstrument, numbered());
  ASSERT_TRUE(sim);
  int first = start_on(sim);
  ASSERT_NE(first, 0);
  ASSERT_TRUE(ovhost::wait_samples(first, 3, 10000));

  int second = ovhost::new_handle();
  acqtest::watch_failures(second);
  ASSERT_EQ(start_on(sim, {}, second), second);
  ASSERT_TRUE(ovhost::wait_thread_end(second, 10000));
  ASSERT_EQ(acqtest::failures().size(), 1u);
  EXPECT_EQ(acqtest::failures()[0].rfind("Acquisition failed: Port in use", 0), 0u) << acqtest::failures()[0];
  EXPECT_EQ(acqtest::failures()[0].find('\n'), std::string::npos);
  EXPECT_EQ(acqtest::calls_after_failure(second),
            (std::vector<std::string>{"command 5", "state 7", "unlock", "thread_end"}));

  size_t before = ovhost::samples(first).size();
  EXPECT_TRUE(ovhost::wait_samples(first, before + 3, 10000));
  ASSERT_TRUE(command_and_wait(first, OV_CMD_STOP));
  int third = start_on(sim);
  ASSERT_NE(third, 0);
  EXPECT_TRUE(ovhost::wait_samples(third, 3, 10000));
}

TEST_F(SimTest, TimingDoneClosesNormallyWithoutAStop) {
  auto* sim = simulate(TransportKind::TcpInstrument, numbered());
  ASSERT_TRUE(sim);
  int acq = start_on(sim, {{"Duration", "12"}, {"Duration Type", "0"}, {"Stop Condition", "0"}});
  ASSERT_NE(acq, 0);
  ASSERT_TRUE(ovhost::wait_thread_end(acq, 20000));
  EXPECT_EQ(ovhost::samples(acq).size(), 12u);
  EXPECT_EQ(ovhost::status(acq).finish, OV_FINISH_NORMAL);
  auto calls = ovhost::calls(acq);
  EXPECT_NE(std::find(calls.begin(), calls.end(), "timing_done"), calls.end());
  EXPECT_EQ(count_of(sim->record().received, "INIT:CONT ON;*WAI\r\n"), 1);
  EXPECT_TRUE(sim->model().continuous());
}

// A connection that drops mid-run ends the acquisition right after the
// failing read, without the closing commands.
class Dropped : public SimTest, public ::testing::WithParamInterface<TransportKind> {};

TEST_P(Dropped, EndsWithTheReadFailureOnOneLine) {
  auto o = numbered();
  o.faults.drop_after = 8;
  auto* sim = simulate(GetParam(), o);
  ASSERT_TRUE(sim);
  int acq = ovhost::new_handle();
  acqtest::watch_failures(acq);
  ASSERT_EQ(start_on(sim, {{"Query Instrument ID", "False"}}, acq), acq);
  ASSERT_TRUE(ovhost::wait_thread_end(acq, 15000));
  auto shown = acqtest::failures();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].rfind("Acquisition failed: ibrd Error: 0x8", 0), 0u) << shown[0];
  EXPECT_EQ(shown[0].find('\n'), std::string::npos);
  EXPECT_EQ(acqtest::calls_after_failure(acq), (std::vector<std::string>{"command 5", "state 7", "thread_end"}));
  auto n = numbers(acq);
  EXPECT_TRUE(consecutive_from(n, 2));
  EXPECT_EQ(n.size(), 7u);
  EXPECT_EQ(ovhost::status(acq).finish_calls, 0);
}

INSTANTIATE_TEST_SUITE_P(Streams, Dropped, ::testing::Values(TransportKind::TcpInstrument, TransportKind::PrologixLan),
                         [](const ::testing::TestParamInfo<TransportKind>& info) {
                           return std::string(kind_name(info.param));
                         });

TEST_F(SimTest, SilentCounterGivesNoSamplesAndStillStops) {
  auto o = numbered();
  o.faults.silence = true;
  auto* sim = simulate(TransportKind::TcpInstrument, o);
  ASSERT_TRUE(sim);
  int acq = start_on(sim);
  ASSERT_NE(acq, 0);
  ASSERT_TRUE(sim->wait_received(TRIGGER_LINE, std::chrono::seconds(5)));
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  EXPECT_TRUE(ovhost::samples(acq).empty());
  EXPECT_TRUE(ovhost::messages(ovhost::Kind::failure).empty());
  auto begun = std::chrono::steady_clock::now();
  ASSERT_TRUE(command_and_wait(acq, OV_CMD_STOP, 8000));
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(5));
  EXPECT_EQ(ovhost::status(acq).finish, OV_FINISH_NORMAL);
}

TEST_F(SimTest, SilentAdapterFailsTheOpening) {
  auto o = numbered();
  o.faults.silence = true;
  auto* sim = simulate(TransportKind::PrologixLan, o);
  ASSERT_TRUE(sim);
  int acq = ovhost::new_handle();
  ASSERT_EQ(start_on(sim, {}, acq), acq);
  ASSERT_TRUE(ovhost::wait_thread_end(acq, 10000));
  auto shown = acqtest::failures();
  ASSERT_FALSE(shown.empty());
  EXPECT_NE(shown.back().find("query(++ver) error"), std::string::npos) << shown.back();
  EXPECT_EQ(acqtest::tail(ovhost::calls(acq), 3), (std::vector<std::string>{"state 7", "unlock", "thread_end"}));
  EXPECT_EQ(count_of(sim->record().received, "INIT"), 0);
}

TEST_F(SimTest, FloodIsReadAndTheCloseStillEnds) {
  auto o = numbered();
  o.faults.flood = true;
  auto* sim = simulate(TransportKind::TcpInstrument, o);
  ASSERT_TRUE(sim);
  int acq = start_on(sim);
  ASSERT_NE(acq, 0);
  ASSERT_TRUE(ovhost::wait_samples(acq, 50, 15000));
  auto begun = std::chrono::steady_clock::now();
  ASSERT_TRUE(command_and_wait(acq, OV_CMD_STOP, 15000));
  // The closing drain and the port's own drain on closing each give up
  // after two windows of about two seconds.
  EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(11));
  EXPECT_EQ(ovhost::status(acq).finish, OV_FINISH_NORMAL);
  for (double r : acqtest::readings(acq)) ASSERT_TRUE(r == 10e6 || u62sim::decode_numbered(r) > 0) << r;
  EXPECT_TRUE(acqtest::failures().empty()) << acqtest::failures()[0];
}

TEST_F(SimTest, GarbageEndsWithTheFrequencyMessage) {
  auto o = numbered();
  o.faults.garbage = true;
  auto* sim = simulate(TransportKind::TcpInstrument, o);
  ASSERT_TRUE(sim);
  int acq = start_on(sim, {{"Data Type", "1"}});
  ASSERT_NE(acq, 0);
  ASSERT_TRUE(ovhost::wait_thread_end(acq, 15000));
  auto shown = acqtest::failures();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].rfind("Error: Invalid frequency value \"", 0), 0u);
  const std::string end = "\" (ensure Picotest/Array U6200A series is in FREQ mode)";
  ASSERT_GT(shown[0].size(), end.size());
  EXPECT_EQ(shown[0].substr(shown[0].size() - end.size()), end);
  EXPECT_EQ(acqtest::tail(ovhost::calls(acq), 3), (std::vector<std::string>{"state 7", "unlock", "thread_end"}));
  EXPECT_EQ(count_of(sim->record().received, "INIT:CONT ON"), 0);
}

TEST_F(SimTest, ReplyThatIsNoNumberEndsWithTheTimeIntervalMessage) {
  auto o = numbered(CounterMode::TimeInterval);
  o.faults.nonnumeric_every = 6;
  auto* sim = simulate(TransportKind::PrologixUsb, o);
  ASSERT_TRUE(sim);
  int acq = start_on(sim, {{"Data Type", "0"}, {"Query Instrument ID", "False"}});
  ASSERT_NE(acq, 0);
  ASSERT_TRUE(ovhost::wait_thread_end(acq, 15000));
  EXPECT_EQ(acqtest::failures(),
            std::vector<std::string>{
                "Error: Invalid TI value \"NOT A NUMBER\n\" (ensure Picotest/Array U6200A series is in TI mode)"});
  EXPECT_TRUE(consecutive_from(numbers(acq), 2));
  EXPECT_EQ(ovhost::samples(acq).size(), 4u);
  EXPECT_FALSE(sim->model().continuous());
}

TEST_F(SimTest, OverLongRepliesAreDroppedAndTheAcquisitionGoesOn) {
  auto o = numbered();
  o.faults.overlong = 2000;
  auto* sim = simulate(TransportKind::TcpInstrument, o);
  ASSERT_TRUE(sim);
  int acq = start_on(sim, {{"Query Instrument ID", "False"}});
  ASSERT_NE(acq, 0);
  ASSERT_TRUE(acqtest::wait_until([&] { return sim->replies_sent() >= 10; }, 10000)) << sim->replies_sent();
  EXPECT_TRUE(ovhost::samples(acq).empty());
  sim->set_faults({});
  ASSERT_TRUE(ovhost::wait_samples(acq, 5, 10000));
  EXPECT_TRUE(increasing(numbers(acq)));
  EXPECT_TRUE(acqtest::failures().empty()) << acqtest::failures()[0];
  ASSERT_TRUE(command_and_wait(acq, OV_CMD_STOP));
}

TEST_F(SimTest, IdentificationAmongReadingsUpdatesTheInstrument) {
  auto o = numbered();
  o.faults.idn_every = 5;
  o.model.maker = u62sim::Maker::Array;
  auto* sim = simulate(TransportKind::SerialInstrument, o);
  ASSERT_TRUE(sim);
  int acq = start_on(sim, {{"Query Instrument ID", "False"}});
  ASSERT_NE(acq, 0);
  ASSERT_TRUE(ovhost::wait_samples(acq, 20, 15000));
  ASSERT_TRUE(command_and_wait(acq, OV_CMD_STOP));
  EXPECT_TRUE(increasing(numbers(acq)));
  EXPECT_EQ(ovhost::parameter(acq, "Instrument").rfind("ARRAY,U6200A,", 0), 0u);
  EXPECT_GE(ovhost::status(acq).updates, 4);
  EXPECT_TRUE(acqtest::failures().empty()) << acqtest::failures()[0];
}

}  // namespace
