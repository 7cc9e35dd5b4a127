#include "sim/counter_model.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace u62sim;
using namespace std::chrono_literals;

namespace {

TimePoint t0() { return TimePoint(std::chrono::seconds(1000)); }

ModelOptions fast(CounterMode mode = CounterMode::Frequency) {
  ModelOptions o;
  o.mode = mode;
  o.measurement_time = 100ms;
  return o;
}

double scan(const std::string& text) {
  double v = -2147483647.0;
  std::sscanf(text.c_str(), "%lf", &v);
  return v;
}

}  // namespace

// What each command line answers, and when, on a counter freshly switched to
// single measurements.
TEST(CounterModel, RepliesTable) {
  struct Case {
    const char* line;
    const char* starts;  // expected reply prefix, nullptr = no reply
    std::chrono::milliseconds ready;
  } cases[] = {
      {"*IDN?", "PICOTEST,U6200A,", 0ms},
      {"*idn?", "PICOTEST,U6200A,", 0ms},
      {"INIT;*WAI;FETCH?", "+1.0000000", 100ms},
      {"init;*wai;fetc?", "+1.0000000", 100ms},
      {":INITiate:IMMediate;*WAI;:FETCh:FREQ?", "+1.0000000", 100ms},
      {"READ?", "+1.0000000", 100ms},
      {"FETCH?", nullptr, 0ms},  // nothing measured yet
      {"INIT:CONT?", "0", 0ms},
      {"INIT;*OPC?", "1", 100ms},
      {"*IDN?;INIT:CONT?", "PICOTEST,U6200A,MY50001234,1.07;0", 0ms},
      {"FUNC?", "\"FREQ\"", 0ms},
      {"SENS:FREQ:GATE:TIME?", "+1.00000000E-01", 0ms},
      {"BOGUS", nullptr, 0ms},
      {"", nullptr, 0ms},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    CounterModel m(fast());
    m.command("INIT:CONT OFF;*WAI", t0());
    m.command(c.line, t0());
    std::string reply;
    if (!c.starts) {
      EXPECT_FALSE(m.reply_ready_at().has_value());
      continue;
    }
    ASSERT_TRUE(m.reply_ready_at().has_value());
    EXPECT_EQ(*m.reply_ready_at(), t0() + c.ready);
    if (c.ready > 0ms) {
      EXPECT_FALSE(m.take_reply(t0() + c.ready - 1ms, reply));
    }
    ASSERT_TRUE(m.take_reply(t0() + c.ready, reply));
    EXPECT_EQ(reply.rfind(c.starts, 0), 0u) << reply;
  }
}

TEST(CounterModel, ErrorsAreQueued) {
  CounterModel m(fast());
  m.command("BOGUS;INIT:CONT OFF;FETCH?", t0());
  m.command("SYST:ERR?;SYST:ERR?;SYST:ERR?", t0());
  std::string reply;
  ASSERT_TRUE(m.take_reply(t0(), reply));
  EXPECT_EQ(reply, "-113,\"Undefined header\";-230,\"Data corrupt or stale\";+0,\"No error\"");
}

TEST(CounterModel, ReadingFormatsAsTheCounterPrintsThem) {
  EXPECT_EQ(format_reading(10000000.00123), "+1.00000000012300E+07");
  EXPECT_EQ(format_reading(1.234567890123e-7), "+1.23456789012300E-07");
  EXPECT_EQ(format_reading(9.91e37), "+9.91000000000000E+37");

  CounterModel freq(fast());
  CounterModel ti(fast(CounterMode::TimeInterval));
  for (int i = 0; i < 50; ++i) {
    std::string a, b;
    TimePoint t = t0() + std::chrono::seconds(i);
    freq.command("INIT:CONT OFF;INIT;*WAI;FETCH?", t);
    ti.command("INIT:CONT OFF;INIT;*WAI;FETCH?", t);
    ASSERT_TRUE(freq.take_reply(t + 1s, a));
    ASSERT_TRUE(ti.take_reply(t + 1s, b));
    EXPECT_EQ(a.size(), 21u) << a;
    EXPECT_NEAR(scan(a), 10e6, 1.0) << a;
    EXPECT_NEAR(scan(b), 123.456789e-9, 1e-9) << b;
  }
}

