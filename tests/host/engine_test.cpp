// The stand-in host as a driver meets it: functions found by name, the
// application record and timer, and acquisitions run by a hand-written
// thread function that calls the host only through what the resolver gave.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/host.h"
#include "host/host_store.h"

namespace {

struct BOUND {
#define U62_MEMBER(name) name##_fn name;
  OV_HOST_FUNCTIONS(U62_MEMBER)
#undef U62_MEMBER
  BOUND() {
#define U62_BIND(name) name = reinterpret_cast<name##_fn>(host_resolve(#name));
    OV_HOST_FUNCTIONS(U62_BIND)
#undef U62_BIND
  }
};

class Host : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ovhost::reset());
    ovhost::Config c;
    c.echo = false;
    ovhost::configure(c);
  }
  void TearDown() override { EXPECT_TRUE(ovhost::reset()); }
  BOUND h;
};

// A driver's acquisition loop in miniature: it keeps a large object on its
// stack as the real one keeps its port, reads the host's commands under the
// lock and hands over one reading per pass while the gate allows.
struct FAKE_DRIVER {
  int acq = 0;
  BOUND* h = nullptr;
  bool frequency = false;
  std::atomic<int> destroyed{0};
  std::atomic<int> passes{0};
  // The host may still hold this context: end and close it while it exists.
  ~FAKE_DRIVER() {
    if (!acq) return;
    if (!ovhost::status(acq).thread_ended) ovhost::set_thread_command(acq, OV_CMD_ABORT);
    EXPECT_TRUE(ovhost::close_acquisition(acq, 5000));
  }
};

uint32_t fake_thread(void* context) {
  FAKE_DRIVER* d = static_cast<FAKE_DRIVER*>(context);
  BOUND& h = *d->h;
  volatile char port_like[400 * 1024];
  port_like[0] = 1;
  port_like[sizeof port_like - 1] = 1;
  h.OV_set_thread_state(d->acq, OV_STATE_STARTED);
  h.OV_lock(d->acq);
  if (!h.OV_alloc_timing_records(d->acq)) {
    h.OV_unlock(d->acq);
    h.OV_set_thread_state(d->acq, OV_STATE_ENDED_EARLY);
    return 1;
  }
  h.OV_status_printf("Establishing connection . . .");
  for (int i = 0; i < 100000; i++) {
    if (h.OV_timing_acquisition_done(d->acq) || h.OV_thread_command(d->acq) == OV_CMD_STOP) {
      h.OV_finish_acquisition(d->acq, OV_FINISH_NORMAL);
      h.OV_unlock(d->acq);
      return 1;
    }
    if (h.OV_thread_command(d->acq) == OV_CMD_ABORT) break;
    h.OV_unlock(d->acq);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    h.OV_lock(d->acq);
    d->passes++;
    if (h.OV_acquisition_gate(d->acq)) {
      if (d->frequency)
        h.OV_process_acquired_freq_sample(d->acq, 0, 1e7 + i);
      else
        h.OV_process_acquired_phase_diff_sample(d->acq, 0, 1e-6 * i);
    }
  }
  h.OV_set_thread_state(d->acq, OV_STATE_ENDED_EARLY);
  h.OV_unlock(d->acq);
  return 1;
}

void fake_destroy(void* context) { static_cast<FAKE_DRIVER*>(context)->destroyed++; }

bool start_fake(BOUND& h, FAKE_DRIVER& d, ovhost::HostStore* store = nullptr) {
  d.h = &h;
  d.acq = ovhost::new_handle();
  if (!h.OV_init_acquisition(d.acq, "Fake ...", 1, fake_thread, &d, fake_destroy, 13)) return false;
  if (store && !h.OV_update_acquisition_parameters(d.acq, store->kvbase())) return false;
  h.OV_start_acquisition(d.acq);
  return true;
}

std::vector<std::string> tail(const std::vector<std::string>& v, size_t n) {
  return {v.end() - std::min(n, v.size()), v.end()};
}

}  // namespace

TEST_F(Host, ResolverAnswersTheTwentyTwoNamesInTableOrder) {
  const char* table[] = {
#define U62_NAME(name) #name,
      OV_HOST_FUNCTIONS(U62_NAME)
#undef U62_NAME
  };
  ASSERT_EQ(ovhost::function_names().size(), 22u);
  for (size_t i = 0; i < 22; i++) {
    EXPECT_EQ(ovhost::function_names()[i], table[i]);
    EXPECT_NE(host_resolve(table[i]), nullptr) << table[i];
  }
  EXPECT_EQ(host_resolve("OV_thread_commands"), nullptr);
  EXPECT_EQ(host_resolve("ov_lock"), nullptr);
  EXPECT_EQ(host_resolve(""), nullptr);
  EXPECT_EQ(host_resolve(nullptr), nullptr);
}

