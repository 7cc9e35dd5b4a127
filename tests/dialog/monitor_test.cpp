// The live monitor: the display side driven in virtual time with replies put
// into the ring as the monitor thread would, and the whole monitor against a
// counter on this namespace's loopback.
#include <dirent.h>
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "dialog_fixture.h"
#include "drivers/shared/gpibport/gpibport.h"
#include "sim/sim.h"

namespace {

int count_lines(const std::string& text) {
  if (text.empty()) return 0;
  int n = 1;
  for (char c : text) n += c == '\n';
  return n;
}

// Names of this process's threads as the system lists them.
std::vector<std::string> thread_names() {
  std::vector<std::string> names;
  DIR* d = opendir("/proc/self/task");
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string name;
    std::getline(f, name);
    names.push_back(name);
  }
  closedir(d);
  return names;
}

}  // namespace

// Acting as the monitor thread: the dialog only drains the ring while the
// monitor says it is monitoring.
class DisplayTest : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    open_dialog();
    block()->monitoring = 1;
  }
  // One reply per period, each shown on the next tick of timer 2.
  void readings(int count, int period_ms, const char* text = "+1.00000000012345E+07\r\n") {
    for (int i = 0; i < count; i++) {
      context->queue_line(text);
      step(period_ms);
    }
  }
};

TEST_F(DisplayTest, SamplingIntervalIsMeasuredFromTheThirdReading) {
  readings(2, 1000);
  EXPECT_EQ(text(IDC_SAMPLE_INTERVAL), "1.0");
  EXPECT_FALSE(surface->is_enabled(IDC_SAMPLE_INTERVAL));
  readings(1, 1000);
  EXPECT_EQ(text(IDC_SAMPLE_INTERVAL), "1.00");
  readings(3, 500);
  EXPECT_EQ(text(IDC_SAMPLE_INTERVAL), "0.75");  // 3 s over 4 intervals
  block()->monitoring = 0;
  step(100);
  EXPECT_TRUE(surface->is_enabled(IDC_SAMPLE_INTERVAL));
  EXPECT_EQ(text(IDC_SAMPLE_INTERVAL), "0.75");
}

TEST_F(DisplayTest, TheBoxHoldsTheLastTenLines) {
  for (int i = 1; i <= 11; i++) {
    context->queue_line(("line " + std::to_string(i) + "\n").c_str());
    step(10);
  }
  std::string box = text(IDC_INCOMING);
  EXPECT_EQ(count_lines(box), 10);
  EXPECT_EQ(box.substr(0, 8), "line 2\r\n");
  EXPECT_EQ(box.substr(box.size() - 7), "line 11");
  EXPECT_EQ(surface->caret(IDC_INCOMING), static_cast<int>(box.size()));
  EXPECT_EQ(context->line_count, 11);
}

TEST_F(DisplayTest, PiecesBecomeLines) {
  std::string overlong(600, '7');
  overlong += "\n";
  struct CASE {
    std::vector<std::string> pieces;
    std::string shown;  // the last line of the box afterwards
  } cases[] = {
      {{"+1.2", "34E+07\r\n"}, "+1.234E+07"},
      {{"# a comment\n", "5\n"}, "5"},
      {{"\r\n", "6  \r\n"}, "6"},
      {{overlong}, std::string(510, '7')},
  };
  for (const CASE& c : cases) {
    for (const std::string& p : c.pieces) context->queue_line(p.c_str());
    step(50);
    std::string box = text(IDC_INCOMING);
    size_t lf = box.rfind('\n');
    EXPECT_EQ(lf == std::string::npos ? box : box.substr(lf + 1), c.shown);
  }
}

TEST_F(DisplayTest, HoldingTheLeftButtonFreezesTheBoxButNotTheCount) {
  readings(3, 1000, "1\n");
  std::string frozen = text(IDC_INCOMING);
  surface->set_left_button(true);
  readings(2, 2000, "2\n");
  EXPECT_EQ(text(IDC_INCOMING), frozen);
  EXPECT_EQ(context->line_count, 5);
  EXPECT_EQ(text(IDC_SAMPLE_INTERVAL), "1.33");  // 4 s over 3 intervals
  surface->set_left_button(false);
  readings(1, 10, "3\n");
  EXPECT_EQ(text(IDC_INCOMING), frozen + "\r\n3");
}