TEST(CounterModel, NumberedReadingsDecodeExactly) {
  for (CounterMode mode : {CounterMode::Frequency, CounterMode::TimeInterval}) {
    ModelOptions o = fast(mode);
    o.numbered = true;
    CounterModel m(o);
    m.command("INIT:CONT OFF", t0());
    for (long long n = 1; n <= 2000; ++n) {
      m.command("INIT;*WAI;FETCH?", t0());
      std::string reply;
      ASSERT_TRUE(m.take_reply(t0() + std::chrono::hours(1), reply));
      ASSERT_EQ(decode_numbered(scan(reply)), n) << reply;
    }
  }
  for (long long n : {1LL, 999999LL, 123456789LL})
    for (CounterMode mode : {CounterMode::Frequency, CounterMode::TimeInterval})
      EXPECT_EQ(decode_numbered(scan(format_reading(numbered_value(mode, n)))), n);
  EXPECT_EQ(decode_numbered(10e6 + 0.0005), -1);
  EXPECT_EQ(decode_numbered(9.91e37), -1);
  EXPECT_EQ(decode_numbered(-2147483647.0), -1);
}

TEST(CounterModel, RepliesKeepCommandOrderAndDeviceClearDropsThem) {
  CounterModel m(fast());
  m.command("INIT:CONT OFF;INIT;*WAI;FETCH?", t0());
  m.command("*IDN?", t0());  // the parser is held by *WAI: ready after the reading
  std::string reply;
  EXPECT_EQ(*m.reply_ready_at(), t0() + 100ms);
  ASSERT_TRUE(m.take_reply(t0() + 100ms, reply));
  EXPECT_EQ(reply[0], '+');
  ASSERT_TRUE(m.take_reply(t0() + 100ms, reply));
  EXPECT_EQ(reply.rfind("PICOTEST", 0), 0u);

  m.command("INIT;*WAI;FETCH?", t0() + 1s);
  m.device_clear(t0() + 1s);
  EXPECT_FALSE(m.reply_ready_at().has_value());
  EXPECT_EQ(m.transcript().back(), "[DCL]");
}

TEST(CounterModel, ContinuousModeAndMakerAndMode) {
  ModelOptions o = fast();
  o.maker = Maker::Array;
  CounterModel m(o);
  EXPECT_TRUE(m.continuous());
  m.command("INIT", t0());  // ignored while continuous
  EXPECT_EQ(m.errors().size(), 1u);
  m.command("*CLS;FETCH?", t0());
  std::string reply;
  ASSERT_TRUE(m.reply_ready_at().has_value());
  ASSERT_TRUE(m.take_reply(t0() + 100ms, reply));
  m.command("*IDN?", t0());
  ASSERT_TRUE(m.take_reply(t0() + 100ms, reply));
  EXPECT_EQ(reply.rfind("ARRAY,", 0), 0u);
  m.command("CONF:TINT", t0());
  EXPECT_EQ(m.options().mode, CounterMode::TimeInterval);
  m.command("FUNC \"FREQ\"", t0());
  EXPECT_EQ(m.options().mode, CounterMode::Frequency);
}

TEST(CounterModel, ByteInputEndsAtLineFeedOrEoi) {
  CounterModel m(fast());
  m.write("*ID", t0());
  EXPECT_TRUE(m.transcript().empty());
  m.write("N?\r\nINIT:CONT OFF", t0());
  m.write(";*WAI", t0(), true);
  std::vector<std::string> want = {"*IDN?", "INIT:CONT OFF;*WAI"};
  EXPECT_EQ(m.transcript(), want);

  std::string huge(CounterModel::kInputLimit + 10, 'A');
  m.write(huge + "\n*IDN?\n", t0());
  EXPECT_EQ(m.transcript().back(), "*IDN?");
}

TEST(CounterModel, WaitReplyIsBounded) {
  CounterModel m(fast());
  std::string reply;
  auto start = Clock::now();
  EXPECT_FALSE(m.wait_reply(start + 50ms, reply));
  EXPECT_GE(Clock::now() - start, 50ms);
  m.command("INIT:CONT OFF;INIT;*WAI;FETCH?", Clock::now());
  EXPECT_TRUE(m.wait_reply(Clock::now() + 2s, reply));
}

TEST(CounterModel, TranscriptIsCappedInBytes) {
  CounterModel m(fast());
  std::string big(60000, 'X');
  for (int i = 0; i < 100; ++i) m.command(big, t0());
  EXPECT_TRUE(m.transcript_truncated());
  EXPECT_LE(m.transcript().size() * big.size(), CounterModel::kTranscriptBytes);
  m.clear_transcript();
  m.command("*IDN?", t0());
  EXPECT_EQ(m.transcript().size(), 1u);
  EXPECT_FALSE(m.transcript_truncated());
}
