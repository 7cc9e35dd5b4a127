// Diagnostics: formatted dialog texts and thread naming.
#include <gtest/gtest.h>

#include <string>

#include "dialog/headless_surface.h"
#include "support/diag.h"

TEST(Diagnostics, DialogTextIsFormattedAndCutTo4095Characters) {
  HEADLESS_SURFACE surface;
  dlg_printf(&surface, 1020, "Up to %d characters", 1023);
  char text[8192];
  surface.get_text(1020, text, sizeof text);
  EXPECT_STREQ(text, "Up to 1023 characters");

  std::string long_text(5000, 'x');
  dlg_printf(&surface, 1020, "%s", long_text.c_str());
  EXPECT_EQ(surface.get_text(1020, text, sizeof text), 4095);
  EXPECT_EQ(std::string(text), long_text.substr(0, 4095));
}

TEST(Diagnostics, NamingAThreadWithoutADebuggerReturnsAtOnce) {
  name_thread("GPIB monitor thread", -1);
  name_thread("another thread", 12345);
}