TEST_F(DisplayTest, RingHoldsNineRepliesAndCutsToTheBuffer) {
  block()->monitoring = 0;  // nothing drains it
  for (int i = 0; i < 10; i++) context->queue_line(std::to_string(i).c_str());
  char buf[512];
  for (int i = 0; i < 9; i++) {
    ASSERT_NE(context->dequeue_line(buf, sizeof buf), nullptr);
    EXPECT_EQ(std::string(buf), std::to_string(i));
  }
  EXPECT_EQ(context->dequeue_line(buf, sizeof buf), nullptr);

  std::string longest(700, 'x');
  context->queue_line(longest.c_str());
  char small[8];
  ASSERT_NE(context->dequeue_line(small, sizeof small), nullptr);
  EXPECT_EQ(std::string(small), "xxxxxxx");
}

TEST_F(DisplayTest, LongLinesNeverOverfillTheBox) {
  std::string line(510, 'a');
  for (int i = 0; i < 12; i++) {
    line[0] = static_cast<char>('A' + i);
    context->append_incoming(line.c_str());
    ASSERT_LT(context->incoming_length, INCOMING_TEXT_SIZE);
    ASSERT_LE(context->incoming_lines, 10);
    ASSERT_EQ(static_cast<int>(std::strlen(context->incoming_text)), context->incoming_length);
  }
  std::string box = text(IDC_INCOMING);
  EXPECT_EQ(box.substr(box.size() - 510), line);
  // A text longer than the whole box is cut to what fits.
  std::string huge(9000, 'h');
  context->append_incoming(huge.c_str());
  EXPECT_LT(context->incoming_length, INCOMING_TEXT_SIZE);
  EXPECT_EQ(context->incoming_lines, 1);
}

// ---- The monitor thread against a simulated counter ----

class MonitorTest : public DialogTest {
 protected:
  // A counter reached directly over TCP, on this test's own loopback address.
  std::unique_ptr<u62sim::Simulator> tcp_counter(bool hang = false) {
    u62sim::TransportOptions o;
    o.bind_address = test_loopback_address();
    o.model.measurement_time = std::chrono::milliseconds(40);
    o.faults.hang = hang;
    std::string why;
    auto sim = u62sim::start_simulator(u62sim::TransportKind::TcpInstrument, o, &why);
    EXPECT_TRUE(sim) << why;
    return sim;
  }
  void start_on(const std::string& host, int port) {
    set_value("Interface", ".");
    open_dialog();
    // A dotted address with its port is longer than fourteen characters.
    std::string address = host + ":" + std::to_string(port);
    ASSERT_GE(address.size(), 15u);
    surface->type_text(IDC_ADDRESS, address.c_str());
    surface->click(IDC_MONITOR);
  }
  void start_on(u62sim::Simulator& sim) { start_on(test_loopback_address(), sim.port()); }
  std::string received(u62sim::Simulator& sim) { return sim.record().received; }
};

const char kIdentification[] = "PICOTEST,U6200A,MY50001234,1.07";

