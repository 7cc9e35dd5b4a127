// The typed key/value store behind the acquisition parameters. Its binary
// layout crosses the boundary to the host in both directions, so member
// order and widths are part of the host interface: on the 32-bit Windows
// host a store is 1184 bytes and an entry 6208.
#pragma once
#include <cstddef>
#include <cstdint>

class DLGSURFACE;

enum { KV_STR = 1, KV_NUM = 2, KV_HEX = 3, KV_DBL = 4, KV_INT64 = 5, KV_BOOL = 6 };
enum { KVF_MULTI = 1, KVF_NOSAVE = 2, KVF_READONLY = 4 };
enum { CTRL_TEXT = 0, CTRL_REAL = 1, CTRL_INT = 2, CTRL_BUTTON = 3, CTRL_CHECKBOX = 4, CTRL_COMBO = 5 };
enum { LOAD_REPORT_MISSING = 1, LOAD_KNOWN_ONLY = 2 };
enum {
  KV_BUCKETS = 31,
  KV_TEXT_MEMBER_SIZE = 1024,  // bound char arrays of KV_STR entries
  KV_LINE_MAX = 2046,          // longest settings-file line read at once
  KV_PATH_MAX = 259,
};

struct KVDLGFIELD {
  // Container links and key.
  int32_t bucket;
  KVDLGFIELD* hash_next;
  KVDLGFIELD* hash_prev;
  KVDLGFIELD* next;
  KVDLGFIELD* prev;
  uint32_t in_use;
  char* key;
  // Typed value.
  char* value;
  uint32_t flags;
  uint32_t type;
  uint32_t attr;
  uint32_t aux;
  void* binding;
  // Dialog description.
  int32_t ctrl_type;
  int32_t ctrl_ID;
  char label[512];
  char choices[4096];
  char min[512];
  char max[512];
  char def[512];
  uint8_t enabled;

  const char* str() const;
  bool set_str(const char* text);
  void convert(void* target) const;
  bool num(int32_t* result) const;
  int32_t num() const;
  bool boolean(uint8_t* result) const;
  bool boolean() const;
  bool set_num(int32_t value);
  bool set_dbl(double value);
  bool set_bool(bool value);
  // The limit text the value (or text, when given) violates: min, max, or
  // def for an empty value; null when it is inside the range.
  const char* range_check(const char* text = nullptr) const;
};

struct DLIST {
  KVDLGFIELD* first;
  KVDLGFIELD* last;
  int32_t count;
};

struct HASHLIST {
  KVDLGFIELD* buckets[KV_BUCKETS];
  DLIST entries;
  DLIST free_list;
  int32_t cursor_pos;
  KVDLGFIELD* cursor_entry;
};

template <class T>
class KVSTORE {
 public:
  KVSTORE();
  virtual ~KVSTORE();
  virtual void report(int level, const char* text);
  virtual void reportf(int level, const char* format, ...);

  T* addstr(const char* key, char* binding, const char* default_text, uint32_t attr, uint32_t flags);
  T* adddbl(const char* key, double* binding, const char* default_text, uint32_t attr, uint32_t flags);
  T* addnum(const char* key, int32_t* binding, const char* default_text, uint32_t attr, uint32_t flags);
  T* addbool(const char* key, uint8_t* binding, const char* default_text, uint32_t attr, uint32_t flags);
  bool update(T* entry, const char* text);
  bool put(const char* key, const char* text);
  T* lookup(const char* key);
  void remove(T* entry);
  int count() const;
  T* at(int index);

  bool load(const char* folder, const char* name, int mode);
  bool save(const char* folder, const char* name);
  bool merge_from(KVSTORE* source, bool copy_bindings);

  HASHLIST list;
  char last_error[1024];

 protected:
  T* create_entry(const char* key);

 private:
  KVSTORE(const KVSTORE&) = delete;
  KVSTORE& operator=(const KVSTORE&) = delete;
};

class KVDLGSTORE : public KVSTORE<KVDLGFIELD> {
 public:
  void to_dialog(DLGSURFACE* dialog, bool enable);
  bool from_dialog(DLGSURFACE* dialog);
};

// The driver's store: level-4 messages become message boxes titled "Error".
class KVBASE : public KVDLGSTORE {
 public:
  void report(int level, const char* text) override;
};

double parse_number(const char* text);
bool parse_bool(const char* text);
// Writes the nearest integer of the number in text, with "%d", into out.
const char* normalise_int(const char* text, char* out, size_t size);
