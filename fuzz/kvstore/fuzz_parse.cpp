// Number, truth and integer texts of any content.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kvstore/kvstore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  double x = parse_number(text.c_str());
  if (std::isnan(x)) std::abort();
  (void)parse_bool(text.c_str());
  char small[5];
  normalise_int(text.c_str(), small, sizeof small);
  if (std::strlen(small) > 4) std::abort();
  char out[512];
  normalise_int(text.c_str(), out, sizeof out);
  if (std::strlen(out) > 511) std::abort();
  // What normalise_int writes is itself a number text that reads back
  // within one of the rounded value.
  double back = parse_number(out);
  if (std::isfinite(x) && std::fabs(x) < 1e15 && std::fabs(back - std::trunc(x)) > 1.0) std::abort();
  return 0;
}
