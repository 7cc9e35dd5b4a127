#include "sim/counter_model.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace u62sim {

namespace {

constexpr double kNoSignal = 9.91e37;
constexpr double kNumberedFreqBase = 1e7;
constexpr double kNumberedFreqStep = 1e-3;
constexpr double kNumberedTiBase = 1e-7;
constexpr double kNumberedTiStep = 1e-15;

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// A node of a header pattern such as "CONTinuous": the upper-case letters are
// the short form. Node suffix digits ("INP2") are accepted and ignored.
bool node_matches(std::string_view node, std::string_view pattern) {
  while (!node.empty() && std::isdigit(static_cast<unsigned char>(node.back()))) node.remove_suffix(1);
  std::string shortform;
  for (char c : pattern)
    if (std::isupper(static_cast<unsigned char>(c))) shortform += c;
  std::string n = upper(node);
  return n == shortform || n == upper(pattern);
}

std::vector<std::string_view> split_nodes(std::string_view header) {
  std::vector<std::string_view> nodes;
  while (!header.empty()) {
    std::size_t colon = header.find(':');
    std::string_view part = header.substr(0, colon);
    if (!part.empty()) nodes.push_back(part);
    if (colon == std::string_view::npos) break;
    header.remove_prefix(colon + 1);
  }
  return nodes;
}

// Matches nodes against a pattern like "[SENSe]:FREQuency:GATE:TIME", where
// bracketed nodes ("INITiate:[IMMediate]") may be left out. A trailing "*" accepts any further nodes.
bool matches(const std::vector<std::string_view>& nodes, std::size_t ni,
             const std::vector<std::string_view>& pat, std::size_t pi) {
  if (pi == pat.size()) return ni == nodes.size();
  std::string_view p = pat[pi];
  if (p == "*") return true;
  bool optional = p.size() > 2 && p.front() == '[' && p.back() == ']';
  if (optional) p = p.substr(1, p.size() - 2);
  if (ni < nodes.size() && node_matches(nodes[ni], p) && matches(nodes, ni + 1, pat, pi + 1))
    return true;
  return optional && matches(nodes, ni, pat, pi + 1);
}

bool header_is(const std::vector<std::string_view>& nodes, std::string_view pattern) {
  return matches(nodes, 0, split_nodes(pattern), 0);
}

// Splits a message at the semicolons that are not inside quotes.
std::vector<std::string_view> split_units(std::string_view message) {
  std::vector<std::string_view> units;
  std::size_t start = 0;
  char quote = 0;
  for (std::size_t i = 0; i < message.size(); ++i) {
    char c = message[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == ';') {
      units.push_back(message.substr(start, i - start));
      start = i + 1;
    }
  }
  units.push_back(message.substr(start));
  return units;
}

bool parse_bool_arg(std::string_view arg, bool& value) {
  std::string a = upper(trim(arg));
  if (a == "ON" || a == "1") { value = true; return true; }
  if (a == "OFF" || a == "0") { value = false; return true; }
  return false;
}

bool parse_function_name(std::string_view arg, CounterMode& mode) {
  arg = trim(arg);
  if (arg.size() >= 2 && (arg.front() == '"' || arg.front() == '\'') && arg.back() == arg.front())
    arg = arg.substr(1, arg.size() - 2);
  std::vector<std::string_view> nodes = split_nodes(arg);
  if (nodes.empty()) return false;
  if (node_matches(nodes.back(), "FREQuency")) { mode = CounterMode::Frequency; return true; }
  if (node_matches(nodes.back(), "TINTerval")) { mode = CounterMode::TimeInterval; return true; }
  return false;
}

}  // namespace

std::string format_reading(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%+.14E", value);
  return text;
}

double numbered_value(CounterMode mode, long long n) {
  if (mode == CounterMode::Frequency) return kNumberedFreqBase + static_cast<double>(n) * kNumberedFreqStep;
  return kNumberedTiBase + static_cast<double>(n) * kNumberedTiStep;
}

long long decode_numbered(double value) {
  double steps;
  if (value >= 1.0 && value < 1e9)
    steps = (value - kNumberedFreqBase) / kNumberedFreqStep;
  else if (value > 0.0 && value < 1e-3)
    steps = (value - kNumberedTiBase) / kNumberedTiStep;
  else
    return -1;
  if (!(steps > 0.5) || steps > 9e15) return -1;
  double n = std::round(steps);
  if (std::fabs(steps - n) > 0.05) return -1;
  return static_cast<long long>(n);
}