TEST_F(MonitorTest, ShowsReadingsAndTheIdentification) {
  auto counter = tcp_counter();
  ASSERT_TRUE(counter);
  start_on(*counter);
  EXPECT_EQ(text(IDC_MONITOR), "Disconnect");
  EXPECT_TRUE(surface->is_enabled(IDC_INCOMING));
  ASSERT_TRUE(pump_until([&] { return count_lines(text(IDC_INCOMING)) >= 3; }, 8000)) << text(IDC_INCOMING);

  bool named = false;
  for (const std::string& n : thread_names()) named |= n == std::string("GPIB monitor thread").substr(0, 15);
  EXPECT_TRUE(named);
  EXPECT_NE(received(*counter).find("INIT:CONT OFF;*WAI"), std::string::npos);
  EXPECT_NE(received(*counter).find("*IDN?"), std::string::npos);
  EXPECT_TRUE(host_record().has_status("Looking for Picotest/Array U6200A series . . ."));
  EXPECT_TRUE(host_record().has_status("Monitoring . . ."));
  // The identification never reaches the box; it names the instrument.
  EXPECT_EQ(text(IDC_INCOMING).find("PICOTEST"), std::string::npos);
  EXPECT_EQ(text(IDC_ID_LABEL), kIdentification);
  EXPECT_TRUE(surface->is_enabled(IDC_ID_LABEL));
  EXPECT_EQ(value("Instrument"), kIdentification);
  EXPECT_EQ(text(IDC_INCOMING).substr(0, 3), "+1.");

  surface->click(IDC_MONITOR);
  EXPECT_EQ(context->monitor_thread_handle, nullptr);
  EXPECT_EQ(text(IDC_MONITOR), "Monitor");
  EXPECT_FALSE(surface->is_enabled(IDC_INCOMING));
  EXPECT_FALSE(surface->is_enabled(IDC_ID_LABEL));
  EXPECT_TRUE(host_record().has_status("Disconnecting . . ."));
  EXPECT_TRUE(host_record().has_status("Disconnected"));
  EXPECT_TRUE(host_record().has_status(" "));
  EXPECT_TRUE(counter->wait_received("INIT:CONT ON;*WAI", std::chrono::seconds(2)));
}

TEST_F(MonitorTest, WithoutAutoIdentifyNoIdentificationIsAsked) {
  auto counter = tcp_counter();
  ASSERT_TRUE(counter);
  set_value("Query Instrument ID", "False");
  start_on(*counter);
  ASSERT_TRUE(pump_until([&] { return count_lines(text(IDC_INCOMING)) >= 2; }, 8000));
  EXPECT_EQ(received(*counter).find("*IDN?"), std::string::npos);
  EXPECT_FALSE(surface->is_enabled(IDC_ID_LABEL));
}

TEST_F(MonitorTest, AFailedOpenIsReportedAndStopsOnTheNextTick) {
  int port;
  {
    auto gone = tcp_counter();  // its port is free again once it is gone
    ASSERT_TRUE(gone);
    port = gone->port();
  }
  start_on(test_loopback_address(), port);
  ASSERT_TRUE(pump_until([&] { return text(IDC_MONITOR) == "Monitor"; }, 8000));
  std::vector<std::string> failures;
  {
    std::lock_guard<std::mutex> g(host_record().lock);
    failures = host_record().failures;
  }
  ASSERT_FALSE(failures.empty());
  EXPECT_EQ(failures[0].substr(0, 7), "Error: ");
  for (char c : failures[0]) EXPECT_GE(static_cast<signed char>(c), 32);
  EXPECT_EQ(context->monitor_thread_handle, nullptr);
}

TEST_F(MonitorTest, TwoQuickPressesStartOneThreadAndStopIt) {
  auto counter = tcp_counter();
  ASSERT_TRUE(counter);
  start_on(*counter);
  surface->click(IDC_MONITOR);
  EXPECT_EQ(context->monitor_thread_handle, nullptr);
  EXPECT_EQ(text(IDC_MONITOR), "Monitor");
  int looking = 0;
  for (const std::string& s : host_record().statuses()) looking += s == "Looking for Picotest/Array U6200A series . . .";
  EXPECT_LE(looking, 1);
  EXPECT_LE(counter->connections_accepted(), 1u);
}

