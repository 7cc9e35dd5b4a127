#include "private_marks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

void use_private_mark_folder() {
  const char* base = std::getenv("ORVANE_MARK_DIR");
  std::string dir = std::string(base && *base ? base : "/tmp/u62-test-marks");
  mkdir(dir.c_str(), 01777);
  dir += "/p" + std::to_string(getpid());
  mkdir(dir.c_str(), 0777);
  setenv("ORVANE_MARK_DIR", dir.c_str(), 1);
}
