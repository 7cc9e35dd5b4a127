// Value texts to numbers, truth values and integer texts, and the typed
// accessors of an entry.
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <string>

#include "kv_fixture.h"

namespace {

struct NUMBER_CASE {
  const char* text;
  double value;
};

TEST(KvParseNumber, ReadsNotationsFractionsAndProducts) {
  const NUMBER_CASE cases[] = {
      {"1/10", 0.1},     {"10E6", 1e7},    {"1E-18", 1e-18}, {"1/0", 0},       {"1/1e-31", 0},
      {"1/", 1},         {"/4", 0},        {"2*3", 6},       {"5*", 0},        {"abc", 0},
      {"", 0},           {"  -1.5", -1.5}, {"1 000", 1000},  {"- 5", -5},      {"1 / 10", 0.1},
      {"2*3/4", 0.5},    {"+7", 7},        {".5", 0.5},      {"5.", 5},        {"1e", 1},
      {"1e+", 1},        {"2E+8", 2e8},    {"12abc", 12},    {"\t3", 3},       {"   ", 0},
      {"-0.001", -0.001}, {"1.0", 1.0},    {"0x10", 0},      {"inf", 0},       {"nan", 0},
      {"1e-400", 0},     {"1/2/4", 0.5},   {"3*-2", -6},
  };
  for (const NUMBER_CASE& c : cases) EXPECT_DOUBLE_EQ(parse_number(c.text), c.value) << "'" << c.text << "'";
  EXPECT_EQ(parse_number(nullptr), 0.0);
}

TEST(KvParseNumber, OverflowSaturatesAndNoTextGivesNaN) {
  EXPECT_EQ(parse_number("1e999"), HUGE_VAL);
  EXPECT_EQ(parse_number("-1e999"), -HUGE_VAL);
  EXPECT_EQ(parse_number(std::string(400, '9').c_str()), HUGE_VAL);
  // Quotients and products of infinities have no value; they read as no
  // number rather than as NaN, which would pass every range check.
  EXPECT_EQ(parse_number("1e999/1e999"), 0.0);
  EXPECT_EQ(parse_number("1e999*0"), 0.0);
  // A long text is read whole, not cut.
  std::string big = "1" + std::string(600, '0');
  EXPECT_EQ(parse_number(big.c_str()), HUGE_VAL);
  EXPECT_EQ(parse_number(("0." + std::string(400, '0') + "1").c_str()), 0.0);
  std::string wide = std::string(3000, ' ') + "4" + std::string(3000, ' ') + "2";
  EXPECT_DOUBLE_EQ(parse_number(wide.c_str()), 42);
}

TEST(KvParseBool, OnlyZeroAndFAreFalse) {
  const struct {
    const char* text;
    bool value;
  } cases[] = {{"False", false}, {"false", false}, {"f", false},  {"F", false},   {"0", false},
               {" false", false}, {"\t0", false}, {"True", true}, {"1", true},    {"yes", true},
               {"no", true},      {"off", true},  {"", true},     {"   ", true},  {"2", true}};
  for (const auto& c : cases) EXPECT_EQ(parse_bool(c.text), c.value) << "'" << c.text << "'";
  EXPECT_TRUE(parse_bool(nullptr));
}

TEST(KvNormaliseInt, RoundsHalvesAwayFromZero) {
  const struct {
    const char* text;
    const char* out;
  } cases[] = {{"0.5", "1"}, {"-0.5", "-1"}, {"0", "0"},   {"7", "7"},     {"+7", "7"}, {"2.5", "3"},
               {"-2.5", "-3"}, {"-0.4", "0"}, {"1-2", "1"}, {"abc", "0"},  {"", "0"},   {"2147483647", "2147483647"},
               {"-2147483648", "-2147483648"}, {"99999999999", "99999999999"}, {"-5000000000", "-5000000000"}};
  for (const auto& c : cases) {
    char out[64];
    EXPECT_STREQ(normalise_int(c.text, out, sizeof out), c.out) << "'" << c.text << "'";
  }
}

TEST(KvNormaliseInt, HugeNumbersStayHugeAndTheOutputIsCut) {
  char out[512];
  normalise_int(std::string(400, '9').c_str(), out, sizeof out);
  EXPECT_EQ(std::string(out).size(), 309u);
  EXPECT_GT(parse_number(out), 1e308);
  char tiny[4];
  EXPECT_STREQ(normalise_int("123456", tiny, sizeof tiny), "123");
}

// An entry of the given type in its own store, with the text set.
class KvEntry : public KvTest {
 protected:
  KVSTORE<KVDLGFIELD> store;
  KVDLGFIELD* entry(uint32_t type, const char* text) {
    KVDLGFIELD* e = store.addstr(("k" + std::to_string(store.count())).c_str(), nullptr, nullptr, 0, 0);
    e->type = type;
    e->set_str(text);
    return e;
  }
};

TEST_F(KvEntry, ConvertReadsEachTypeLikeTheFormattedReaders) {
  const struct {
    const char* text;
    int32_t num;
  } nums[] = {{"3.7", 3}, {"12abc", 12}, {"abc", 0}, {"  -4", -4}, {"99999999999", INT32_MAX},
              {"-99999999999", INT32_MIN}, {"", 0}};
  for (const auto& c : nums) {
    int32_t v = 77;
    entry(KV_NUM, c.text)->convert(&v);
    EXPECT_EQ(v, c.num) << c.text;
  }
  const struct {
    const char* text;
    uint32_t hex;
  } hexes[] = {{"0x1F", 0x1F}, {"0xffffffff", 0xFFFFFFFFu}, {"0X1F", 0}, {"1F", 0}, {"0x", 0}, {"0x123456789", 0xFFFFFFFFu}};
  for (const auto& c : hexes) {
    uint32_t v = 77;
    entry(KV_HEX, c.text)->convert(&v);
    EXPECT_EQ(v, c.hex) << c.text;
  }
  int64_t big = 0;
  entry(KV_INT64, "-9000000000")->convert(&big);
  EXPECT_EQ(big, -9000000000LL);
  entry(KV_INT64, "99999999999999999999")->convert(&big);
  EXPECT_EQ(big, INT64_MAX);
  double d = 0;
  entry(KV_DBL, "1/4")->convert(&d);
  EXPECT_EQ(d, 0.25);
  uint8_t b = 7;
  entry(KV_BOOL, "off")->convert(&b);
  EXPECT_EQ(b, 1);
  // Untyped entries convert nothing, and a null target is left alone.
  int32_t untouched = 5;
  entry(0, "9")->convert(&untouched);
  EXPECT_EQ(untouched, 5);
  entry(KV_NUM, "9")->convert(nullptr);
}

TEST_F(KvEntry, SettersFormatAndRefreshTheBinding) {
  uint8_t flag = 0;
  KVDLGFIELD* b = store.addbool("Switch", &flag, "no", 0, 0);
  EXPECT_STREQ(b->str(), "True");
  EXPECT_EQ(flag, 1);
  ASSERT_TRUE(b->set_bool(false));
  EXPECT_STREQ(b->str(), "False");
  EXPECT_EQ(flag, 0);
  EXPECT_FALSE(b->boolean());

  int32_t n = 0;
  KVDLGFIELD* e = store.addnum("Number", &n, nullptr, 0, 0);
  ASSERT_TRUE(e->set_num(-1));
  EXPECT_STREQ(e->str(), "-1");
  EXPECT_EQ(n, -1);
  ASSERT_TRUE(e->set_num(INT32_MIN));
  EXPECT_STREQ(e->str(), "-2147483648");
  e->set_str("4");
  EXPECT_EQ(e->num(), 4);

  double x = 0;
  KVDLGFIELD* r = store.adddbl("Real", &x, nullptr, 0, 0);
  const struct {
    double v;
    const char* text;
  } reals[] = {{0.1, "0.1"}, {1e7, "10000000"}, {1e-18, "1E-18"}, {-2.5, "-2.5"}, {1e20, "1E+20"},
               {123456789.123, "123456789.123"}, {0, "0"}};
  for (const auto& c : reals) {
    ASSERT_TRUE(r->set_dbl(c.v));
    EXPECT_STREQ(r->str(), c.text);
    EXPECT_DOUBLE_EQ(x, c.v);
  }
}

TEST_F(KvEntry, TypedReadersRefuseOtherTypes) {
  int32_t n = 0;
  uint8_t b = 0;
  KVDLGFIELD* text = entry(KV_STR, "1");
  EXPECT_FALSE(text->num(&n));
  EXPECT_FALSE(text->boolean(&b));
  EXPECT_DEATH(text->num(), "num\\(&result\\).*appfile");
  EXPECT_DEATH(text->boolean(), "boolean\\(&result\\).*appfile");
}

// Conversions must not follow the process locale: a host that switched to
// a locale with a decimal comma still reads and writes "1.5".
TEST_F(KvEntry, ConversionsIgnoreTheProcessLocale) {
  std::string dir = ::testing::TempDir() + "kvlocale";
  std::string cmd = "mkdir -p " + dir + " && localedef -f UTF-8 -i de_DE " + dir + "/de_DE.UTF-8 >/dev/null 2>&1";
  (void)std::system(cmd.c_str());
  setenv("LOCPATH", dir.c_str(), 1);
  if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "de_DE locale not available";
  char probe[16];
  snprintf(probe, sizeof probe, "%.1f", 1.5);
  double x = 0;
  KVDLGFIELD* r = store.adddbl("Real", &x, "1.5", 0, 0);
  bool set = r->set_dbl(2.25);
  std::string text = r->str();
  double parsed = parse_number("3.5e1");
  std::setlocale(LC_ALL, "C");
  unsetenv("LOCPATH");
  EXPECT_STREQ(probe, "1,5") << "the locale did not take effect";
  ASSERT_TRUE(set);
  EXPECT_EQ(text, "2.25");
  EXPECT_EQ(x, 2.25);
  EXPECT_EQ(parsed, 35.0);
}

}  // namespace