TEST_F(MonitorTest, RestoreDefaultsDisconnectsFirst) {
  auto counter = tcp_counter();
  ASSERT_TRUE(counter);
  start_on(*counter);
  ASSERT_TRUE(pump_until([&] { return count_lines(text(IDC_INCOMING)) >= 1; }, 8000));
  surface->type_text(IDC_CAPTION, "typed");
  surface->click(IDC_RESTORE);
  EXPECT_EQ(context->monitor_thread_handle, nullptr);
  EXPECT_TRUE(host_record().has_status("Disconnecting . . ."));
  EXPECT_TRUE(host_record().has_status("Disconnected"));
  EXPECT_EQ(text(IDC_MONITOR), "Monitor");
  EXPECT_EQ(text(IDC_INCOMING), "");
  EXPECT_EQ(text(IDC_CAPTION), "");
  EXPECT_EQ(text(IDC_ADDRESS), "3");
}

// A Prologix GPIB-USB adapter on an FTDI port: the probe names it, and the
// monitor reads the counter behind it.
TEST_F(MonitorTest, PrologixUsbAdapterIsProbedAndMonitored) {
  u62sim::TransportOptions o;
  o.devices_dir = root + "/dev";
  o.com_number = 21;
  o.firmware = u62sim::Firmware::Usb6107;
  o.gpib_address = 3;
  o.adapter_address = 3;
  o.model.measurement_time = std::chrono::milliseconds(40);
  std::string why;
  auto adapter = u62sim::start_simulator(u62sim::TransportKind::PrologixUsb, o, &why);
  ASSERT_TRUE(adapter) << why;
  describe_device(adapter->device_path(), true);
  set_value("Prologix Compatibility Mode", "True");
  set_value("Interface", "COM21");
  open_dialog();
  EXPECT_EQ(text(IDC_INTERFACE_STATUS), "Prologix GPIB-USB Controller version 6.107");
  EXPECT_EQ(value("Interface"), "COM21");
  EXPECT_EQ(selected_text().substr(0, 6), "COM21 ");

  surface->click(IDC_MONITOR);
  ASSERT_TRUE(pump_until([&] { return count_lines(text(IDC_INCOMING)) >= 3; }, 10000)) << text(IDC_INCOMING);
  EXPECT_EQ(text(IDC_ID_LABEL), kIdentification);
  surface->press_enter();
  ASSERT_TRUE(surface->ended());
  EXPECT_EQ(surface->result(), 1);
  EXPECT_EQ(value("Interface"), "COM21");
  EXPECT_TRUE(adapter->wait_received("INIT:CONT ON;*WAI", std::chrono::seconds(2)));
}

// A National Instruments board from the stand-in GPIB library, with the
// counter at the Instrument Address.
TEST_F(MonitorTest, NationalInstrumentsBoardIsDescribedAndMonitored) {
  setenv("U62_NI_SIM_BOARDS", "1", 1);
  setenv("U62_NI_SIM_GATE_MS", "40", 1);
  void* lib = dlopen("libgpib.so.0", RTLD_NOW);
  if (!lib) GTEST_SKIP() << "no stand-in GPIB library on the loader's path";
  // The library reads its settings when it loads; it may have loaded before.
  if (auto reset = reinterpret_cast<void (*)()>(dlsym(lib, "u62sim_ni_reset"))) reset();
  set_value("Interface", "GPIB0");
  open_dialog();
  EXPECT_EQ(selected_text(), "National Instruments adapter (GPIB0)");
  EXPECT_EQ(text(IDC_INTERFACE_STATUS), "National Instruments adapter (GPIB0)");
  EXPECT_EQ(value("Interface"), "GPIB0");
  surface->click(IDC_MONITOR);
  ASSERT_TRUE(pump_until([&] { return count_lines(text(IDC_INCOMING)) >= 3; }, 10000)) << text(IDC_INCOMING);
  EXPECT_EQ(text(IDC_ID_LABEL), kIdentification);
  surface->click(IDC_MONITOR);
  EXPECT_EQ(context->monitor_thread_handle, nullptr);
  setenv("U62_NI_SIM_BOARDS", "0", 1);
  if (auto reset = reinterpret_cast<void (*)()>(dlsym(lib, "u62sim_ni_reset"))) reset();
  dlclose(lib);
}