CounterModel::CounterModel(ModelOptions options) : options_(std::move(options)), rng_(options_.seed) {}

void CounterModel::note(std::string entry) {
  if (transcript_.size() >= options_.transcript_limit || transcript_bytes_ + entry.size() > kTranscriptBytes) {
    transcript_truncated_ = true;
    return;
  }
  transcript_bytes_ += entry.size();
  transcript_.push_back(std::move(entry));
}

void CounterModel::push_error(int code, const char* text) {
  if (errors_.size() >= 20) {
    errors_.back() = "-350,\"Queue overflow\"";
    return;
  }
  char entry[128];
  std::snprintf(entry, sizeof entry, "%d,\"%s\"", code, text);
  errors_.push_back(entry);
}

void CounterModel::write(std::string_view bytes, TimePoint now, bool end) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char c = bytes[i];
    bool last = end && i + 1 == bytes.size();
    if (c != '\n') {
      if (input_.size() < kInputLimit)
        input_ += c;
      else
        input_overrun_ = true;
    }
    if (c == '\n' || last) {
      if (input_overrun_) {
        push_error(-363, "Input buffer overrun");
        note("[OVERRUN]");
      } else {
        execute(input_, now);
      }
      input_.clear();
      input_overrun_ = false;
    }
  }
  if (end && bytes.empty() && !input_.empty()) {
    execute(input_, now);
    input_.clear();
  }
}

void CounterModel::command(std::string_view message, TimePoint now) {
  std::lock_guard<std::mutex> lock(mutex_);
  execute(message, now);
}

void CounterModel::execute(std::string_view message, TimePoint now) {
  while (!message.empty() && (message.back() == '\r' || message.back() == '\n')) message.remove_suffix(1);
  if (trim(message).empty()) return;
  note(std::string(message));

  // The parser works through messages in order and waits where *WAI or a
  // query holds it, so a message starts no earlier than the last one ended.
  TimePoint t = std::max(now, parser_free_);
  std::string reply;
  bool have_reply = false;
  for (std::string_view unit : split_units(message)) {
    unit = trim(unit);
    if (unit.empty()) continue;
    if (unit.front() == ':') unit.remove_prefix(1);
    std::size_t space = unit.find_first_of(" \t");
    std::string_view header = unit.substr(0, space);
    std::string_view args = space == std::string_view::npos ? std::string_view() : trim(unit.substr(space));
    std::string part;
    bool part_reply = false;
    if (!execute_one(header, args, t, part, part_reply)) push_error(-113, "Undefined header");
    if (part_reply) {
      if (have_reply) reply += ';';
      reply += part;
      have_reply = true;
    }
  }
  parser_free_ = t;
  if (!have_reply) return;
  TimePoint ready = t;
  if (!output_.empty()) ready = std::max(ready, output_.back().ready);
  if (output_.size() >= kOutputLimit) {
    output_.pop_front();
    push_error(-350, "Queue overflow");
  }
  output_.push_back({ready, std::move(reply)});
  reply_cv_.notify_all();
}

void CounterModel::start_measurement(TimePoint t) {
  have_measurement_ = true;
  measurement_end_ = t + options_.measurement_time;
  measurement_value_ = next_value();
}

double CounterModel::next_value() {
  ++readings_;
  if (options_.no_signal) return kNoSignal;
  if (options_.numbered) return numbered_value(options_.mode, readings_);
  double gate = std::max(1e-6, std::chrono::duration<double>(options_.measurement_time).count());
  double t = static_cast<double>(readings_) * gate;
  double phase = options_.phase_noise_s * normal_(rng_);
  double offset = options_.fractional_offset + options_.drift_per_s * t;
  double value;
  if (options_.mode == CounterMode::Frequency) {
    value = options_.nominal_hz * (1.0 + offset + (phase - previous_phase_) / gate);
  } else {
    double period = options_.interval_period_s > 0 ? options_.interval_period_s : 1.0;
    double x = options_.start_interval_s + options_.fractional_offset * t +
               0.5 * options_.drift_per_s * t * t + phase;
    value = std::fmod(x, period);
    if (value < 0) value += period;
  }
  previous_phase_ = phase;
  return value;
}

