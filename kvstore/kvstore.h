// The typed key/value store behind the acquisition parameters. Its binary
// layout crosses the boundary to the host in both directions, so member
// order and widths are part of the host interface: on the 32-bit Windows
// host a store is 1184 bytes and an entry 6208 (layout.cpp checks both).
//
// Every value is kept as text; an entry may be bound to a variable of its
// type, which is refreshed whenever the text changes. The store has no lock:
// one thread at a time uses it.
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
  // A char array bound to a KV_STR entry must hold this many bytes: bound
  // values are cut to one character less.
  KV_TEXT_MEMBER_SIZE = 1024,
  KV_LINE_MAX = 2046,  // longest settings-file line read at once
  KV_PATH_MAX = 259,   // longest settings-file path
  KV_MESSAGE_SIZE = 1024,
  KV_FIELD_TEXT_MAX = 511,  // longest text read back from a dialog control
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

  // The value text; empty when the entry has none.
  const char* str() const;
  // Replaces the value by a copy of text (null counts as empty) and
  // refreshes the bound variable. False, leaving the old value, when there
  // is no memory for the copy.
  bool set_str(const char* text);
  // Writes the value, converted by the entry's type, into target (nothing
  // when target is null). A KV_STR target gets at most
  // KV_TEXT_MEMBER_SIZE - 1 characters and the terminator.
  void convert(void* target) const;
  // Typed readers: false (or an assertion, for the forms without an
  // argument) on an entry of another type.
  bool num(int32_t* result) const;
  int32_t num() const;
  bool boolean(uint8_t* result) const;
  bool boolean() const;
  // Formatting setters: "%d", 16 significant digits, "True"/"False".
  bool set_num(int32_t value);
  bool set_dbl(double value);
  bool set_bool(bool value);
  // The limit text the value (or text, when given) violates: min, max, or
  // def for an empty value; null when it is inside the range or the entry
  // is no numeric field.
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
  // Shows one message; the base writes it to standard output.
  virtual void report(int level, const char* text);
  // Formats a message (at most 1023 characters, trailing white space
  // removed), keeps level-4 messages in last_error, then calls report.
  virtual void reportf(int level, const char* format, ...);

  // Add an entry bound to a variable of the operation's type (or to
  // nothing). The first value is default_text when given, otherwise the
  // bound variable's current value. Null, after a level-4 report, when the
  // key is present (unless flags has KVF_MULTI) or memory runs out.
  T* addstr(const char* key, char* binding, const char* default_text, uint32_t attr, uint32_t flags);
  T* adddbl(const char* key, double* binding, const char* default_text, uint32_t attr, uint32_t flags);
  T* addnum(const char* key, int32_t* binding, const char* default_text, uint32_t attr, uint32_t flags);
  T* addbool(const char* key, uint8_t* binding, const char* default_text, uint32_t attr, uint32_t flags);
  // Sets an entry's value text; refuses KVF_READONLY entries.
  bool update(T* entry, const char* text);
  // Sets the value of key, or adds a KV_STR entry with KVF_MULTI when the
  // key is new or its newest entry has KVF_MULTI.
  bool put(const char* key, const char* text);
  // The newest entry with this key (ASCII letters compare without case).
  T* lookup(const char* key);
  // Takes the entry out of the store; its node waits for reuse.
  void remove(T* entry);
  int count() const;
  // The entry at index in creation order; walking 0..count()-1 costs one
  // step per entry. Null for an index out of range.
  T* at(int index);

  // The settings file folder + name ("%s%s", folder ends in a separator).
  bool load(const char* folder, const char* name, int mode);
  bool save(const char* folder, const char* name);
  // Copies every entry of source into this store, by key.
  bool merge_from(KVSTORE* source, bool copy_bindings);

  HASHLIST list;
  char last_error[KV_MESSAGE_SIZE];

 protected:
  T* create_entry(const char* key);

 private:
  T* add_entry(const char* op, const char* key, void* binding, uint32_t type, uint32_t attr, uint32_t flags);
  void clear_cursor();

  KVSTORE(const KVSTORE&) = delete;
  KVSTORE& operator=(const KVSTORE&) = delete;
};

class KVDLGSTORE : public KVSTORE<KVDLGFIELD> {
 public:
  // Shows every bound entry in its control; with enable, also enables or
  // disables the controls by the entries' enabled bytes.
  void to_dialog(DLGSURFACE* dialog, bool enable);
  // Validates every bound edit field (message and focus on the first bad
  // one, nothing changed), then stores every bound control's state.
  bool from_dialog(DLGSURFACE* dialog);
};

// The driver's store: level-4 messages become message boxes titled "Error".
class KVBASE : public KVDLGSTORE {
 public:
  void report(int level, const char* text) override;
};

// Number text: ordinary and scientific notation, fractions "a/b" and
// products "a*b", spaces ignored; 0 when no number can be read. Always uses
// "." as the decimal point, whatever the process locale.
double parse_number(const char* text);
// False only when the first non-blank character is '0', 'f' or 'F'.
bool parse_bool(const char* text);
// Writes the number in text rounded to the nearest integer (halves away
// from zero) with "%d" into out, cut to size - 1 characters; returns out.
// Numbers beyond 32 bits are written in full, so that a range check still
// judges what was entered.
const char* normalise_int(const char* text, char* out, size_t size);
