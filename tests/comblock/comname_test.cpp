#include "platform/comname.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

// A temporary devices folder; the environment points at it while the
// fixture lives.
class ComblockComNameFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/u62-devices-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    setenv("ORVANE_DEVICES", dir_.c_str(), 1);
  }
  void TearDown() override {
    for (const std::string& link : links_) unlink(link.c_str());
    rmdir(dir_.c_str());
    unsetenv("ORVANE_DEVICES");
  }
  void link(const char* name, const char* target) {
    std::string path = dir_ + "/" + name;
    ASSERT_EQ(symlink(target, path.c_str()), 0);
    links_.push_back(path);
  }
  std::string dir_;
  std::vector<std::string> links_;
};

TEST(ComblockComName, ParsesComNumbers) {
  struct {
    const char* name;
    int n;
  } cases[] = {
      {"COM1", 1},  {"com7", 7},   {"Com12", 12}, {"COM07", 7}, {"COM256", 256}, {"COM257", 0}, {"COM0", 0},
      {"COM", 0},   {"COM3:baud=9600", 0}, {"COMx", 0}, {"LPT1", 0}, {"", 0}, {"COM99999999999999999", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(plat_com_parse_name(c.name), c.n) << c.name;
  EXPECT_EQ(plat_com_parse_name(nullptr), 0);
}

TEST(ComblockComName, FixedMapWithoutDevicesFolder) {
  unsetenv("ORVANE_DEVICES");
  struct {
    int n;
    const char* path;
  } cases[] = {{1, "/dev/ttyS0"},    {32, "/dev/ttyS31"},   {33, "/dev/ttyUSB0"}, {64, "/dev/ttyUSB31"},
               {65, "/dev/ttyACM0"}, {96, "/dev/ttyACM31"}, {97, ""},             {0, ""}};
  for (const auto& c : cases) {
    char path[PLAT_COM_PATH_SIZE] = "junk";
    EXPECT_EQ(plat_com_device_path(c.n, path, sizeof path), *c.path != '\0') << c.n;
    EXPECT_STREQ(path, c.path);
  }
  EXPECT_EQ(plat_com_number("/dev/ttyUSB3"), 36);
  EXPECT_EQ(plat_com_number("/dev/ttyS0"), 1);
  EXPECT_EQ(plat_com_number("/dev/null"), 0);
}

TEST(ComblockComName, NamesToPaths) {
  unsetenv("ORVANE_DEVICES");
  struct {
    const char* name;
    const char* path;
  } cases[] = {{"com34", "/dev/ttyUSB1"}, {"/dev/serial/by-id/usb-x", "/dev/serial/by-id/usb-x"},
               {"ttyAMA0", "/dev/ttyAMA0"}, {"COM300", ""}, {"", ""}};
  for (const auto& c : cases) {
    char path[PLAT_COM_PATH_SIZE];
    EXPECT_EQ(plat_com_path_for_name(c.name, path, sizeof path), *c.path != '\0') << c.name;
    EXPECT_STREQ(path, c.path);
  }
}

TEST(ComblockComName, PathsThatDoNotFitAreRefused) {
  std::string long_name(300, 'x');
  long_name[0] = '/';
  char path[PLAT_COM_PATH_SIZE] = "junk";
  EXPECT_FALSE(plat_com_path_for_name(long_name.c_str(), path, sizeof path));
  EXPECT_STREQ(path, "");
  char tiny[8] = "junk";
  EXPECT_FALSE(plat_com_device_path(33, tiny, sizeof tiny));
  EXPECT_STREQ(tiny, "");
}

TEST_F(ComblockComNameFolder, ComNumbersNameTheFolderEntries) {
  link("com7", "/dev/null");
  link("com3", "/dev/zero");
  link("com12", "/dev/u62-no-such-device");  // dangling: not present
  link("com05", "/dev/null");                // not a canonical name
  link("comx", "/dev/null");
  link("tty1", "/dev/null");
  char path[PLAT_COM_PATH_SIZE];
  ASSERT_TRUE(plat_com_path_for_name("COM7", path, sizeof path));
  EXPECT_EQ(std::string(path), dir_ + "/com7");
  // Numbers beyond the fixed map are fine here.
  ASSERT_TRUE(plat_com_device_path(200, path, sizeof path));
  EXPECT_EQ(std::string(path), dir_ + "/com200");

  int numbers[8] = {};
  ASSERT_EQ(plat_com_list(numbers, 8), 2);
  EXPECT_EQ(numbers[0], 3);
  EXPECT_EQ(numbers[1], 7);
  EXPECT_EQ(plat_com_list(numbers, 1), 1);
  EXPECT_EQ(numbers[0], 3);

  EXPECT_EQ(plat_com_number((dir_ + "/com7").c_str()), 7);
  EXPECT_EQ(plat_com_number("/dev/zero"), 3);  // the device behind the link
  EXPECT_EQ(plat_com_number("/dev/ttyS0"), 0);  // the fixed map is off
}

}  // namespace
