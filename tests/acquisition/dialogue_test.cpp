// The acquisition thread's handling of replies, against a scripted counter
// on loopback TCP: which replies become samples, which end the acquisition
// with which message, and which trigger the next measurement. Also the
// failure hook on its own, and the host calls on the early ways out.
#include <atomic>
#include <cstdlib>
#include <new>

#include "acq_fixture.h"
#include "driver/context.h"
#include "drivers/shared/gpibport/gpibport.h"

namespace {

using acqtest::count_of;
using acqtest::SCRIPTED_COUNTER;
using Entry = SCRIPTED_COUNTER::Entry;

// Fails the port's work buffer once when armed, as an exhausted heap would.
std::atomic<bool> g_fail_work_buffer{false};

}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (size == GPIBPORT_WORK_SIZE + 1 && g_fail_work_buffer.exchange(false)) return nullptr;
  return std::malloc(size ? size : 1);
}
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void* operator new[](std::size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

namespace {

const char* const TI_MESSAGE = "Error: Invalid TI value \"%s\" (ensure Picotest/Array U6200A series is in TI mode)";
const char* const FREQ_MESSAGE =
    "Error: Invalid frequency value \"%s\" (ensure Picotest/Array U6200A series is in FREQ mode)";

std::string message(const char* format, const std::string& reply) {
  char text[4096];
  std::snprintf(text, sizeof text, format, reply.c_str());
  return text;
}

struct CASE {
  const char* name;
  bool query_id;
  bool time_interval;
  std::vector<Entry> script;
  std::vector<double> samples;
  std::string failure;     // the one failure message expected, or none
  int triggers = -1;       // "INIT;*WAI;FETCH?" lines the counter received, -1: not checked
  std::string instrument;  // the Instrument value the host received last, or none
};

// Test lists name a case by its name alone.
void PrintTo(const CASE& c, std::ostream* out) { *out << c.name; }

std::vector<Entry> lines(const std::vector<std::string>& replies) { return SCRIPTED_COUNTER::lines(replies); }

std::string padded(const std::string& reading, size_t total) {
  std::string text = reading;
  while (text.size() + 1 < total) text += ' ';
  return text + "\n";
}

std::vector<CASE> cases() {
  return {
      {"FirstReplyIsNeverASample", false, false, lines({"+5.0\n", "+6.0\n"}), {6.0}, "", 3, ""},
      {"IdentificationAfterTheFirstReply", true, false, lines({"+5.0\n", "PICOTEST,U6200A,X,1\n", "+6.0\n"}), {6.0},
       "", 3, "PICOTEST,U6200A,X,1\n"},
      {"LeadingBlanksAreSkipped", false, true, lines({"x\n", "  +1.000E-06\n"}), {1e-6}, "", 3, ""},
      {"IdentificationInAnyCaseAtAnyTime", false, false,
       lines({"1\n", "+1\n", "picotest,u6200a\n", "+2\n", "aRRay,U6200A\n", "+3\n"}), {1, 2, 3}, "", 7,
       "aRRay,U6200A\n"},
      {"ForeignIdentificationIsAnInvalidReading", true, false, lines({"1\n", "KEYSIGHT,53230A\n"}), {},
       message(FREQ_MESSAGE, "KEYSIGHT,53230A\n"), 2, ""},
      {"LettersInTimeIntervalMode", false, true, lines({"1\n", "+2\n", "abc\r\n"}), {2}, message(TI_MESSAGE, "abc\r\n"),
       4, ""},
      {"TheSentinelItselfIsInvalid", false, false, lines({"1\n", "-2147483647\n"}), {},
       message(FREQ_MESSAGE, "-2147483647\n"), 3, ""},
      {"NextToTheSentinelIsAReading", false, false, lines({"1\n", "-2147483647.5\n"}), {-2147483647.5}, "", 3, ""},
      {"InfinityIsNoReading", false, false, lines({"1\n", "INF\n"}), {}, message(FREQ_MESSAGE, "INF\n"), 3, ""},
      {"NanIsNoReading", false, true, lines({"1\n", "nan\n"}), {}, message(TI_MESSAGE, "nan\n"), 3, ""},
      {"OverflowingExponentIsNoReading", false, false, lines({"1\n", "1e999\n"}), {}, message(FREQ_MESSAGE, "1e999\n"),
       3, ""},
      // A blank reply is dropped and triggers nothing; the reading behind it
      // in the same write is still handled.
      {"BlankReplyTriggersNothing", false, false, lines({"1\n", "   \r\n+7.0\n", "+8.0\n"}), {7, 8}, "", 4, ""},
      {"ReplyOf1022CharactersFits", false, false, lines({"1\n", padded("+4", 1022), "+5\n"}), {4, 5}, "", 4, ""},
      // Too long to keep: dropped without a message, and the counter is
      // triggered again so that the acquisition goes on.
      {"ReplyOf1023CharactersIsDropped", false, false, lines({"1\n", padded("+4", 1023), "+5\n"}), {5}, "", 4, ""},
      {"OverLongReplyIsDroppedWhole", false, false,
       {{{"1\n", 0}}, {{std::string(1030, '1'), 0}, {"5\n", 1700}}, {{"+13\n", 0}}}, {13}, "", 4, ""},
      {"ReplyInPiecesIsJoined", false, false, {{{"1\n", 0}}, {{"+1.2", 0}, {"5E+00\n", 1700}}}, {1.25}, "", 3, ""},
  };
}

class Dialogue : public acqtest::HostTest, public ::testing::WithParamInterface<CASE> {};

TEST_P(Dialogue, RepliesAreHandledAsTheCounterMeantThem) {
  const CASE& c = GetParam();
  SCRIPTED_COUNTER counter(c.script);
  ASSERT_NE(counter.port(), 0);
  int acq = ovhost::new_handle();
  acqtest::watch_failures(acq);
  ASSERT_EQ(start({{"Interface", "."},
                   {"Address", counter.address()},
                   {"Query Instrument ID", c.query_id ? "True" : "False"},
                   {"Data Type", c.time_interval ? "0" : "1"}},
                  acq),
            acq);

  if (!c.failure.empty()) {
    ASSERT_TRUE(ovhost::wait_thread_end(acq, 10000));
    EXPECT_EQ(acqtest::failures(), std::vector<std::string>{c.failure});
    EXPECT_EQ(acqtest::calls_after_failure(acq), (std::vector<std::string>{"state 7", "unlock", "thread_end"}));
    EXPECT_EQ(count_of(counter.received(), "INIT:CONT ON"), 0);
  } else {
    ASSERT_TRUE(acqtest::wait_until(
        [&] { return counter.answered() == c.script.size() && ovhost::samples(acq).size() >= c.samples.size(); },
        10000))
        << "answered " << counter.answered() << ", samples " << ovhost::samples(acq).size();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(command_and_wait(acq, OV_CMD_STOP));
    EXPECT_TRUE(acqtest::failures().empty()) << acqtest::failures()[0];
    EXPECT_EQ(ovhost::status(acq).finish, OV_FINISH_NORMAL);
  }
  EXPECT_EQ(acqtest::readings(acq), c.samples);
  for (const auto& s : ovhost::samples(acq)) {
    EXPECT_TRUE(s.locked);
    EXPECT_EQ(s.frequency, !c.time_interval);
  }
  if (c.triggers >= 0) {
    EXPECT_EQ(count_of(counter.received(), acqtest::TRIGGER_LINE), c.triggers);
  }
  EXPECT_EQ(count_of(counter.received(), "*IDN?\r\n"), c.query_id ? 1 : 0);
  if (!c.instrument.empty()) {
    EXPECT_EQ(ovhost::parameter(acq, "Instrument"), c.instrument);
  }
}

INSTANTIATE_TEST_SUITE_P(Replies, Dialogue, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<CASE>& info) { return std::string(info.param.name); });

// The dialogue as the counter receives it, byte for byte, from the first
// command to the closing one, and the gate's effect on it.
class Closing : public acqtest::HostTest {};

TEST_F(Closing, StopReturnsTheCounterToContinuousMode) {
  SCRIPTED_COUNTER counter(lines({"+1\n", "PICOTEST,U6200A\n", "+2\n", "+3\n", "+4\n"}));
  int acq = start({{"Interface", "."}, {"Address", counter.address()}, {"Query Instrument ID", "True"}});
  ASSERT_NE(acq, 0);
  ASSERT_TRUE(ovhost::wait_samples(acq, 3, 10000));
  ASSERT_TRUE(command_and_wait(acq, OV_CMD_STOP));
  EXPECT_EQ(counter.received(),
            "INIT:CONT OFF;*WAI\r\nINIT;*WAI;FETCH?\r\n*IDN?\r\n"
            "INIT;*WAI;FETCH?\r\nINIT;*WAI;FETCH?\r\nINIT;*WAI;FETCH?\r\nINIT;*WAI;FETCH?\r\n"
            "INIT:CONT ON;*WAI\r\n");
  EXPECT_EQ(acqtest::tail(ovhost::calls(acq), 3), (std::vector<std::string>{"finish 4", "unlock", "thread_end"}));
  EXPECT_EQ(ovhost::status(acq).finish_calls, 1);
  EXPECT_EQ(ovhost::status(acq).thread_result, 1u);
  EXPECT_EQ(ovhost::status(acq).lock_errors, 0);
}

TEST_F(Closing, AbortSendsNothingMore) {
  SCRIPTED_COUNTER counter(lines({"+1\n", "+2\n", "+3\n"}));
  int acq = start({{"Interface", "."}, {"Address", counter.address()}, {"Query Instrument ID", "False"}});
  ASSERT_NE(acq, 0);
  ASSERT_TRUE(ovhost::wait_samples(acq, 2, 10000));
  // The script is used up: the thread now waits in its read, unlocked, and
  // sees the abort right after it.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(command_and_wait(acq, OV_CMD_ABORT));
  EXPECT_EQ(counter.received(),
            "INIT:CONT OFF;*WAI\r\nINIT;*WAI;FETCH?\r\nINIT;*WAI;FETCH?\r\nINIT;*WAI;FETCH?\r\nINIT;*WAI;FETCH?\r\n");
  EXPECT_EQ(ovhost::status(acq).finish_calls, 0);
  EXPECT_EQ(ovhost::status(acq).state, OV_STATE_ENDED_EARLY);
  EXPECT_EQ(acqtest::tail(ovhost::calls(acq), 4),
            (std::vector<std::string>{"unlock", "host command 5", "state 7", "thread_end"}));
  EXPECT_EQ(ovhost::status(acq).lock_errors, 0);
}

TEST_F(Closing, ClosedGateDropsReadingsButKeepsTriggering) {
  SCRIPTED_COUNTER counter(lines({"+1\n", "+2\n", "+3\n", "+4\n"}));
  int acq = ovhost::new_handle();
  ovhost::set_gate(acq, false);
  ASSERT_EQ(start({{"Interface", "."}, {"Address", counter.address()}, {"Query Instrument ID", "False"}}, acq), acq);
  ASSERT_TRUE(acqtest::wait_until([&] { return counter.answered() == 4; }, 10000));
  ASSERT_TRUE(acqtest::wait_until([&] { return count_of(counter.received(), acqtest::TRIGGER_LINE) == 5; }, 5000));
  EXPECT_TRUE(ovhost::samples(acq).empty());
  EXPECT_GE(ovhost::status(acq).gate_calls, 3);
  ASSERT_TRUE(command_and_wait(acq, OV_CMD_STOP));
}

// The failure hook: one line for the host, an abort for the thread.
struct HOOK_CASE {
  std::string text;
  std::string shown;
};

class Hook : public acqtest::HostTest {};

TEST_F(Hook, FailureTextReachesTheHostOnOneLineAndAborts) {
  std::string long_text(5000, 'a');
  std::vector<HOOK_CASE> table = {
      {"ibrd Error: 0x8\n (Communications error)\n\n", "ibrd Error: 0x8  (Communications error)  "},
      {"tab\there\r\x1b", "tab here  "},
      {"caf\xc3\xa9", "caf  "},
      {"National Instruments board (GPIB5) not found\nibfind", "National Instruments board (GPIB5) not found\nibfind"},
      {"no ibfind\there\n", "no ibfind\there\n"},
      {"IBFIND\n", "IBFIND "},
      {long_text, std::string(4095, 'a')},
      {"", ""},
  };
  for (const auto& c : table) {
    ASSERT_TRUE(ovhost::reset());
    ovhost::Config cfg = ovhost::config();
    cfg.echo = false;
    ovhost::configure(cfg);
    ACQ_CONTEXT* context = new ACQ_CONTEXT;
    context->acquisition = ovhost::new_handle();
    GPIBPORT* port = new GPIBPORT;
    port->owner = context;
    acquisition_failure_hook(port, c.text.c_str(), 0, 0, 0);
    EXPECT_EQ(acqtest::failures(), std::vector<std::string>{"Acquisition failed: " + c.shown}) << c.text;
    EXPECT_EQ(ovhost::thread_command(context->acquisition), OV_CMD_ABORT);
    delete port;
    delete context;
  }
}

// The early ways out, with the host calls in their order.
class WaysOut : public acqtest::HostTest {
 protected:
  void configure(ovhost::Config& c) override {
    c.alloc_timing_result = !refuse_timing_;
    c.thread_stack_size = stack_size_;
    ovhost::configure(c);
  }
  bool refuse_timing_ = false;
  size_t stack_size_ = 8u << 20;
};

class TimingRefused : public WaysOut {
 protected:
  TimingRefused() { refuse_timing_ = true; }
};

TEST_F(TimingRefused, EndsBeforeConnecting) {
  SCRIPTED_COUNTER counter(lines({"+1\n"}));
  int acq = start({{"Interface", "."}, {"Address", counter.address()}});
  ASSERT_NE(acq, 0);
  ASSERT_TRUE(ovhost::wait_thread_end(acq, 5000));
  EXPECT_EQ(acqtest::calls_from(acq, 2),
            (std::vector<std::string>{"start", "state 1", "lock", "alloc_timing", "unlock", "state 7", "thread_end"}));
  EXPECT_TRUE(ovhost::messages().empty());
  EXPECT_EQ(counter.received(), "");
}

TEST_F(WaysOut, PortWithoutWorkBufferIsOutOfMemory) {
  int acq = ovhost::new_handle();
  g_fail_work_buffer = true;
  ASSERT_EQ(start({{"Interface", "."}, {"Address", "127.0.0.1:1"}}, acq), acq);
  ASSERT_TRUE(ovhost::wait_thread_end(acq, 5000));
  g_fail_work_buffer = false;
  EXPECT_EQ(acqtest::failures(), std::vector<std::string>{"Error: Out of memory"});
  EXPECT_EQ(acqtest::tail(ovhost::calls(acq), 4),
            (std::vector<std::string>{"alloc_timing", "unlock", "state 7", "thread_end"}));
}

TEST_F(WaysOut, NothingListensEndsAfterTheFailure) {
  // A port that was just free and is closed again: nobody listens there.
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  std::string address = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));

  for (int round = 0; round < 2; round++) {
    int acq = ovhost::new_handle();
    acqtest::watch_failures(acq);
    ASSERT_EQ(start({{"Interface", "."}, {"Address", address}}, acq), acq);
    ASSERT_TRUE(ovhost::wait_thread_end(acq, 10000));
    auto shown = acqtest::failures();
    ASSERT_EQ(shown.size(), static_cast<size_t>(round + 1));
    // The interface mark went with the port: the second round fails the
    // same way, not with "Port in use".
    EXPECT_EQ(shown[round].rfind("Acquisition failed: ", 0), 0u) << shown[round];
    EXPECT_EQ(shown[round].find("Port in use"), std::string::npos);
    EXPECT_EQ(shown[round].find('\n'), std::string::npos);
    EXPECT_EQ(acqtest::calls_after_failure(acq),
              (std::vector<std::string>{"command 5", "state 7", "unlock", "thread_end"}));
  }
}

class SmallStack : public WaysOut {
 protected:
  SmallStack() { stack_size_ = 128 * 1024; }
};

TEST_F(SmallStack, AcquisitionRunsOnAStackSmallerThanThePort) {
  ASSERT_LT(stack_size_, sizeof(GPIBPORT));
  SCRIPTED_COUNTER counter(lines({"+1\n", "+2\n", "+3\n"}));
  int acq = start({{"Interface", "."}, {"Address", counter.address()}, {"Query Instrument ID", "False"}});
  ASSERT_NE(acq, 0);
  ASSERT_TRUE(ovhost::wait_samples(acq, 2, 10000));
  ASSERT_TRUE(command_and_wait(acq, OV_CMD_STOP));
  EXPECT_EQ(acqtest::readings(acq), (std::vector<double>{2, 3}));
}

}  // namespace