TEST_F(Host, ApplicationRecordHoldsTheFolderAtByte1300WithASeparator) {
  const char* record = static_cast<const char*>(ovhost::application_record());
  ASSERT_TRUE(ovhost::set_settings_folder("/home/user/.config/orvane"));
  EXPECT_STREQ(record + 1300, "/home/user/.config/orvane/");
  ASSERT_TRUE(ovhost::set_settings_folder("/tmp/x/"));
  EXPECT_STREQ(record + 1300, "/tmp/x/");  // a shorter text leaves no tail of the old one
  EXPECT_EQ(ovhost::settings_folder(), "/tmp/x/");
  EXPECT_FALSE(ovhost::set_settings_folder(std::string(ovhost::application_record_size(), 'a')));
  EXPECT_STREQ(record + 1300, "/tmp/x/");
}

TEST_F(Host, TimerCountsMicroseconds) {
  OV_TIMER* t = ovhost::timer();
  int64_t a = t->microseconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  int64_t b = t->microseconds();
  EXPECT_GE(b - a, 45000);
  EXPECT_LT(b - a, 2000000);
}

TEST_F(Host, RegistrationIsRecordedAndCanBeRefused) {
  int dummy;
  intptr_t handle = h.OV_register_driver(&dummy, "Driver ...", 112, 6, 0, nullptr);
  EXPECT_NE(handle, 0);
  ovhost::Registration r = ovhost::registration();
  EXPECT_TRUE(r.registered);
  EXPECT_EQ(r.name, "Driver ...");
  EXPECT_EQ(r.a, 112);
  EXPECT_EQ(r.b, 6);
  EXPECT_EQ(r.c, 0);
  h.OV_unregister_driver(handle);
  EXPECT_FALSE(ovhost::registration().registered);

  ovhost::Config c = ovhost::config();
  c.refuse_registration = true;
  ovhost::configure(c);
  EXPECT_EQ(h.OV_register_driver(&dummy, "Driver ...", 112, 6, 0, nullptr), 0);
  EXPECT_FALSE(ovhost::registration().registered);
}

TEST_F(Host, AcquisitionRunsOnItsOwnThreadAndStopsOnCommand) {
  FAKE_DRIVER d;
  ASSERT_TRUE(start_fake(h, d));
  ASSERT_TRUE(ovhost::wait_samples(d.acq, 5, 5000));
  ovhost::Status s = ovhost::status(d.acq);
  EXPECT_TRUE(s.started);
  EXPECT_TRUE(s.open);
  EXPECT_EQ(s.flags, 13);
  EXPECT_EQ(s.name, "Fake ...");
  EXPECT_EQ(h.OV_thread_state(d.acq), OV_STATE_STARTED);
  EXPECT_EQ(h.OV_available_slots(), ovhost::config().max_slots - 1);

  ovhost::set_thread_command(d.acq, OV_CMD_STOP);
  ASSERT_TRUE(ovhost::wait_thread_end(d.acq, 5000));
  s = ovhost::status(d.acq);
  EXPECT_EQ(s.finish, OV_FINISH_NORMAL);
  EXPECT_EQ(s.thread_result, 1u);
  EXPECT_EQ(s.lock_errors, 0);
  EXPECT_EQ(tail(ovhost::calls(d.acq), 3), (std::vector<std::string>{"finish 4", "unlock", "thread_end"}));
  for (const ovhost::Sample& x : ovhost::samples(d.acq)) {
    EXPECT_TRUE(x.locked);
    EXPECT_FALSE(x.frequency);
  }
  EXPECT_TRUE(ovhost::wait_message(ovhost::Kind::status, "Establishing connection", 0));

  EXPECT_EQ(d.destroyed, 0);  // the context is the host's until it is done with it
  ASSERT_TRUE(ovhost::close_acquisition(d.acq, 1000));
  ASSERT_TRUE(ovhost::close_acquisition(d.acq, 1000));
  EXPECT_EQ(d.destroyed, 1);
  EXPECT_EQ(h.OV_available_slots(), ovhost::config().max_slots);
}

