// The container and the entry operations of the store.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "kvstore/kvstore.h"
#include "platform/msgbox.h"
#include "support/check.h"
#include "support/text.h"

namespace {

unsigned char upper(unsigned char c) { return (c >= 'a' && c <= 'z') ? (unsigned char)(c - 'a' + 'A') : c; }

int bucket_of(const char* key) {
  const unsigned char* k = reinterpret_cast<const unsigned char*>(key);
  if (k[0] == 0) return 0;
  unsigned h = unsigned(upper(k[0]) ^ upper(k[1]));
  return int(h % KV_BUCKETS);
}

bool same_key(const char* a, const char* b) {
  for (;; ++a, ++b) {
    unsigned char x = upper((unsigned char)*a), y = upper((unsigned char)*b);
    if (x != y) return false;
    if (x == 0) return true;
  }
}

void append(DLIST& l, KVDLGFIELD* e) {
  e->next = nullptr;
  e->prev = l.last;
  if (l.last) l.last->next = e;
  else l.first = e;
  l.last = e;
  ++l.count;
}

void unlink(DLIST& l, KVDLGFIELD* e) {
  if (e->prev) e->prev->next = e->next;
  else l.first = e->next;
  if (e->next) e->next->prev = e->prev;
  else l.last = e->prev;
  e->next = e->prev = nullptr;
  --l.count;
}

void check_key(const char* key) { U62_CHECK(key != nullptr, "V != NULL", "stdtpl"); }

// An entry whose first value could not be stored leaves the store again, so
// that no entry without a value is ever seen.
template <class S, class T>
T* settle(S* store, T* e, bool stored, const char* op, const char* key) {
  if (stored) return e;
  store->remove(e);
  store->reportf(4, "KVAL error: %s(%s) out of memory", op, key);
  return nullptr;
}

}  // namespace

template <class T>
KVSTORE<T>::KVSTORE() {
  std::memset(&list, 0, sizeof list);
  list.cursor_pos = -1;
  std::memset(last_error, 0, sizeof last_error);
}

template <class T>
KVSTORE<T>::~KVSTORE() {
  clear_cursor();
  while (list.entries.last) remove(list.entries.last);
  while (T* node = list.free_list.first) {
    unlink(list.free_list, node);
    delete node;
  }
}

template <class T>
void KVSTORE<T>::clear_cursor() {
  list.cursor_pos = -1;
  list.cursor_entry = nullptr;
}

template <class T>
void KVSTORE<T>::report(int level, const char* text) {
  std::printf("%s\n", text ? text : "");
}

template <class T>
void KVSTORE<T>::reportf(int level, const char* format, ...) {
  char text[KV_MESSAGE_SIZE] = {};
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format ? format : "", args);
  va_end(args);
  for (size_t n = std::strlen(text); n > 1 && text_is_space(text[n - 1]); --n) text[n - 1] = 0;
  if (level == 4) {
    std::memset(last_error, 0, sizeof last_error);
    std::memcpy(last_error, text, std::strlen(text));
  }
  report(level, text);
}

template <class T>
T* KVSTORE<T>::create_entry(const char* key) {
  check_key(key);
  clear_cursor();
  size_t n = std::strlen(key);
  char* key_copy = new (std::nothrow) char[n + 1];
  if (!key_copy) return nullptr;
  std::memcpy(key_copy, key, n + 1);
  // The most recently freed node first, so that a deleted and re-created
  // parameter set lands on the nodes it had.
  T* e = list.free_list.last;
  if (e) {
    unlink(list.free_list, e);
  } else {
    e = new (std::nothrow) T();
    if (!e) {
      delete[] key_copy;
      return nullptr;
    }
  }
  append(list.entries, e);
  e->bucket = bucket_of(key);
  e->hash_prev = nullptr;
  e->hash_next = list.buckets[e->bucket];
  if (e->hash_next) e->hash_next->hash_prev = e;
  list.buckets[e->bucket] = e;
  e->in_use = 1;
  e->key = key_copy;
  e->value = nullptr;
  e->binding = nullptr;
  e->flags = e->type = e->attr = e->aux = 0;
  e->ctrl_type = e->ctrl_ID = 0;
  e->label[0] = e->choices[0] = e->min[0] = e->max[0] = e->def[0] = 0;
  e->enabled = 1;
  return e;
}

template <class T>
T* KVSTORE<T>::add_entry(const char* op, const char* key, void* binding, uint32_t type, uint32_t attr,
                         uint32_t flags) {
  check_key(key);
  if (!(flags & KVF_MULTI) && lookup(key)) {
    reportf(4, "KVAL error: %s(%s) already present", op, key);
    return nullptr;
  }
  T* e = create_entry(key);
  if (!e) {
    reportf(4, "KVAL error: %s(%s) out of memory", op, key);
    return nullptr;
  }
  e->type = type;
  e->flags = flags;
  e->attr = attr;
  e->binding = binding;
  return e;
}