bool CounterModel::execute_one(std::string_view header, std::string_view args, TimePoint& t,
                               std::string& reply, bool& have_reply) {
  bool query = !header.empty() && header.back() == '?';
  if (query) header.remove_suffix(1);
  std::string h = upper(header);
  auto answer = [&](std::string text) {
    reply = std::move(text);
    have_reply = true;
  };

  if (h.size() > 1 && h[0] == '*') {
    if (h == "*IDN" && query) { answer(identification_locked()); return true; }
    if (h == "*RST" && !query) {
      continuous_ = true;
      continuous_since_ = t;
      have_measurement_ = false;
      output_.clear();
      errors_.clear();
      return true;
    }
    if (h == "*CLS" && !query) { errors_.clear(); return true; }
    if (h == "*WAI" && !query) {
      if (have_measurement_ && !continuous_) t = std::max(t, measurement_end_);
      return true;
    }
    if (h == "*OPC") {
      if (!query) return true;
      if (have_measurement_ && !continuous_) t = std::max(t, measurement_end_);
      answer("1");
      return true;
    }
    if (h == "*TRG" && !query) {
      if (!continuous_) start_measurement(t);
      return true;
    }
    if ((h == "*ESR" || h == "*TST") && query) { answer("+0"); return true; }
    if (h == "*STB" && query) {
      answer(std::to_string((output_.empty() ? 0 : 16) | (errors_.empty() ? 0 : 4)));
      return true;
    }
    if ((h == "*ESE" || h == "*SRE") && !query) return true;
    if ((h == "*ESE" || h == "*SRE") && query) { answer("+0"); return true; }
    return false;
  }

  std::vector<std::string_view> nodes = split_nodes(header);
  if (nodes.empty()) return false;

  if (header_is(nodes, "INITiate:[IMMediate]") && !query) {
    if (continuous_ || (have_measurement_ && measurement_end_ > t)) {
      push_error(-213, "Init ignored");
      return true;
    }
    start_measurement(t);
    return true;
  }
  if (header_is(nodes, "INITiate:CONTinuous")) {
    if (query) { answer(continuous_ ? "1" : "0"); return true; }
    bool on;
    if (!parse_bool_arg(args, on)) { push_error(-224, "Illegal parameter value"); return true; }
    if (on && !continuous_) continuous_since_ = t;
    continuous_ = on;
    return true;
  }
  if (header_is(nodes, "ABORt") && !query) {
    if (have_measurement_ && measurement_end_ > t) have_measurement_ = false;
    return true;
  }
  bool fetch = query && header_is(nodes, "FETCh:*");
  bool read = query && header_is(nodes, "READ:*");
  bool measure = query && header_is(nodes, "MEASure:*");
  if (measure) {
    CounterMode mode;
    std::string last(nodes.back());
    if (parse_function_name(last, mode)) options_.mode = mode;
  }
  if (read || measure) {
    if (continuous_) {
      fetch = true;
    } else {
      start_measurement(t);
      fetch = true;
    }
  }
  if (fetch) {
    if (continuous_) {
      double gate = std::max(1e-6, std::chrono::duration<double>(options_.measurement_time).count());
      double since = std::chrono::duration<double>(t - continuous_since_).count();
      double k = std::floor(since / gate) + 1.0;
      auto next = continuous_since_ + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(k * gate));
      t = next;
      answer(format_reading(next_value()));
      return true;
    }
    if (!have_measurement_) {
      push_error(-230, "Data corrupt or stale");
      return true;
    }
    t = std::max(t, measurement_end_);
    answer(format_reading(measurement_value_));
    return true;
  }
  if (header_is(nodes, "CONFigure:[SCALar]:*") && !query) {
    CounterMode mode;
    std::string last(nodes.back());
    if (!parse_function_name(last, mode)) return false;
    options_.mode = mode;
    continuous_ = false;
    return true;
  }
  if (header_is(nodes, "CONFigure") && query) {
    answer(options_.mode == CounterMode::Frequency ? "\"FREQ\"" : "\"TINT\"");
    return true;
  }
  if (header_is(nodes, "[SENSe]:FUNCtion:[ON]")) {
    if (query) {
      answer(options_.mode == CounterMode::Frequency ? "\"FREQ\"" : "\"TINT\"");
      return true;
    }
    CounterMode mode;
    if (!parse_function_name(args, mode)) { push_error(-224, "Illegal parameter value"); return true; }
    options_.mode = mode;
    return true;
  }
  if (nodes.size() >= 2 && node_matches(nodes[nodes.size() - 2], "GATE") &&
      node_matches(nodes.back(), "TIME")) {
    if (query) {
      char text[40];
      std::snprintf(text, sizeof text, "%+.8E",
                    std::chrono::duration<double>(options_.measurement_time).count());
      answer(text);
      return true;
    }
    std::string a(args);
    char* end = nullptr;
    double seconds = std::strtod(a.c_str(), &end);
    if (end == a.c_str() || !(seconds >= 1e-6) || seconds > 1000.0) {
      push_error(-224, "Illegal parameter value");
      return true;
    }
    options_.measurement_time = std::chrono::microseconds(static_cast<long long>(seconds * 1e6));
    return true;
  }
  if (header_is(nodes, "SYSTem:ERRor:[NEXT]") && query) {
    if (errors_.empty()) {
      answer("+0,\"No error\"");
    } else {
      answer(errors_.front());
      errors_.pop_front();
    }
    return true;
  }
  if (header_is(nodes, "SYSTem:LOCal") && !query) { remote_ = false; return true; }
  if (header_is(nodes, "SYSTem:REMote") && !query) { remote_ = true; return true; }
  return false;
}