TEST_F(Host, AbortEndsEarlyAndFrequencySamplesAreTold) {
  FAKE_DRIVER d;
  d.frequency = true;
  ASSERT_TRUE(start_fake(h, d));
  ASSERT_TRUE(ovhost::wait_samples(d.acq, 2, 5000));
  h.OV_set_thread_command(d.acq, OV_CMD_ABORT);  // as the driver's failure hook does
  EXPECT_EQ(ovhost::thread_command(d.acq), OV_CMD_ABORT);
  ovhost::set_thread_command(d.acq, OV_CMD_STOP);  // a user's stop comes too late
  EXPECT_EQ(ovhost::thread_command(d.acq), OV_CMD_ABORT);
  ASSERT_TRUE(ovhost::wait_thread_end(d.acq, 5000));
  ovhost::Status s = ovhost::status(d.acq);
  EXPECT_EQ(s.finish_calls, 0);
  EXPECT_EQ(s.state, OV_STATE_ENDED_EARLY);
  std::vector<ovhost::Sample> got = ovhost::samples(d.acq);
  ASSERT_GE(got.size(), 2u);
  EXPECT_TRUE(got[0].frequency);
  EXPECT_GE(got[0].reading, 1e7);
  EXPECT_LE(got[0].micros, got[1].micros);
}

