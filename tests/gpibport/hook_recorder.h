// Collects what a port's failure hook receives.
#pragma once
#include <string>
#include <vector>

#include "drivers/shared/gpibport/gpibport.h"
#include "private_marks.h"

struct HOOK_RECORD {
  std::string text;
  int ibsta;
  int iberr;
  long ibcntl;
};

// The port's owner points at the recorder, as the driver's hooks find their
// context.
struct HOOK_RECORDER {
  std::vector<HOOK_RECORD> reports;

  static int hook(GPIBPORT* port, const char* text, int ibsta, int iberr, long ibcntl) {
    auto* self = static_cast<HOOK_RECORDER*>(port->owner);
    self->reports.push_back({text ? text : "", ibsta, iberr, ibcntl});
    return 7;
  }
  std::string all() const {
    std::string out;
    for (const auto& r : reports) out += r.text;
    return out;
  }
};
