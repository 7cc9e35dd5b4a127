// The command line and the readings file of orvane-host.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/options.h"
#include "host/recorder.h"

namespace {

bool parse(std::vector<std::string> args, ovhost::Options& o, std::string& error) {
  args.insert(args.begin(), "orvane-host");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return ovhost::parse_options(static_cast<int>(args.size()), argv.data(), o, error);
}

std::string read_all(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string temp_dir() {
  char pattern[] = "/tmp/orvane-host-test-XXXXXX";
  const char* dir = mkdtemp(pattern);
  return dir ? dir : "/tmp";
}

}  // namespace

TEST(Options, ParameterOptionsBecomeStoreEntriesInOrder) {
  struct {
    std::vector<std::string> args;
    std::vector<std::pair<std::string, std::string>> params;
  } cases[] = {
      {{"--interface", "COM7", "--address=5"}, {{"Interface", "COM7"}, {"Address", "5"}}},
      {{"--data-type", "freq"}, {{"Data Type", "1"}}},
      {{"--data-type", "Time-Interval"}, {{"Data Type", "0"}}},
      {{"--duration", "2.5", "--duration-type", "minutes"}, {{"Duration", "2.5"}, {"Duration Type", "2"}}},
      {{"--duration-type", "4"}, {{"Duration Type", "4"}}},
      {{"--stop-condition", "manual"}, {{"Stop Condition", "1"}}},
      {{"--query-id", "no"}, {{"Query Instrument ID", "False"}}},
      {{"--set", "Scale Factor=1E-9", "--set", "Notes=a=b"}, {{"Scale Factor", "1E-9"}, {"Notes", "a=b"}}},
      {{"--set=Trace="}, {{"Trace", ""}}},
  };
  for (auto& c : cases) {
    ovhost::Options o;
    std::string error;
    ASSERT_TRUE(parse(c.args, o, error)) << c.args[0] << ": " << error;
    EXPECT_EQ(o.params, c.params) << c.args[0];
  }
}

TEST(Options, BadCommandLinesAreRefusedWithAReason) {
  struct {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"--bogus"}, "unknown option"},
      {{"--module"}, "needs a value"},
      {{"--data-type", "volts"}, "--data-type"},
      {{"--duration-type", "weeks"}, "--duration-type"},
      {{"--duration", "-1"}, "--duration"},
      {{"--readings", "0"}, "--readings"},
      {{"--readings", "2.5"}, "--readings"},
      {{"--seconds", "abc"}, "--seconds"},
      {{"--set", "=x"}, "KEY=VALUE"},
      {{"--set", "novalue"}, "KEY=VALUE"},
      {{"--quiet=yes"}, "takes no value"},
      {{"--no-dialog", "--dialog-script", "f"}, "--dialog-script"},
      {{"--sim-gate-ms", "x"}, "--sim-gate-ms"},
  };
  for (auto& c : cases) {
    ovhost::Options o;
    std::string error;
    EXPECT_FALSE(parse(c.args, o, error)) << c.args[0];
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
}

TEST(Options, FlagsFollowTheDialogAndSettingsOptions) {
  struct {
    std::vector<std::string> args;
    int flags;
  } cases[] = {
      {{}, 0},
      {{"--no-dialog"}, 1},
      {{"--no-settings-read"}, 4},
      {{"--no-settings-write"}, 8},
      {{"--no-dialog", "--no-settings-read", "--no-settings-write"}, 13},
      {{"--simulate"}, 1 + 8},  // the direct TCP instrument is no dialog list entry
      {{"--simulate", "--dialog-script", "f"}, 8},
  };
  for (auto& c : cases) {
    ovhost::Options o;
    std::string error;
    ASSERT_TRUE(parse(c.args, o, error)) << error;
    EXPECT_EQ(ovhost::acquire_flags(o), c.flags) << (c.args.empty() ? "" : c.args[0]);
  }
}

TEST(Options, HelpNamesEveryOption) {
  std::string help = ovhost::usage("orvane-host");
  for (const char* option :
       {"--module", "--simulate", "--set", "--interface", "--address", "--data-type", "--duration",
        "--duration-type", "--stop-condition", "--settings-folder", "--no-dialog", "--no-settings-read",
        "--no-settings-write", "--output", "--quiet", "--readings", "--seconds", "--query-id", "--dialog-script"})
    EXPECT_NE(help.find(option), std::string::npos) << option;
}

