// The host's own parameter store, handed to the acquire command. It is not
// the driver's store class: it only has the same binary layout (a virtual
// table with the destructor, report and reportf, then the container and the
// last error text), as a host built apart from the module would have it.
// The driver reads it through that layout and may call report on it.
#pragma once
#include <string>
#include <vector>

#include "kvstore/kvstore.h"

namespace ovhost {

class HostStore {
 public:
  HostStore();
  virtual ~HostStore();
  virtual void report(int level, const char* text);
  virtual void reportf(int level, const char* format, ...);

  HostStore(const HostStore&) = delete;
  HostStore& operator=(const HostStore&) = delete;

  // Sets the value of the entry with this key (compared without regard to
  // case), adding a text entry at the end when there is none.
  void put(const std::string& key, const std::string& value);
  // The value of the entry with this key, or null.
  const char* get(const std::string& key) const;
  int count() const { return list.entries.count; }

  // The address the driver takes as its host store.
  KVBASE* kvbase() { return reinterpret_cast<KVBASE*>(this); }

  // The driver's layout: these two come first, right after the virtual
  // table, as in the driver's own store.
  HASHLIST list;
  char last_error[1024];

  // Texts the driver passed to report, oldest first.
  std::vector<std::string> reports;

 private:
  KVDLGFIELD* find(const std::string& key) const;
};

}  // namespace ovhost
