// Assertions for programming errors: a report that names the expression
// and the source, then the process stops. They stay on in every build; a
// driver that went on with an absent key or a missing host function would
// corrupt the host instead.
#pragma once

[[noreturn]] void u62_assert_failed(const char* expression, const char* source, int line);

#define U62_CHECK(expr, text, source) ((expr) ? (void)0 : u62_assert_failed(text, source, __LINE__))
