// Value texts to typed values and back. Every reader here is written out
// rather than left to sscanf and printf, because those follow the process
// locale (a host that sets a German locale would otherwise read "1.5" as 1)
// and overflow in their integer conversions is undefined.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "kvstore/kvstore.h"
#include "support/check.h"
#include "support/text.h"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads one number the way "%lf" does: white space, sign, digits with an
// optional point, an optional exponent. False when no number starts here.
bool read_double(const char* p, double* out) {
  while (text_is_space(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  const char* start = p;
  long int_digits = 0;       // significant digits before the point
  long leading_zeros = 0;    // zeros after the point before the first other digit
  bool any_digit = false, nonzero = false;
  while (is_digit(*p)) {
    any_digit = true;
    if (*p != '0') nonzero = true;
    if (nonzero) ++int_digits;
    ++p;
  }
  if (*p == '.') {
    ++p;
    while (is_digit(*p)) {
      any_digit = true;
      if (!nonzero && *p == '0') ++leading_zeros;
      if (*p != '0') nonzero = true;
      ++p;
    }
  }
  if (!any_digit) return false;
  long exponent = 0;
  if (*p == 'e' || *p == 'E') {
    const char* e = p + 1;
    bool exp_negative = false;
    if (*e == '+' || *e == '-') exp_negative = *e++ == '-';
    if (is_digit(*e)) {
      while (is_digit(*e)) {
        if (exponent < 100000) exponent = exponent * 10 + (*e - '0');
        ++e;
      }
      if (exp_negative) exponent = -exponent;
      p = e;
    }
  }
  double value = 0.0;
  std::from_chars_result r = std::from_chars(start, p, value, std::chars_format::general);
  if (r.ec == std::errc::result_out_of_range) {
    // Too large or too small for a double: saturate as strtod does.
    long magnitude = (int_digits > 0 ? int_digits - 1 : -(leading_zeros + 1)) + exponent;
    value = (nonzero && magnitude > 0) ? HUGE_VAL : 0.0;
  } else if (r.ec != std::errc()) {
    value = 0.0;
  }
  *out = negative ? -value : value;
  return true;
}

// "%d"-style reader for 64-bit values, saturating instead of overflowing.
bool read_int64(const char* p, int64_t* out) {
  while (text_is_space(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (!is_digit(*p)) return false;
  uint64_t magnitude = 0;
  const uint64_t limit = negative ? uint64_t(INT64_MAX) + 1 : uint64_t(INT64_MAX);
  for (; is_digit(*p); ++p) {
    uint64_t d = uint64_t(*p - '0');
    magnitude = (magnitude > (limit - d) / 10) ? limit : magnitude * 10 + d;
  }
  *out = negative ? int64_t(0 - magnitude) : int64_t(magnitude);
  return true;
}

// "0x%X": the text must begin with "0x"; the hexadecimal reader then takes
// a sign and its own optional prefix, as strtoul does.
uint32_t read_hex(const char* p) {
  if (p[0] != '0' || p[1] != 'x') return 0;
  p += 2;
  while (text_is_space(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hex_digit(p[2]) >= 0) p += 2;
  uint64_t v = 0;
  for (int d; (d = hex_digit(*p)) >= 0; ++p) v = v > 0xFFFFFFFFu ? v : v * 16 + uint64_t(d);
  uint32_t result = v > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(v);
  return negative ? uint32_t(0u - result) : result;
}

// Replaces the value text by a zero-filled buffer of size bytes, keeping
// the old text when there is no memory.
char* fresh_value(KVDLGFIELD* e, size_t size) {
  char* buf = new (std::nothrow) char[size];
  if (!buf) return nullptr;
  std::memset(buf, 0, size);
  delete[] e->value;
  e->value = buf;
  return buf;
}

}  // namespace

double parse_number(const char* text) {
  if (!text) text = "";
  size_t n = std::strlen(text);
  char small[256];
  char* copy = n < sizeof small ? small : new (std::nothrow) char[n + 1];
  if (!copy) return 0.0;
  // Spaces vanish unless only spaces follow, so "1 000" reads as 1000.
  size_t keep_until = n;
  while (keep_until > 0 && text[keep_until - 1] == ' ') --keep_until;
  size_t j = 0;
  for (size_t i = 0; i < n; ++i)
    if (text[i] != ' ' || i >= keep_until) copy[j++] = text[i];
  copy[j] = 0;

  double result = 0.0;
  if (const char* slash = std::strchr(copy, '/')) {
    double num = 0.0, den = 1.0;
    if (!read_double(copy, &num)) num = 0.0;
    if (!read_double(slash + 1, &den)) den = 1.0;
    result = std::fabs(den) < 1e-30 ? 0.0 : num / den;
  } else if (const char* star = std::strchr(copy, '*')) {
    double a = 0.0, b = 0.0;
    if (!read_double(copy, &a)) a = 0.0;
    if (!read_double(star + 1, &b)) b = 0.0;
    result = a * b;
  } else if (!read_double(copy, &result)) {
    result = 0.0;
  }
  if (copy != small) delete[] copy;
  // inf/inf and inf*0 give no number; such a text must not slip through a
  // range check, which every comparison with NaN would.
  return std::isnan(result) ? 0.0 : result;
}

bool parse_bool(const char* text) {
  if (!text) return true;
  while (text_is_space(*text)) ++text;
  char c = text_lower(*text);
  return !(c == '0' || c == 'f');
}

const char* normalise_int(const char* text, char* out, size_t size) {
  if (!out || size == 0) return out;
  double x = parse_number(text);
  if (x < 0) x -= 0.5;
  if (x > 0) x += 0.5;
  x = std::trunc(x);
  char buf[400];
  if (x >= -2147483648.0 && x <= 2147483647.0) {
    std::snprintf(buf, sizeof buf, "%d", int32_t(x));
  } else {
    if (std::isinf(x)) x = x > 0 ? 1.7976931348623157e308 : -1.7976931348623157e308;
    std::to_chars_result r = std::to_chars(buf, buf + sizeof buf - 1, x, std::chars_format::fixed, 0);
    *r.ptr = 0;
  }
  std::snprintf(out, size, "%s", buf);
  return out;
}

const char* KVDLGFIELD::str() const { return value ? value : ""; }

bool KVDLGFIELD::set_str(const char* text) {
  if (!text) text = "";
  size_t n = std::strlen(text);
  // A bound text member holds KV_TEXT_MEMBER_SIZE bytes; text and member
  // keep agreeing when a longer value arrives.
  if (type == KV_STR && binding && n > KV_TEXT_MEMBER_SIZE - 1) n = KV_TEXT_MEMBER_SIZE - 1;
  char* copy = new (std::nothrow) char[n + 1];
  if (!copy) return false;
  std::memcpy(copy, text, n);
  copy[n] = 0;
  delete[] value;
  value = copy;
  convert(binding);
  return true;
}

void KVDLGFIELD::convert(void* target) const {
  if (!target) return;
  const char* text = str();
  switch (type) {
    case KV_STR: {
      size_t n = std::strlen(text);
      if (n > KV_TEXT_MEMBER_SIZE - 1) n = KV_TEXT_MEMBER_SIZE - 1;
      std::memmove(target, text, n);
      static_cast<char*>(target)[n] = 0;
      break;
    }
    case KV_NUM: {
      int64_t v = 0;
      if (read_int64(text, &v)) v = v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : v;
      *static_cast<int32_t*>(target) = int32_t(v);
      break;
    }
    case KV_HEX:
      *static_cast<uint32_t*>(target) = read_hex(text);
      break;
    case KV_DBL:
      *static_cast<double*>(target) = parse_number(text);
      break;
    case KV_INT64: {
      int64_t v = 0;
      read_int64(text, &v);
      *static_cast<int64_t*>(target) = v;
      break;
    }
    case KV_BOOL:
      *static_cast<uint8_t*>(target) = parse_bool(text) ? 1 : 0;
      break;
    default:
      break;
  }
}

bool KVDLGFIELD::num(int32_t* result) const {
  if (type != KV_NUM) return false;
  convert(result);
  return true;
}

int32_t KVDLGFIELD::num() const {
  int32_t result = 0;
  U62_CHECK(num(&result), "num(&result)", "appfile");
  return result;
}

bool KVDLGFIELD::boolean(uint8_t* result) const {
  if (type != KV_BOOL) return false;
  convert(result);
  return true;
}

bool KVDLGFIELD::boolean() const {
  uint8_t result = 0;
  U62_CHECK(boolean(&result), "boolean(&result)", "appfile");
  return result != 0;
}

bool KVDLGFIELD::set_num(int32_t v) {
  char* buf = fresh_value(this, 16);
  if (!buf) return false;
  std::snprintf(buf, 16, "%d", v);
  convert(binding);
  return true;
}

bool KVDLGFIELD::set_dbl(double v) {
  char* buf = fresh_value(this, 32);
  if (!buf) return false;
  // "%.16G" with "." as the decimal point in every locale.
  std::to_chars_result r = std::to_chars(buf, buf + 31, v, std::chars_format::general, 16);
  if (r.ec != std::errc()) r.ptr = buf;
  *r.ptr = 0;
  for (char* p = buf; *p; ++p)
    if (*p >= 'a' && *p <= 'z') *p = char(*p - 'a' + 'A');
  convert(binding);
  return true;
}

bool KVDLGFIELD::set_bool(bool v) {
  char* buf = fresh_value(this, 8);
  if (!buf) return false;
  std::snprintf(buf, 8, "%s", v ? "True" : "False");
  convert(binding);
  return true;
}
