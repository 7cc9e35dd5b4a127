// The host's own parameter store, handed to the acquire command. It is a
// store of the driver's kind built from the host's own copy of the store
// code: the driver reads it through its layout and calls its operations,
// so it must be an object of that very class, not a look-alike.
#pragma once
#include <string>

#include "kvstore/kvstore.h"

namespace ovhost {

class HostStore {
 public:
  // Sets the value of the entry with this key (compared without regard to
  // case), adding a text entry at the end when there is none. False when
  // the store refused (it has said why).
  bool put(const std::string& key, const std::string& value);
  // The value of the entry with this key, or null.
  const char* get(const std::string& key);
  int count() const { return store_.count(); }

  // The address the driver takes as its host store.
  KVBASE* kvbase() { return &store_; }

 private:
  KVBASE store_;
};

}  // namespace ovhost
