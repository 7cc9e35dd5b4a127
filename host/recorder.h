// The readings file: one reading per line (time-interval readings in
// seconds, frequency readings in Hz, after the Scale Factor), below "#"
// lines that carry the parameters the driver handed over. Every line is
// flushed as it is written, so a crash loses at most the line in progress.
#pragma once
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "host/host.h"

namespace ovhost {

class Recorder {
 public:
  Recorder() = default;
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Creates (or empties) the file. False with the reason.
  bool open(const std::string& path, std::string& error);
  // The parameters to describe the readings with; the newest set before the
  // first reading goes into the header. The Scale Factor applies from now.
  void set_parameters(const std::vector<Param>& params);
  // Writes one reading (times the Scale Factor). Any thread.
  void add(double reading, bool frequency);
  // Writes the header if no reading came, and closes the file.
  void close();
  // Removes the file (after a run that never started).
  void discard();

  const std::string& path() const { return path_; }
  long long count() const;
  bool write_failed() const;

  // The text of one reading line, without its line end.
  static std::string format(double value);

 private:
  void write_header_locked(bool frequency);

  mutable std::mutex mutex_;
  std::FILE* file_ = nullptr;
  std::string path_;
  std::vector<Param> params_;
  double scale_ = 1.0;
  bool header_written_ = false;
  bool write_failed_ = false;
  long long count_ = 0;
};

}  // namespace ovhost