template <class T>
T* KVSTORE<T>::addstr(const char* key, char* binding, const char* default_text, uint32_t attr, uint32_t flags) {
  T* e = add_entry("addstr", key, binding, KV_STR, attr, flags);
  if (!e) return nullptr;
  const char* first = default_text;
  char current[KV_TEXT_MEMBER_SIZE] = {};
  if (!first && binding) {
    // The member may hold anything; read no more of it than it can hold.
    for (size_t i = 0; i < KV_TEXT_MEMBER_SIZE - 1 && binding[i]; ++i) current[i] = binding[i];
    first = current;
  }
  return settle(this, e, e->set_str(first), "addstr", key);
}

template <class T>
T* KVSTORE<T>::adddbl(const char* key, double* binding, const char* default_text, uint32_t attr, uint32_t flags) {
  T* e = add_entry("adddbl", key, binding, KV_DBL, attr, flags);
  if (!e) return nullptr;
  bool stored = (!default_text && binding) ? e->set_dbl(*binding) : e->set_str(default_text);
  return settle(this, e, stored, "adddbl", key);
}

template <class T>
T* KVSTORE<T>::addnum(const char* key, int32_t* binding, const char* default_text, uint32_t attr, uint32_t flags) {
  T* e = add_entry("addnum", key, binding, KV_NUM, attr, flags);
  if (!e) return nullptr;
  bool stored = (!default_text && binding) ? e->set_num(*binding) : e->set_str(default_text);
  return settle(this, e, stored, "addnum", key);
}

template <class T>
T* KVSTORE<T>::addbool(const char* key, uint8_t* binding, const char* default_text, uint32_t attr,
                       uint32_t flags) {
  T* e = add_entry("addbool", key, binding, KV_BOOL, attr, flags);
  if (!e) return nullptr;
  bool stored = (!default_text && binding) ? e->set_bool(*binding != 0) : e->set_bool(parse_bool(default_text));
  return settle(this, e, stored, "addbool", key);
}

template <class T>
bool KVSTORE<T>::update(T* entry, const char* text) {
  U62_CHECK(entry != nullptr, "V != NULL", "stdtpl");
  if (entry->flags & KVF_READONLY) {
    reportf(4, "KVAL error: can't update read-only value %s", entry->key);
    return false;
  }
  if (!entry->set_str(text)) {
    reportf(4, "KVAL error: update() out of memory, key %s", entry->key);
    return false;
  }
  return true;
}

template <class T>
bool KVSTORE<T>::put(const char* key, const char* text) {
  check_key(key);
  T* e = lookup(key);
  if (!e || (e->flags & KVF_MULTI)) return addstr(key, nullptr, text, 0, KVF_MULTI) != nullptr;
  return update(e, text);
}

template <class T>
T* KVSTORE<T>::lookup(const char* key) {
  check_key(key);
  for (T* e = list.buckets[bucket_of(key)]; e; e = e->hash_next)
    if (same_key(e->key, key)) return e;
  return nullptr;
}

template <class T>
void KVSTORE<T>::remove(T* e) {
  if (!e || !e->in_use) return;
  clear_cursor();
  delete[] e->key;
  delete[] e->value;
  e->key = e->value = nullptr;
  e->in_use = 0;
  if (e->hash_prev) e->hash_prev->hash_next = e->hash_next;
  else list.buckets[e->bucket] = e->hash_next;
  if (e->hash_next) e->hash_next->hash_prev = e->hash_prev;
  e->hash_next = e->hash_prev = nullptr;
  unlink(list.entries, e);
  append(list.free_list, e);
}

template <class T>
int KVSTORE<T>::count() const {
  return list.entries.count;
}

template <class T>
T* KVSTORE<T>::at(int index) {
  if (index < 0 || index >= list.entries.count) return nullptr;
  T* e;
  if (index == list.cursor_pos && list.cursor_entry) {
    e = list.cursor_entry;
  } else {
    e = list.entries.first;
    for (int i = 0; i < index && e; ++i) e = e->next;
  }
  if (e && e->next) {
    list.cursor_pos = index + 1;
    list.cursor_entry = e->next;
  } else {
    clear_cursor();
  }
  return e;
}

template class KVSTORE<KVDLGFIELD>;

void KVBASE::report(int level, const char* text) {
  if (level >= 4) plat_message_box(text, "Error", PLAT_MB_OK);
  else KVSTORE<KVDLGFIELD>::report(level, text);
}