// A host without a window system scripts the user: the monitor runs in real
// time while the script waits, and Start Measurement keeps the measured
// reading interval.
TEST_F(MonitorTest, ScriptedRunMonitorsWhileItWaits) {
  u62sim::TransportOptions o;
  o.devices_dir = root + "/dev";
  o.com_number = 22;
  o.firmware = u62sim::Firmware::Usb6107;
  o.gpib_address = 3;
  o.adapter_address = 3;
  o.model.measurement_time = std::chrono::milliseconds(40);
  std::string why;
  auto adapter = u62sim::start_simulator(u62sim::TransportKind::PrologixUsb, o, &why);
  ASSERT_TRUE(adapter) << why;
  describe_device(adapter->device_path(), true);
  test_timer().real = true;
  std::vector<std::string> trace;
  SETUP_REQUEST request{SETUP_REQUEST_MAGIC, SETUP_SCRIPT,
                        "tick Prologix GPIB-USB support\n"
                        "choose COM22\n"
                        "press Monitor\n"
                        "wait 2000\n"
                        "press Start Measurement",
                        [](void* user, const char* text) { static_cast<std::vector<std::string>*>(user)->push_back(text); },
                        &trace};
  ASSERT_EQ(run_setup_dialog(context, &request), 1) << (host_record().boxes.empty() ? "" : host_record().boxes[0]);
  EXPECT_EQ(value("Interface"), "COM22");
  EXPECT_EQ(value("Prologix Compatibility Mode"), "True");
  EXPECT_EQ(value("Instrument"), kIdentification);
  double interval = std::atof(value("Sample Interval").c_str());
  EXPECT_GT(interval, 0.0);
  EXPECT_LT(interval, 0.5);
  int readings = 0;
  for (const std::string& t : trace) readings += t.rfind("> +1.", 0) == 0;
  EXPECT_GE(readings, 3);
  EXPECT_TRUE(adapter->wait_received("INIT:CONT ON;*WAI", std::chrono::seconds(2)));
}

// A host whose status function does not return (a modal message nobody
// answers) keeps the monitor thread past the dialog's five-second wait. The
// dialog must go on with a port of its own, end, and let the context go,
// while the thread later finishes on what it holds.
TEST_F(MonitorTest, AThreadThatOutlivesTheWaitNeverTouchesWhatTheDialogFreed) {
  auto hung = tcp_counter(true);
  ASSERT_TRUE(hung);
  {
    std::lock_guard<std::mutex> g(host_record().lock);
    host_record().hold_on = "Looking for Picotest/Array U6200A series . . .";
  }
  start_on(*hung);
  ASSERT_TRUE(host_record().wait_status("Looking for Picotest/Array U6200A series . . .", std::chrono::seconds(5)));
  GPIBPORT* first_port = context->port;

  auto before = std::chrono::steady_clock::now();
  surface->click(IDC_MONITOR);  // Disconnect: waits five seconds, then gives up
  auto waited = std::chrono::steady_clock::now() - before;
  EXPECT_GE(waited, std::chrono::milliseconds(4900));
  EXPECT_EQ(context->monitor_thread_handle, nullptr);
  EXPECT_EQ(text(IDC_MONITOR), "Monitor");
  ASSERT_NE(context->port, nullptr);
  EXPECT_NE(context->port, first_port);
  EXPECT_TRUE(context->port->valid());

  surface->click(IDC_CANCEL);
  ASSERT_TRUE(surface->ended());
  EXPECT_EQ(context->port, nullptr);
  delete context;
  context = nullptr;
  surface.reset();

  // Let the thread go on: it opens, sees it must stop, runs its closing steps
  // on its own port and frees it.
  host_record().release();
  EXPECT_TRUE(host_record().wait_status(" ", std::chrono::seconds(10)));
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (reap_abandoned_threads() > 0 && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(reap_abandoned_threads(), 0);
  bool named = false;
  for (const std::string& n : thread_names()) named |= n == std::string("GPIB monitor thread").substr(0, 15);
  EXPECT_FALSE(named);
}