TEST_F(Host, ClosedGateKeepsSamplesAway) {
  FAKE_DRIVER d;
  d.acq = ovhost::new_handle();
  ovhost::set_gate(d.acq, false);
  d.h = &h;
  ASSERT_TRUE(h.OV_init_acquisition(d.acq, "Fake ...", 1, fake_thread, &d, fake_destroy, 0));
  h.OV_start_acquisition(d.acq);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (ovhost::status(d.acq).gate_calls < 10 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GE(ovhost::status(d.acq).gate_calls, 10);
  EXPECT_EQ(ovhost::status(d.acq).sample_count, 0u);
  ovhost::set_gate(d.acq, true);
  EXPECT_TRUE(ovhost::wait_samples(d.acq, 1, 5000));
}

TEST_F(Host, InitIsRefusedWhenFullTwiceOrAsConfigured) {
  ovhost::Config c = ovhost::config();
  c.max_slots = 1;
  ovhost::configure(c);
  FAKE_DRIVER a, b;
  a.acq = ovhost::new_handle();
  b.acq = ovhost::new_handle();
  EXPECT_TRUE(h.OV_init_acquisition(a.acq, "A", 1, fake_thread, &a, fake_destroy, 0));
  EXPECT_FALSE(h.OV_init_acquisition(a.acq, "A", 1, fake_thread, &a, fake_destroy, 0));
  EXPECT_EQ(h.OV_available_slots(), 0);
  EXPECT_FALSE(h.OV_init_acquisition(b.acq, "B", 1, fake_thread, &b, fake_destroy, 0));

  // A cancelled acquisition gives its slot back and its context stays with
  // the driver.
  h.OV_cancel_acquisition(a.acq);
  EXPECT_EQ(h.OV_available_slots(), 1);
  h.OV_start_acquisition(a.acq);
  EXPECT_FALSE(ovhost::status(a.acq).started);
  EXPECT_TRUE(ovhost::close_acquisition(a.acq, 100));
  EXPECT_EQ(a.destroyed, 0);

  c.init_result = false;
  ovhost::configure(c);
  EXPECT_FALSE(h.OV_init_acquisition(b.acq, "B", 1, fake_thread, &b, fake_destroy, 0));
}

TEST_F(Host, RefusedTimingRecordsEndTheThreadEarly) {
  ovhost::Config c = ovhost::config();
  c.alloc_timing_result = false;
  ovhost::configure(c);
  FAKE_DRIVER d;
  ASSERT_TRUE(start_fake(h, d));
  ASSERT_TRUE(ovhost::wait_thread_end(d.acq, 5000));
  EXPECT_EQ(ovhost::status(d.acq).state, OV_STATE_ENDED_EARLY);
  EXPECT_EQ(ovhost::status(d.acq).sample_count, 0u);
}

TEST_F(Host, UnlockWithoutTheLockIsCounted) {
  int acq = ovhost::new_handle();
  h.OV_unlock(acq);
  h.OV_lock(acq);
  h.OV_lock(acq);  // the same thread may take it again
  h.OV_unlock(acq);
  h.OV_unlock(acq);
  std::thread other([&] {
    h.OV_lock(acq);
    h.OV_unlock(acq);
  });
  other.join();
  EXPECT_EQ(ovhost::status(acq).lock_errors, 1);
}

TEST_F(Host, LockExcludesAnotherThread) {
  int acq = ovhost::new_handle();
  h.OV_lock(acq);
  std::atomic<bool> got{false};
  std::thread other([&] {
    h.OV_lock(acq);
    got = true;
    h.OV_unlock(acq);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(got);
  h.OV_unlock(acq);
  other.join();
  EXPECT_TRUE(got);
}

TEST_F(Host, PrintersFormatAndRecordByKind) {
  std::vector<ovhost::Message> seen;
  ovhost::on_message([&](const ovhost::Message& m) { seen.push_back(m); });
  h.OV_failure_printf("Acquisition failed: %s", "no reply");
  h.OV_warning_printf("Too many plots -- must close or delete at least one first");
  h.OV_status_printf("%d of %s", 3, "many");
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].kind, ovhost::Kind::failure);
  EXPECT_EQ(seen[0].text, "Acquisition failed: no reply");
  EXPECT_EQ(seen[2].text, "3 of many");
  EXPECT_EQ(ovhost::messages(ovhost::Kind::warning).size(), 1u);
  EXPECT_TRUE(ovhost::wait_message(ovhost::Kind::status, "of many", 0));
  EXPECT_FALSE(ovhost::wait_message(ovhost::Kind::failure, "of many", 0));

  // A long text is cut, never overrun.
  std::string big(20000, 'x');
  h.OV_failure_printf("%s", big.c_str());
  EXPECT_LT(seen.back().text.size(), big.size());
}

TEST_F(Host, FailureTextsAreShownOnOneLineUnlessTheyAreAnIbfindReport) {
  struct {
    ovhost::Kind kind;
    const char* text;
    const char* shown;
  } cases[] = {
      {ovhost::Kind::failure, "Acquisition failed: a\r\nb\tc", "Acquisition failed: a  b c"},
      {ovhost::Kind::failure, "ibfind(\"GPIB0\") failed\nibsta 0x8000\n", "ibfind(\"GPIB0\") failed\nibsta 0x8000"},
      {ovhost::Kind::failure, "caf\xc3\xa9", "caf  "},
      {ovhost::Kind::status, "Establishing connection . . .\n", "Establishing connection . . ."},
  };
  for (auto& c : cases) EXPECT_EQ(ovhost::display_text(c.kind, c.text), c.shown) << c.text;
}

TEST_F(Host, ParametersAreReadThroughTheStoreLayout) {
  ovhost::HostStore store;
  store.put("Trace", "caption");
  store.put("Data Type", "1");
  store.put("trace", "new caption");  // the same key, whatever the case
  store.put("AB", "1");
  store.put("BA", "2");  // shares the first one's bucket
  EXPECT_EQ(store.count(), 4);
  EXPECT_STREQ(store.get("TRACE"), "new caption");
  EXPECT_STREQ(store.get("ab"), "1");
  EXPECT_STREQ(store.get("BA"), "2");
  EXPECT_EQ(store.get("Notes"), nullptr);

  int acq = ovhost::new_handle();
  ASSERT_TRUE(h.OV_update_acquisition_parameters(acq, store.kvbase()));
  std::vector<ovhost::Param> got = ovhost::parameters(acq);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].key, "Trace");
  EXPECT_EQ(got[0].value, "new caption");
  EXPECT_EQ(got[0].type, static_cast<uint32_t>(KV_STR));
  EXPECT_EQ(got[3].key, "BA");
  EXPECT_EQ(ovhost::parameter(acq, "data type"), "1");
  EXPECT_FALSE(ovhost::has_parameter(acq, "Notes"));
  EXPECT_EQ(ovhost::status(acq).updates, 1);

  EXPECT_FALSE(h.OV_update_acquisition_parameters(acq, nullptr));
  ovhost::Config c = ovhost::config();
  c.update_result = false;
  ovhost::configure(c);
  EXPECT_FALSE(h.OV_update_acquisition_parameters(acq, store.kvbase()));
  EXPECT_EQ(ovhost::status(acq).updates, 1);
}

