// The settings file (load and save) and the copy between stores.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "kv_fixture.h"

namespace {

class KvSettings : public KvTest {
 protected:
  void SetUp() override {
    KvTest::SetUp();
    std::string templ = ::testing::TempDir() + "kvsettingsXXXXXX";
    ASSERT_TRUE(mkdtemp(templ.data()));
    folder = templ + "/";
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + folder + "'";
    (void)system(cmd.c_str());
    KvTest::TearDown();
  }
  void write(const std::string& bytes, const char* name = "Brisel.ini") {
    std::ofstream(folder + name, std::ios::binary) << bytes;
  }
  std::string read(const char* name = "Brisel.ini") {
    std::ifstream in(folder + name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

  std::string folder;
  KVBASE store;
  DRIVER_LIKE p;
};

// The driver's seventeen parameters at their defaults, added the way the
// parameter set adds them.
struct DRIVER_SET {
  char text[5][KV_TEXT_MEMBER_SIZE] = {};
  double real[4] = {};
  int32_t integer[6] = {0, 29, 4, 1, 3, 0};
  uint8_t flag[2] = {0, 1};
  void bind(KVSTORE<KVDLGFIELD>& s) {
    s.addstr("Trace", text[0], nullptr, 0x05000001, 0);
    s.addstr("Notes", text[1], nullptr, 0x0A000001, 0);
    s.adddbl("Sample Interval", &real[0], "1.0", 0x32200041, 0);
    s.addnum("Data Type", &integer[0], nullptr, 0, 0);
    s.adddbl("Scale Factor", &real[1], "1.0", 0x2D000000, 0);
    s.adddbl("Input Freq", &real[2], "10E6", 0x14000081, 0);
    s.addnum("Bin Density", &integer[1], nullptr, 0x5A000000, 0);
    s.addnum("Bin Threshold", &integer[2], nullptr, 0x5F000000, 0);
    s.addnum("Trace History", &integer[3], nullptr, 0x50000000, 0);
    s.addstr("Address", text[2], "3", 0xF0000000, 0);
    s.addbool("Prologix Compatibility Mode", &flag[0], nullptr, 0, 0);
    s.addbool("Query Instrument ID", &flag[1], nullptr, 0, 0);
    s.addstr("Instrument", text[3], "Picotest/Array U6200A series", 0xE6000001, 0);
    s.adddbl("Duration", &real[3], "1", 0x3C001001, 0);
    s.addnum("Duration Type", &integer[4], nullptr, 0, 0);
    s.addnum("Stop Condition", &integer[5], nullptr, 0, 0);
    s.addstr("Interface", text[4], nullptr, 0, 0);
  }
};

TEST_F(KvSettings, SaveWritesOneQuotedLinePerEntryInCreationOrder) {
  DRIVER_SET set;
  KVBASE s;
  set.bind(s);
  s.put("Interface", "GPIB0");
  s.addstr("Hidden", nullptr, "x", 0, KVF_NOSAVE);
  ASSERT_TRUE(s.save(folder.c_str(), "Brisel.ini"));
  EXPECT_EQ(read(),
            "\"Trace\" \r\n"
            "\"Notes\" \r\n"
            "\"Sample Interval\" 1.0\r\n"
            "\"Data Type\" 0\r\n"
            "\"Scale Factor\" 1.0\r\n"
            "\"Input Freq\" 10E6\r\n"
            "\"Bin Density\" 29\r\n"
            "\"Bin Threshold\" 4\r\n"
            "\"Trace History\" 1\r\n"
            "\"Address\" 3\r\n"
            "\"Prologix Compatibility Mode\" False\r\n"
            "\"Query Instrument ID\" True\r\n"
            "\"Instrument\" Picotest/Array U6200A series\r\n"
            "\"Duration\" 1\r\n"
            "\"Duration Type\" 3\r\n"
            "\"Stop Condition\" 0\r\n"
            "\"Interface\" GPIB0\r\n");
  EXPECT_TRUE(boxes().empty());

  // And the file reads back into a fresh set unchanged.
  DRIVER_SET other;
  KVBASE t;
  other.bind(t);
  t.put("Bin Density", "50");
  ASSERT_TRUE(t.load(folder.c_str(), "Brisel.ini", LOAD_KNOWN_ONLY));
  EXPECT_EQ(other.integer[1], 29);
  EXPECT_STREQ(other.text[4], "GPIB0");
  EXPECT_EQ(t.count(), 17);
}

TEST_F(KvSettings, LoadSplitsEachLineIntoKeyAndValue) {
  p.bind(store);
  const struct {
    const char* line;
    const char* key;
    const char* value;  // null: the entry keeps "before"
  } cases[] = {
      {"  \"Bin Density\"   40  ", "Bin Density", "40"},
      {";\"Bin Density\" 40", "Bin Density", nullptr},
      {"Trace my caption", "Trace", "my caption"},
      {"'Input Freq' 5E6", "Input Freq", "5E6"},
      {"\"Trace", "Trace", ""},
      {"TRACE upper case key", "Trace", "upper case key"},
      {"\"Trace\"tight", "Trace", "tight"},
      {"\"Trace\"   ", "Trace", ""},
      {"Trace \"quoted\" 'inside'", "Trace", "\"quoted\" 'inside'"},
      {"\"Trace\" \t  spaced  \t", "Trace", "spaced"},
      {"Trace\tx y", "Trace", nullptr},  // tab does not end a key
      {"   \t  ", "Trace", nullptr},
      {"", "Trace", nullptr},
      {"'Trace\" x' y", "Trace", nullptr},
      {"Trace", "Trace", ""},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(store.put(c.key, "before"));
    write(std::string(c.line) + "\r\n");
    EXPECT_TRUE(store.load(folder.c_str(), "Brisel.ini", LOAD_KNOWN_ONLY)) << c.line;
    EXPECT_STREQ(store.lookup(c.key)->str(), c.value ? c.value : "before") << "line: " << c.line;
  }
  EXPECT_EQ(store.count(), 9) << "no line added an entry";
  EXPECT_EQ(p.input_freq, 5e6);
  EXPECT_TRUE(boxes().empty());
}

TEST_F(KvSettings, UnknownKeysAreIgnoredOrBecomeEntriesInFileOrder) {
  p.bind(store);
  write(
      "\"Extra\" one\r\n"
      "Sample Interval 0.5\r\n"
      " ;x comment?\r\n"
      "\"Extra\" two\r\n"
      "\"Bin Density\" 40\n"
      "\"Bin Density\" 41\r\n");
  ASSERT_TRUE(store.load(folder.c_str(), "Brisel.ini", LOAD_KNOWN_ONLY));
  EXPECT_EQ(store.count(), 9);
  EXPECT_EQ(p.bin_density, 41) << "the last of repeated lines wins";

  ASSERT_TRUE(store.load(folder.c_str(), "Brisel.ini", 0));
  EXPECT_EQ(keys_of(store), (std::vector<std::string>{"Trace", "Sample Interval", "Data Type", "Input Freq",
                                                      "Bin Density", "Query Instrument ID", "Instrument",
                                                      "Duration Type", "Interface", "Extra", "Sample", ";x",
                                                      "Extra"}));
  EXPECT_STREQ(store.lookup("Sample")->str(), "Interval 0.5");
  EXPECT_STREQ(store.lookup(";x")->str(), "comment?");
  ASSERT_TRUE(store.save(folder.c_str(), "Brisel.ini"));
  std::string saved = read();
  EXPECT_NE(saved.find("\"Extra\" one\r\n\"Sample\" Interval 0.5\r\n\";x\" comment?\r\n\"Extra\" two\r\n"),
            std::string::npos)
      << saved;
}

TEST_F(KvSettings, MissingFileIsSilentUnlessAskedFor) {
  p.bind(store);
  EXPECT_FALSE(store.load(folder.c_str(), "Brisel.ini", LOAD_KNOWN_ONLY));
  EXPECT_TRUE(boxes().empty());
  EXPECT_EQ(p.bin_density, 29);
  EXPECT_FALSE(store.load(folder.c_str(), "Brisel.ini", LOAD_REPORT_MISSING | LOAD_KNOWN_ONLY));
  EXPECT_EQ(last_box(), "File '" + folder + "Brisel.ini' not found");
  EXPECT_EQ(boxes().back().caption, "Error");
}

TEST_F(KvSettings, ReadOnlyEntryStopsTheLoadThere) {
  p.bind(store);
  store.addstr("Locked", nullptr, "keep", 0, KVF_READONLY);
  write("\"Bin Density\" 40\r\n\"Locked\" change\r\n\"Trace\" late\r\n");
  EXPECT_FALSE(store.load(folder.c_str(), "Brisel.ini", LOAD_KNOWN_ONLY));
  EXPECT_EQ(last_box(), "KVAL error: can't update read-only value Locked");
  EXPECT_EQ(p.bin_density, 40);
  EXPECT_STREQ(p.trace, "");
  EXPECT_STREQ(store.lookup("Locked")->str(), "keep");
}

TEST_F(KvSettings, QuotesAndSpacesSurviveARoundTrip) {
  store.put("Say \"hi\"", "  padded value  ");
  store.put("", "empty key");
  store.put("Plain", "");
  ASSERT_TRUE(store.save(folder.c_str(), "Brisel.ini"));
  EXPECT_EQ(read(), "'Say \"hi\"'   padded value  \r\n\"\" empty key\r\n\"Plain\" \r\n");
  KVBASE back;
  ASSERT_TRUE(back.load(folder.c_str(), "Brisel.ini", 0));
  ASSERT_EQ(back.count(), 3);
  EXPECT_STREQ(back.lookup("say \"HI\"")->str(), "padded value");
  EXPECT_STREQ(back.lookup("")->str(), "empty key");
  EXPECT_STREQ(back.lookup("plain")->str(), "");
}

TEST_F(KvSettings, LineBreaksInAValueCannotForgeAnotherLine) {
  p.bind(store);
  store.put("Interface", "COM3\r\n\"Instrument\" forged");
  ASSERT_TRUE(store.save(folder.c_str(), "Brisel.ini"));
  DRIVER_LIKE q;
  KVBASE back;
  q.bind(back);
  ASSERT_TRUE(back.load(folder.c_str(), "Brisel.ini", LOAD_KNOWN_ONLY));
  EXPECT_STREQ(q.interface_desc, "COM3  \"Instrument\" forged");
  EXPECT_STREQ(q.instrument, "Picotest/Array U6200A series");
}

TEST_F(KvSettings, LongLinesAreReadInPiecesAndBoundTextsAreCut) {
  p.bind(store);
  // One 5000-character value: the first 2046 characters are a line, the
  // rest are lines of their own with keys nobody knows.
  std::string value(5000, 'v');
  write("\"Trace\" " + value + "\r\n\"Bin Density\" 12");
  ASSERT_TRUE(store.load(folder.c_str(), "Brisel.ini", LOAD_KNOWN_ONLY));
  EXPECT_EQ(strlen(p.trace), size_t(KV_TEXT_MEMBER_SIZE - 1));
  EXPECT_EQ(std::string(p.trace), value.substr(0, KV_TEXT_MEMBER_SIZE - 1));
  EXPECT_EQ(p.bin_density, 12) << "a last line without a line end counts";
  EXPECT_EQ(store.count(), 9);

  KVBASE loose;
  ASSERT_TRUE(loose.load(folder.c_str(), "Brisel.ini", 0));
  ASSERT_EQ(loose.count(), 4);
  EXPECT_EQ(strlen(loose.at(0)->str()), size_t(KV_LINE_MAX - 8));
  EXPECT_EQ(strlen(loose.at(1)->key), size_t(KV_LINE_MAX));
  EXPECT_EQ(strlen(loose.at(2)->key), 5000 + 8 - 2 * size_t(KV_LINE_MAX));
  EXPECT_STREQ(loose.at(3)->str(), "12");
}

TEST_F(KvSettings, AnyBytesLoadWithoutHarm) {
  using namespace std::string_literals;
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk.push_back(char((i * 37 + i / 7) & 0xFF));
  junk += "\r\n\"\"\r\n'\r\n\"\r\n\"unbalanced value\r\n''  x\r\n"s;
  junk += "\0\"Trace\" hidden\r\n"s;
  junk += "\"Trace\" nul\0after\r\n"s;
  junk += "\r\r\r\n\"Trace\" last"s;
  write(junk);
  p.bind(store);
  EXPECT_TRUE(store.load(folder.c_str(), "Brisel.ini", LOAD_KNOWN_ONLY));
  EXPECT_STREQ(p.trace, "last");
  KVBASE all;
  EXPECT_TRUE(all.load(folder.c_str(), "Brisel.ini", LOAD_REPORT_MISSING));
  EXPECT_GT(all.count(), 0);
  for (int i = 0; i < all.count(); ++i) EXPECT_LE(strlen(all.at(i)->key) + strlen(all.at(i)->str()), size_t(KV_LINE_MAX));
  EXPECT_TRUE(boxes().empty());
}

TEST_F(KvSettings, SaveReportsFilesThatCannotBeWritten) {
  store.put("A", "1");
  std::string missing = folder + "no/such/folder/";
  EXPECT_FALSE(store.save(missing.c_str(), "Brisel.ini"));
  EXPECT_EQ(last_box(), "File '" + missing + "Brisel.ini' could not be opened for writing");
  if (access("/dev/full", W_OK) == 0) {
    EXPECT_FALSE(store.save("/dev/", "full"));
    EXPECT_EQ(last_box(), "Write failure -- disk full?");
  }
}

TEST_F(KvSettings, OverlongPathsAreCutAndNeverOpened) {
  p.bind(store);
  // A folder that makes the path exactly 259 characters still works.
  std::string deep = folder;
  size_t room = size_t(KV_PATH_MAX) - strlen("Brisel.ini") - deep.size();
  while (room >= 13) {
    deep += "dddddddddd/";
    mkdir(deep.c_str(), 0700);
    room -= 11;
  }
  deep += std::string(room - 1, 'e') + "/";
  ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
  ASSERT_EQ(deep.size() + strlen("Brisel.ini"), size_t(KV_PATH_MAX));
  EXPECT_TRUE(store.save(deep.c_str(), "Brisel.ini"));
  EXPECT_TRUE(store.load(deep.c_str(), "Brisel.ini", LOAD_REPORT_MISSING));
  EXPECT_TRUE(boxes().empty());

  // One more character: the path is cut in the message and nothing opens,
  // not even the file the cut path would name.
  std::string over = deep + "f";
  std::string name = "Brisel.ini";
  std::string cut = (over + name).substr(0, KV_PATH_MAX);
  EXPECT_FALSE(store.save(over.c_str(), name.c_str()));
  EXPECT_EQ(last_box(), "File '" + cut + "' could not be opened for writing");
  EXPECT_FALSE(exists(cut));
  EXPECT_FALSE(store.load(over.c_str(), name.c_str(), LOAD_REPORT_MISSING));
  EXPECT_EQ(last_box(), "File '" + cut + "' not found");
  std::string huge(5000, 'x');
  EXPECT_FALSE(store.load(huge.c_str(), name.c_str(), LOAD_REPORT_MISSING));
  EXPECT_EQ(last_box().size(), strlen("File '' not found") + KV_PATH_MAX);
}

// A host-side store whose messages are recorded, to see which store speaks.
class RECORDING_STORE : public KVSTORE<KVDLGFIELD> {
 public:
  std::vector<std::string> said;
  void report(int, const char* text) override { said.push_back(text); }
};

TEST_F(KvSettings, MergeCopiesValuesByKeyAndCreatesMissingEntries) {
  p.bind(store);
  store.addstr("Locked", nullptr, "old", 0, KVF_READONLY);
  store.addstr("Untouched", nullptr, "mine", 0, 0);
  RECORDING_STORE host;
  int32_t host_var = 0;
  host.addstr("bin density", nullptr, "55", 0, 0);
  host.addstr("Locked", nullptr, "new", 0, 0);
  KVDLGFIELD* n = host.addnum("Host Count", &host_var, "3", 0x77, KVF_NOSAVE);
  n->aux = 0x99;
  n->ctrl_ID = 1234;
  host.addstr("Host Text", nullptr, "hello", 0x11, 0);
  host.addstr("Trace", nullptr, std::string(3000, 't').c_str(), 0, 0);

  ASSERT_TRUE(store.merge_from(&host, false));
  EXPECT_EQ(p.bin_density, 55);
  EXPECT_STREQ(store.lookup("Bin Density")->key, "Bin Density") << "the destination keeps its own entry";
  EXPECT_EQ(store.lookup("Bin Density")->ctrl_ID, 1005);
  EXPECT_STREQ(store.lookup("Locked")->str(), "new");
  EXPECT_STREQ(store.lookup("Untouched")->str(), "mine");
  EXPECT_EQ(strlen(p.trace), size_t(KV_TEXT_MEMBER_SIZE - 1));
  KVDLGFIELD* c = store.lookup("host count");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->type, uint32_t(KV_NUM));
  EXPECT_EQ(c->attr, 0x77u);
  EXPECT_EQ(c->aux, 0x99u);
  EXPECT_EQ(c->flags, uint32_t(KVF_NOSAVE));
  EXPECT_EQ(c->binding, nullptr);
  EXPECT_EQ(c->ctrl_ID, 0);
  EXPECT_STREQ(c->str(), "3");
  EXPECT_EQ(store.at(store.count() - 1)->key, std::string("Host Text"));

  ASSERT_TRUE(store.save(folder.c_str(), "Brisel.ini"));
  std::string saved = read();
  EXPECT_NE(saved.find("\"Host Text\" hello\r\n"), std::string::npos);
  EXPECT_EQ(saved.find("Host Count"), std::string::npos);
  EXPECT_TRUE(host.said.empty());

  // With copy_bindings a new entry shares the host's variable.
  KVBASE other;
  ASSERT_TRUE(other.merge_from(&host, true));
  EXPECT_EQ(other.lookup("Host Count")->binding, &host_var);
  other.lookup("Host Count")->set_str("8");
  EXPECT_EQ(host_var, 8);
}

TEST_F(KvSettings, MergeReportsOutOfMemoryThroughTheSourceStore) {
  RECORDING_STORE host;
  host.addstr("One", nullptr, "1", 0, 0);
  host.addstr("Two", nullptr, "2", 0, 0);
  for (long fail_at : {0L, 1L, 2L}) {
    KVBASE dest;
    host.said.clear();
    ALLOC_WATCH::start(fail_at);  // key, node, value of the first new entry
    EXPECT_FALSE(dest.merge_from(&host, false));
    ALLOC_WATCH::stop();
    ASSERT_EQ(host.said, std::vector<std::string>{"Out of memory"}) << fail_at;
    EXPECT_STREQ(host.last_error, "Out of memory");
    EXPECT_EQ(dest.lookup("Two"), nullptr);
  }
  EXPECT_TRUE(boxes().empty()) << "the destination store says nothing";
}

}  // namespace