TEST(Options, SettingsFolderDefaultsToThePerUserConfiguration) {
  std::string old_xdg = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
  std::string old_home = std::getenv("HOME") ? std::getenv("HOME") : "";
  setenv("XDG_CONFIG_HOME", "/x/cfg", 1);
  EXPECT_EQ(ovhost::default_settings_folder(), "/x/cfg/orvane/");
  setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored, as the XDG rules say
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(ovhost::default_settings_folder(), "/home/u/.config/orvane/");
  if (old_xdg.empty())
    unsetenv("XDG_CONFIG_HOME");
  else
    setenv("XDG_CONFIG_HOME", old_xdg.c_str(), 1);
  setenv("HOME", old_home.c_str(), 1);

  std::string dir = temp_dir() + "/a/b/c/";
  std::string error;
  EXPECT_TRUE(ovhost::make_folders(dir, error)) << error;
  EXPECT_EQ(access(dir.c_str(), W_OK), 0);
  EXPECT_TRUE(ovhost::make_folders(dir, error));  // already there
  std::ofstream(dir + "file") << "x";
  EXPECT_FALSE(ovhost::make_folders(dir + "file/sub", error));
}

TEST(Recorder, HeaderCarriesTheParametersAndEachReadingIsOnDiskAtOnce) {
  std::string path = temp_dir() + "/readings.txt";
  ovhost::Recorder r;
  std::string error;
  ASSERT_TRUE(r.open(path, error)) << error;
  r.set_parameters({{"Data Type", "0"}, {"Scale Factor", "1E9"}, {"Notes", "two\nlines\r\n"}, {"Interface", "."}});
  r.add(1.5e-9, false);
  // Still open: the line is already in the file.
  std::string text = read_all(path);
  EXPECT_NE(text.find("# Readings: time interval in seconds"), std::string::npos) << text;
  EXPECT_NE(text.find("# Scale Factor = 1E9\n"), std::string::npos);
  EXPECT_NE(text.find("# Notes = two lines\n"), std::string::npos);
  EXPECT_NE(text.find("# Interface = .\n"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 4), "1.5\n");
  r.add(-2e-9, false);
  r.close();
  text = read_all(path);
  EXPECT_EQ(text.substr(text.size() - 7), "1.5\n-2\n");
  EXPECT_EQ(r.count(), 2);
  EXPECT_FALSE(r.write_failed());

  // Every line is either a comment or one number.
  std::istringstream lines(text);
  std::string line;
  int numbers = 0;
  while (std::getline(lines, line)) {
    if (line[0] == '#') continue;
    char* end = nullptr;
    std::strtod(line.c_str(), &end);
    EXPECT_EQ(*end, 0) << line;
    numbers++;
  }
  EXPECT_EQ(numbers, 2);
}

TEST(Recorder, FrequencyReadingsKeepTheirDigitsAndAnUnusableScaleIsOne) {
  std::string path = temp_dir() + "/freq.txt";
  ovhost::Recorder r;
  std::string error;
  ASSERT_TRUE(r.open(path, error));
  r.set_parameters({{"Data Type", "1"}, {"Scale Factor", "0"}});
  r.add(10000000.0001234, true);
  r.close();
  std::string text = read_all(path);
  EXPECT_NE(text.find("# Readings: frequency in Hz"), std::string::npos);
  EXPECT_NE(text.find("\n10000000.0001234\n"), std::string::npos) << text;
}

TEST(Recorder, AFileWithoutReadingsStillHasItsHeader) {
  std::string path = temp_dir() + "/empty.txt";
  ovhost::Recorder r;
  std::string error;
  ASSERT_TRUE(r.open(path, error));
  r.set_parameters({{"Trace", "t"}});
  r.close();
  EXPECT_NE(read_all(path).find("# Trace = t\n"), std::string::npos);
  EXPECT_FALSE(r.open("/nonexistent-folder/x.txt", error));
  EXPECT_NE(error.find("/nonexistent-folder/x.txt"), std::string::npos);
}
