#include "host/recorder.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <strings.h>

namespace ovhost {
namespace {

// A value with a line break would end the comment and start a bogus reading.
std::string one_line(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

const Param* find(const std::vector<Param>& params, const char* key) {
  const Param* found = nullptr;
  for (auto& p : params)
    if (strcasecmp(p.key.c_str(), key) == 0) found = &p;
  return found;
}

}  // namespace

Recorder::~Recorder() { close(); }

bool Recorder::open(const std::string& path, std::string& error) {
  std::lock_guard<std::mutex> l(mutex_);
  if (file_) std::fclose(file_);
  file_ = std::fopen(path.c_str(), "w");
  if (!file_) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  path_ = path;
  header_written_ = false;
  write_failed_ = false;
  count_ = 0;
  return true;
}

void Recorder::set_parameters(const std::vector<Param>& params) {
  std::lock_guard<std::mutex> l(mutex_);
  params_ = params;
  const Param* scale = find(params_, "Scale Factor");
  scale_ = scale ? parse_number(scale->value) : 1.0;
  // The driver's dialog keeps the factor within 1E-18..1E+18; an unusable
  // one must not silently turn every reading into zero.
  if (!std::isfinite(scale_) || scale_ == 0) scale_ = 1.0;
}

std::string Recorder::format(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.15g", value);
  return text;
}

void Recorder::write_header_locked(bool frequency) {
  header_written_ = true;
  if (!file_) return;
  char when[64] = "";
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  if (gmtime_r(&now, &utc)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &utc);
  std::fprintf(file_, "# Acquired by orvane-host, %s\n", when);
  const Param* type = find(params_, "Data Type");
  bool freq = count_ > 0 ? frequency : (type && parse_number(type->value) != 0);
  std::fprintf(file_, "# Readings: %s, one per line, after the Scale Factor\n",
               freq ? "frequency in Hz" : "time interval in seconds");
  for (const Param& p : params_) std::fprintf(file_, "# %s = %s\n", one_line(p.key).c_str(), one_line(p.value).c_str());
  if (std::fflush(file_) != 0) write_failed_ = true;
}

void Recorder::add(double reading, bool frequency) {
  std::lock_guard<std::mutex> l(mutex_);
  count_++;
  if (!header_written_) write_header_locked(frequency);
  if (!file_) return;
  std::string line = format(reading * scale_);
  line += '\n';
  if (std::fputs(line.c_str(), file_) < 0 || std::fflush(file_) != 0) write_failed_ = true;
}

void Recorder::close() {
  std::lock_guard<std::mutex> l(mutex_);
  if (!file_) return;
  if (!header_written_) write_header_locked(false);
  if (std::fclose(file_) != 0) write_failed_ = true;
  file_ = nullptr;
}

void Recorder::discard() {
  std::lock_guard<std::mutex> l(mutex_);
  if (file_) std::fclose(file_);
  file_ = nullptr;
  if (!path_.empty()) std::remove(path_.c_str());
}

long long Recorder::count() const {
  std::lock_guard<std::mutex> l(mutex_);
  return count_;
}

bool Recorder::write_failed() const {
  std::lock_guard<std::mutex> l(mutex_);
  return write_failed_;
}

}  // namespace ovhost