std::optional<TimePoint> CounterModel::reply_ready_at() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (output_.empty()) return std::nullopt;
  return output_.front().ready;
}

bool CounterModel::take_reply(TimePoint now, std::string& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (output_.empty() || output_.front().ready > now) return false;
  out = std::move(output_.front().text);
  output_.pop_front();
  return true;
}

bool CounterModel::wait_reply(TimePoint deadline, std::string& out) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    TimePoint now = Clock::now();
    if (!output_.empty() && output_.front().ready <= now) {
      out = std::move(output_.front().text);
      output_.pop_front();
      return true;
    }
    if (now >= deadline) return false;
    TimePoint until = deadline;
    if (!output_.empty()) until = std::min(until, output_.front().ready);
    reply_cv_.wait_until(lock, until);
  }
}

void CounterModel::device_clear(TimePoint now) {
  std::lock_guard<std::mutex> lock(mutex_);
  note("[DCL]");
  parser_free_ = now;
  input_.clear();
  input_overrun_ = false;
  output_.clear();
}

void CounterModel::trigger(TimePoint now) {
  std::lock_guard<std::mutex> lock(mutex_);
  note("[GET]");
  if (!continuous_) start_measurement(now);
}

void CounterModel::go_to_local() {
  std::lock_guard<std::mutex> lock(mutex_);
  note("[GTL]");
  remote_ = false;
}

void CounterModel::local_lockout() {
  std::lock_guard<std::mutex> lock(mutex_);
  note("[LLO]");
  lockout_ = true;
}

void CounterModel::set_remote() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!remote_) note("[REN]");
  remote_ = true;
}

bool CounterModel::remote() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return remote_;
}

bool CounterModel::locked_out() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lockout_;
}

std::uint8_t CounterModel::status_byte() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<std::uint8_t>((output_.empty() ? 0 : 16) | (errors_.empty() ? 0 : 4));
}

ModelOptions CounterModel::options() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return options_;
}

void CounterModel::set_mode(CounterMode mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.mode = mode;
}

void CounterModel::set_measurement_time(std::chrono::microseconds t) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.measurement_time = std::max(t, std::chrono::microseconds(0));
}

void CounterModel::set_numbered(bool numbered) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.numbered = numbered;
}

void CounterModel::set_no_signal(bool no_signal) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.no_signal = no_signal;
}

void CounterModel::set_maker(Maker maker) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.maker = maker;
}

std::string CounterModel::identification_locked() const {
  return std::string(options_.maker == Maker::Picotest ? "PICOTEST" : "ARRAY") + ",U6200A," +
         options_.serial + "," + options_.firmware;
}

std::string CounterModel::identification() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return identification_locked();
}

std::vector<std::string> CounterModel::transcript() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return transcript_;
}

bool CounterModel::transcript_truncated() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return transcript_truncated_;
}

void CounterModel::clear_transcript() {
  std::lock_guard<std::mutex> lock(mutex_);
  transcript_.clear();
  transcript_bytes_ = 0;
  transcript_truncated_ = false;
}

long long CounterModel::readings_made() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return readings_;
}

std::vector<std::string> CounterModel::errors() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return {errors_.begin(), errors_.end()};
}

bool CounterModel::continuous() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return continuous_;
}

}  // namespace u62sim
