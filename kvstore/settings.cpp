// The settings file and the copy between stores.
//
// The file is read and written as bytes with explicit CR LF line ends, so
// that it is the same file on every platform; a CR read back is white space
// and trimmed with the rest.
#include <cstdio>
#include <cstring>

#include "kvstore/kvstore.h"
#include "support/text.h"

namespace {

// Joins folder and name, cut to KV_PATH_MAX characters. False when the path
// had to be cut: the cut path names another file, which must not be opened.
bool make_path(char (&path)[KV_PATH_MAX + 1], const char* folder, const char* name) {
  int n = std::snprintf(path, sizeof path, "%s%s", folder ? folder : "", name ? name : "");
  return n >= 0 && n <= KV_PATH_MAX;
}

// Writes text with line breaks as spaces: a break would end the line and
// let the rest of the text pose as an entry of its own.
void write_flat(std::FILE* f, const char* text) {
  for (const char* p = text; *p; ++p) std::fputc((*p == '\r' || *p == '\n') ? ' ' : *p, f);
}

}  // namespace

template <class T>
bool KVSTORE<T>::load(const char* folder, const char* name, int mode) {
  char path[KV_PATH_MAX + 1];
  std::FILE* f = make_path(path, folder, name) ? std::fopen(path, "rb") : nullptr;
  if (!f) {
    if (mode & LOAD_REPORT_MISSING) reportf(4, "File '%s' not found", path);
    return false;
  }
  char line[KV_LINE_MAX + 2];
  bool ok = true;
  for (;;) {
    std::memset(line, 0, sizeof line);
    if (!std::fgets(line, KV_LINE_MAX + 1, f)) break;
    if (line[0] == ';') continue;
    char* p = line;
    while (text_is_space(*p)) ++p;
    if (*p == 0) continue;
    char* end = p + std::strlen(p);
    while (end > p && text_is_space(end[-1])) *--end = 0;

    char* key;
    char* value = end;
    if (*p == '"' || *p == '\'') {
      key = p + 1;
      if (char* close = std::strchr(key, *p)) {
        *close = 0;
        value = close + 1;
      }
    } else {
      key = p;
      if (char* space = std::strchr(key, ' ')) {
        *space = 0;
        value = space + 1;
      }
    }
    while (text_is_space(*value)) ++value;

    if ((mode & LOAD_KNOWN_ONLY) && !lookup(key)) continue;
    if (!put(key, value)) {
      ok = false;
      break;
    }
  }
  std::fclose(f);
  return ok;
}

template <class T>
bool KVSTORE<T>::save(const char* folder, const char* name) {
  char path[KV_PATH_MAX + 1];
  std::FILE* f = make_path(path, folder, name) ? std::fopen(path, "wb") : nullptr;
  if (!f) {
    reportf(4, "File '%s' could not be opened for writing", path);
    return false;
  }
  int n = count();
  for (int i = 0; i < n; ++i) {
    T* e = at(i);
    if (!e || (e->flags & KVF_NOSAVE)) continue;
    char quote = std::strchr(e->key, '"') ? '\'' : '"';
    std::fputc(quote, f);
    write_flat(f, e->key);
    std::fputc(quote, f);
    std::fputc(' ', f);
    write_flat(f, e->str());
    std::fputs("\r\n", f);
    if (std::ferror(f)) {
      reportf(4, "Write failure -- disk full?");
      std::fclose(f);
      return false;
    }
  }
  // A full disk often shows only when the buffered lines are flushed.
  if (std::fclose(f) != 0) {
    reportf(4, "Write failure -- disk full?");
    return false;
  }
  return true;
}

template <class T>
bool KVSTORE<T>::merge_from(KVSTORE* source, bool copy_bindings) {
  if (!source) return true;
  int n = source->count();
  for (int i = 0; i < n; ++i) {
    T* s = source->at(i);
    if (!s) break;
    T* d = lookup(s->key);
    if (!d) {
      d = create_entry(s->key);
      if (!d) {
        source->reportf(4, "Out of memory");
        return false;
      }
      d->type = s->type;
      d->attr = s->attr;
      d->aux = s->aux;
      d->flags = s->flags;
      if (copy_bindings) d->binding = s->binding;
    }
    if (!d->set_str(s->str())) {
      source->reportf(4, "Out of memory");
      return false;
    }
  }
  return true;
}

template bool KVSTORE<KVDLGFIELD>::load(const char*, const char*, int);
template bool KVSTORE<KVDLGFIELD>::save(const char*, const char*);
template bool KVSTORE<KVDLGFIELD>::merge_from(KVSTORE*, bool);
