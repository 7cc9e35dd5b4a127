#include "host/host_store.h"

namespace ovhost {

bool HostStore::put(const std::string& key, const std::string& value) {
  // The store's own put adds a further entry for a key it created itself;
  // the host wants one entry per key, the last value winning.
  KVDLGFIELD* entry = store_.lookup(key.c_str());
  if (entry) return store_.update(entry, value.c_str());
  return store_.addstr(key.c_str(), nullptr, value.c_str(), 0, 0) != nullptr;
}

const char* HostStore::get(const std::string& key) {
  KVDLGFIELD* entry = store_.lookup(key.c_str());
  return entry ? entry->str() : nullptr;
}

}  // namespace ovhost
