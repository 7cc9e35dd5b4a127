// The simulated universal counter: a pure model of its SCPI behaviour.
//
// The model owns no thread, socket or file. A transport hands it the bytes
// it receives together with the current time, and asks when the next reply
// will be ready; the model never sleeps, except in wait_reply(), which is a
// bounded convenience for callers without an event loop of their own (the
// stand-in NI library).
//
// Thread-safety: every public member function is safe to call from any
// thread at any time; one internal mutex serialises them. Replies leave the
// model in the order their commands arrived.
//
// Numbered readings (ModelOptions::numbered): reading n (n = 1, 2, ...) has
// the exact value 1e7 + n * 1e-3 in frequency mode and 1e-7 + n * 1e-15 in
// time-interval mode, printed with 15 significant digits. Both survive a
// "%lf" conversion well enough for decode_numbered() to return n, so a test
// can prove that no reading was lost, repeated or reordered.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace u62sim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

enum class CounterMode { TimeInterval, Frequency };
enum class Maker { Picotest, Array };

struct ModelOptions {
  CounterMode mode = CounterMode::Frequency;
  Maker maker = Maker::Picotest;
  // Time from INIT to the moment the reading is ready (the gate time).
  std::chrono::microseconds measurement_time = std::chrono::milliseconds(100);
  bool numbered = false;
  // Every reading is the counter's "no signal" value, 9.91E37.
  bool no_signal = false;
  std::uint64_t seed = 1;
  // The source being measured: nominal frequency, its fractional offset,
  // the linear drift of that offset, and white phase noise (rms seconds).
  double nominal_hz = 10e6;
  double fractional_offset = 1.2e-11;
  double drift_per_s = 1e-13;
  double phase_noise_s = 2e-12;
  // Time-interval mode: the interval between the two inputs at the start,
  // and the inputs' period, at which the interval wraps (1 PPS signals).
  double start_interval_s = 123.456789e-9;
  double interval_period_s = 1.0;
  std::string serial = "MY50001234";
  std::string firmware = "1.07";
  // Commands kept in the transcript at most (a long run that nobody reads
  // the transcript of can keep none).
  std::size_t transcript_limit = 100000;
};

// One reading as the counter prints it, for example "+1.00000000012300E+07".
std::string format_reading(double value);

// The reading number encoded in a numbered reading, or -1 when the value
// is not one.
long long decode_numbered(double value);

// The value of numbered reading n.
double numbered_value(CounterMode mode, long long n);

class CounterModel {
 public:
  // The longest message the input buffer holds; longer input is discarded
  // up to its end, as a counter with a full input buffer does.
  static constexpr std::size_t kInputLimit = 64 * 1024;
  // Unread replies kept at most; older ones are dropped.
  static constexpr std::size_t kOutputLimit = 64;
  // Transcript kept at most: entries (ModelOptions) and bytes;
  // transcript_truncated() says when later entries were left out.
  static constexpr std::size_t kTranscriptBytes = 4u << 20;

  explicit CounterModel(ModelOptions options = {});

  // Bytes from the bus or the line. A line feed ends a message; so does
  // `end` (EOI on the last byte). Carriage returns before the end are
  // dropped.
  void write(std::string_view bytes, TimePoint now, bool end = false);
  // One complete message, without its terminator.
  void command(std::string_view message, TimePoint now);

  // When the oldest unread reply is (or was) ready; none when there is
  // nothing to read.
  std::optional<TimePoint> reply_ready_at() const;
  // Takes the oldest reply, without its line feed, when it is ready at
  // `now`.
  bool take_reply(TimePoint now, std::string& out);
  // Waits until a reply is ready or the deadline passes.
  bool wait_reply(TimePoint deadline, std::string& out);

  // Bus events.
  void device_clear(TimePoint now);
  void trigger(TimePoint now);
  void go_to_local();
  void local_lockout();
  void set_remote();
  bool remote() const;
  bool locked_out() const;
  // Status byte: bit 4 (MAV) while a reply waits, bit 2 while the error
  // queue is not empty.
  std::uint8_t status_byte() const;

  // Options that may change while a transport runs.
  ModelOptions options() const;
  void set_mode(CounterMode mode);
  void set_measurement_time(std::chrono::microseconds t);
  void set_numbered(bool numbered);
  void set_no_signal(bool no_signal);
  void set_maker(Maker maker);

  std::string identification() const;
  // Every message received, in order, plus bus events as "[DCL]", "[GET]",
  // "[GTL]", "[LLO]" and "[REN]".
  std::vector<std::string> transcript() const;
  bool transcript_truncated() const;
  void clear_transcript();
  // Readings produced so far (the number of the last one when numbered).
  long long readings_made() const;
  // The error queue, oldest first, as "-113,\"Undefined header\"".
  std::vector<std::string> errors() const;
  bool continuous() const;

 private:
  struct Reply {
    TimePoint ready;
    std::string text;
  };

  void note(std::string entry);
  void execute(std::string_view message, TimePoint now);
  bool execute_one(std::string_view header, std::string_view args, TimePoint& t,
                   std::string& reply, bool& have_reply);
  void push_error(int code, const char* text);
  void start_measurement(TimePoint t);
  double next_value();
  std::string identification_locked() const;

  mutable std::mutex mutex_;
  std::condition_variable reply_cv_;
  ModelOptions options_;
  std::mt19937_64 rng_;
  std::normal_distribution<double> normal_{0.0, 1.0};

  std::string input_;
  bool input_overrun_ = false;
  std::deque<Reply> output_;
  std::deque<std::string> errors_;
  std::vector<std::string> transcript_;
  std::size_t transcript_bytes_ = 0;
  bool transcript_truncated_ = false;

  bool continuous_ = true;
  bool remote_ = false;
  bool lockout_ = false;
  // The measurement in flight or last finished, and whether it exists.
  bool have_measurement_ = false;
  TimePoint measurement_end_{};
  double measurement_value_ = 0.0;
  // Continuous mode: when it began, to find the next gate boundary.
  TimePoint continuous_since_{};
  TimePoint parser_free_{};
  long long readings_ = 0;
  double previous_phase_ = 0.0;
};

}  // namespace u62sim
