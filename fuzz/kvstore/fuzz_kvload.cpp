// Settings files of any content, loaded into a store with bound entries in
// both modes, saved and loaded again.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kvstore/kvstore.h"
#include "platform/msgbox.h"

namespace {

int quiet(const char*, const char*, unsigned, void*) { return PLAT_IDOK; }

struct GUARDED_TEXT {
  char text[KV_TEXT_MEMBER_SIZE];
  char guard[16];
};

std::string g_folder;

void check(const GUARDED_TEXT& t) {
  for (char g : t.guard)
    if (g != 0x5A) std::abort();
  if (std::strlen(t.text) > KV_TEXT_MEMBER_SIZE - 1) std::abort();
}

void clean_up() {
  std::remove((g_folder + "in.ini").c_str());
  std::remove((g_folder + "out.ini").c_str());
  rmdir(g_folder.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char templ[] = "/tmp/fuzz_kvloadXXXXXX";
  if (!mkdtemp(templ)) std::abort();
  g_folder = std::string(templ) + "/";
  std::atexit(clean_up);
  plat_set_message_box_handler(quiet, nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::FILE* f = std::fopen((g_folder + "in.ini").c_str(), "wb");
  if (!f) std::abort();
  std::fwrite(data, 1, size, f);
  std::fclose(f);

  GUARDED_TEXT trace, notes;
  std::memset(&trace, 0, sizeof trace);
  std::memset(&notes, 0, sizeof notes);
  std::memset(trace.guard, 0x5A, sizeof trace.guard);
  std::memset(notes.guard, 0x5A, sizeof notes.guard);
  double interval = 0;
  int32_t bins = 29;
  uint8_t query = 1;

  KVBASE known;
  known.addstr("Trace", trace.text, nullptr, 0, 0);
  known.addstr("Notes", notes.text, nullptr, 0, 0);
  known.adddbl("Sample Interval", &interval, "1.0", 0, 0);
  known.addnum("Bin Density", &bins, nullptr, 0, 0);
  known.addbool("Query Instrument ID", &query, nullptr, 0, 0);
  known.addstr("Locked", nullptr, "x", 0, KVF_READONLY);
  known.load(g_folder.c_str(), "in.ini", LOAD_KNOWN_ONLY | LOAD_REPORT_MISSING);
  check(trace);
  check(notes);

  KVBASE all;
  all.load(g_folder.c_str(), "in.ini", 0);
  all.save(g_folder.c_str(), "out.ini");
  KVBASE again;
  again.load(g_folder.c_str(), "out.ini", 0);
  known.merge_from(&all, false);
  known.merge_from(&again, false);
  check(trace);
  check(notes);
  if (query > 1) std::abort();
  return 0;
}
