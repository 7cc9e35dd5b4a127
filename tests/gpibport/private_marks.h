// Each test process keeps its interface marks in a folder of its own, so
// that tests run side by side (ctest -j) never see each other's ports as
// taken, nor a test's "Prologix" mark. A forked child shares its parent's
// folder, which is what the cross-process tests want.
#pragma once
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace private_marks {
inline std::string& folder() {
  static std::string f;
  return f;
}
inline void remove_folder() {
  if (folder().empty()) return;
  if (DIR* d = opendir(folder().c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") unlink((folder() + "/" + name).c_str());
    }
    closedir(d);
  }
  rmdir(folder().c_str());
}
inline bool install() {
  const char* base = std::getenv("ORVANE_MARK_DIR");
  folder() = std::string(base && *base ? base : "/tmp/u62-marks") + "-gpibport-" + std::to_string(getpid());
  mkdir(folder().c_str(), 0700);
  setenv("ORVANE_MARK_DIR", folder().c_str(), 1);
  static pid_t s_owner = getpid();
  std::atexit([] {
    if (getpid() == s_owner) remove_folder();
  });
  return true;
}
inline const bool installed = install();
}  // namespace private_marks