TEST_F(Host, NumbersAreReadAsTheStoreReadsThem) {
  struct {
    const char* text;
    double value;
  } cases[] = {{"10E6", 1e7}, {"1/10", 0.1}, {"1 / 4", 0.25}, {"2*3", 6}, {"2*3/4", 0.5},
               {"1 000", 1000}, {"x", 0},   {"1/0", 0},     {"", 0},    {"  7", 7}};
  for (auto& c : cases) EXPECT_DOUBLE_EQ(ovhost::parse_number(c.text), c.value) << c.text;
}

// Duration, Duration Type and Stop Condition, as the driver hands them over.
TEST_F(Host, TimingEndsTheAcquisitionByPointsOrTime) {
  struct {
    const char* duration;
    const char* type;
    const char* stop;
    size_t points;     // samples given at once
    int wait_ms;       // then this long
    bool done_before;  // answer right after the samples
    bool done_after;   // answer after the wait
  } cases[] = {
      {"5", "0", "0", 4, 0, false, false},         // points: one short
      {"5", "0", "0", 5, 0, true, true},           // points: reached
      {"2.5", "0", "0", 3, 0, true, true},         // a fraction of a point rounds up
      {"5", "0", "1", 50, 0, false, false},        // manual stop only
      {"0.15", "1", "0", 1, 250, false, true},     // seconds
      {"0.0025", "2", "0", 1, 250, false, true},   // minutes: 0.15 s
      {"0.00004", "3", "0", 1, 250, false, true},  // hours: 0.144 s
      {"0.000002", "4", "0", 1, 250, false, true}, // days: 0.1728 s
      {"1", "2", "0", 1, 250, false, false},       // one minute is not over
      {"0.15", "1", "0", 0, 250, false, false},    // time runs from the first sample
      {"0.15", "1", "1", 1, 250, false, false},
      {"0", "0", "0", 5, 0, false, false},         // no duration, no end
  };
  for (auto& c : cases) {
    ovhost::HostStore store;
    store.put("Duration", c.duration);
    store.put("Duration Type", c.type);
    store.put("Stop Condition", c.stop);
    int acq = ovhost::new_handle();
    ASSERT_TRUE(h.OV_update_acquisition_parameters(acq, store.kvbase()));
    for (size_t i = 0; i < c.points; i++) h.OV_process_acquired_phase_diff_sample(acq, 0, 1.0);
    EXPECT_EQ(h.OV_timing_acquisition_done(acq), c.done_before) << c.duration << " " << c.type << " " << c.stop;
    if (c.wait_ms) std::this_thread::sleep_for(std::chrono::milliseconds(c.wait_ms));
    EXPECT_EQ(h.OV_timing_acquisition_done(acq), c.done_after) << c.duration << " " << c.type << " " << c.stop;
  }
  // Without parameters there is nothing to end by.
  int acq = ovhost::new_handle();
  h.OV_process_acquired_phase_diff_sample(acq, 0, 1.0);
  EXPECT_FALSE(h.OV_timing_acquisition_done(acq));
}

TEST_F(Host, TimingDoneEndsARunningAcquisitionNormally) {
  ovhost::HostStore store;
  store.put("Duration", "20");
  store.put("Duration Type", "0");
  FAKE_DRIVER d;
  ASSERT_TRUE(start_fake(h, d, &store));
  ASSERT_TRUE(ovhost::wait_thread_end(d.acq, 5000));
  EXPECT_EQ(ovhost::status(d.acq).sample_count, 20u);
  EXPECT_EQ(ovhost::status(d.acq).finish, OV_FINISH_NORMAL);
}

TEST_F(Host, SampleRetentionIsBoundedButCountsGoOn) {
  ovhost::Config c = ovhost::config();
  c.sample_retention = 3;
  ovhost::configure(c);
  int acq = ovhost::new_handle();
  for (int i = 0; i < 10; i++) h.OV_process_acquired_freq_sample(acq, 0, i);
  EXPECT_EQ(ovhost::samples(acq).size(), 3u);
  EXPECT_EQ(ovhost::status(acq).sample_count, 10u);
}

TEST_F(Host, ResetAbortsWhatIsStillRunning) {
  FAKE_DRIVER d;
  ASSERT_TRUE(start_fake(h, d));
  ASSERT_TRUE(ovhost::wait_samples(d.acq, 1, 5000));
  EXPECT_TRUE(ovhost::reset(5000));
  EXPECT_EQ(d.destroyed, 1);
  EXPECT_FALSE(ovhost::status(d.acq).known);
}
