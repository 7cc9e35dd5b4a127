#include "host/host_store.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ovhost {
namespace {

char upper(unsigned char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c); }

// The driver finds entries by this bucket, so a host entry must sit in the
// chain the driver's hash names.
int bucket_of(const char* key) {
  if (!key[0]) return 0;
  unsigned h = static_cast<unsigned char>(upper(key[0])) ^ static_cast<unsigned char>(upper(key[1]));
  return static_cast<int>(h % KV_BUCKETS);
}

bool same_key(const char* a, const char* b) {
  for (; *a && *b; a++, b++)
    if (upper(*a) != upper(*b)) return false;
  return *a == *b;
}

char* copy_text(const std::string& text) {
  char* p = static_cast<char*>(std::malloc(text.size() + 1));
  if (p) std::memcpy(p, text.c_str(), text.size() + 1);
  return p;
}

}  // namespace

HostStore::HostStore() {
  std::memset(&list, 0, sizeof list);
  list.cursor_pos = -1;
  std::memset(last_error, 0, sizeof last_error);
}

HostStore::~HostStore() {
  KVDLGFIELD* e = list.entries.first;
  while (e) {
    KVDLGFIELD* next = e->next;
    std::free(e->key);
    std::free(e->value);
    delete e;
    e = next;
  }
}

void HostStore::report(int level, const char* text) {
  reports.emplace_back(text ? text : "");
  std::fprintf(stderr, "host store: %s\n", text ? text : "");
}

void HostStore::reportf(int level, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(text, sizeof text, format ? format : "", args);
  va_end(args);
  if (n < 0) text[0] = 0;
  if (level == 4) std::snprintf(last_error, sizeof last_error, "%s", text);
  report(level, text);
}

KVDLGFIELD* HostStore::find(const std::string& key) const {
  for (KVDLGFIELD* e = list.buckets[bucket_of(key.c_str())]; e; e = e->hash_next)
    if (same_key(e->key, key.c_str())) return e;
  return nullptr;
}

const char* HostStore::get(const std::string& key) const {
  KVDLGFIELD* e = find(key);
  return e ? (e->value ? e->value : "") : nullptr;
}

void HostStore::put(const std::string& key, const std::string& value) {
  KVDLGFIELD* e = find(key);
  if (e) {
    char* text = copy_text(value);
    if (!text) return;
    std::free(e->value);
    e->value = text;
    return;
  }
  e = new KVDLGFIELD();
  e->key = copy_text(key);
  e->value = copy_text(value);
  if (!e->key || !e->value) {
    std::free(e->key);
    std::free(e->value);
    delete e;
    return;
  }
  e->in_use = 1;
  e->type = KV_STR;
  e->enabled = 1;
  std::snprintf(e->label, sizeof e->label, "%s", key.c_str());

  e->prev = list.entries.last;
  if (list.entries.last)
    list.entries.last->next = e;
  else
    list.entries.first = e;
  list.entries.last = e;
  list.entries.count++;

  e->bucket = bucket_of(e->key);
  e->hash_next = list.buckets[e->bucket];
  if (e->hash_next) e->hash_next->hash_prev = e;
  list.buckets[e->bucket] = e;

  list.cursor_pos = -1;
  list.cursor_entry = nullptr;
}

}  // namespace ovhost
