// The container and the entry operations: adding, finding, putting,
// removing, the ordered walk, node reuse and the message path.
#include <cstring>
#include <set>
#include <string>

#include "kv_fixture.h"

namespace {

class KvStore : public KvTest {
 protected:
  KVBASE store;
};

TEST_F(KvStore, SecondAddOfAKeyIsRefusedByEveryAddOperation) {
  char text[KV_TEXT_MEMBER_SIZE];
  double d;
  int32_t n;
  uint8_t b;
  ASSERT_TRUE(store.addstr("Trace", text, "a", 0, 0));
  EXPECT_EQ(store.addstr("Trace", text, "b", 0, 0), nullptr);
  EXPECT_EQ(store.adddbl("TRACE", &d, "1", 0, 0), nullptr);
  EXPECT_EQ(store.addnum("trace", &n, nullptr, 0, 0), nullptr);
  EXPECT_EQ(store.addbool("Trace", &b, nullptr, 0, 0), nullptr);
  ASSERT_EQ(boxes().size(), 4u);
  EXPECT_EQ(boxes()[0].caption, "Error");
  EXPECT_EQ(boxes()[0].text, "KVAL error: addstr(Trace) already present");
  EXPECT_EQ(boxes()[1].text, "KVAL error: adddbl(TRACE) already present");
  EXPECT_EQ(boxes()[2].text, "KVAL error: addnum(trace) already present");
  EXPECT_EQ(boxes()[3].text, "KVAL error: addbool(Trace) already present");
  EXPECT_STREQ(store.last_error, "KVAL error: addbool(Trace) already present");
  EXPECT_EQ(store.count(), 1);
  EXPECT_STREQ(text, "a");
}

TEST_F(KvStore, MultiKeysAddFurtherEntriesAndLookupFindsTheNewest) {
  KVDLGFIELD* first = store.addstr("Trace", nullptr, "one", 0, 0);
  KVDLGFIELD* second = store.addstr("Trace", nullptr, "two", 0, KVF_MULTI);
  ASSERT_TRUE(second);
  EXPECT_EQ(store.count(), 2);
  EXPECT_EQ(store.lookup("trace"), second);
  EXPECT_EQ(store.at(0), first);
  EXPECT_EQ(store.at(1), second);
  EXPECT_TRUE(boxes().empty());
}

TEST_F(KvStore, KeysCompareWithoutCaseOfAsciiLettersOnly) {
  KVDLGFIELD* notes = store.addstr("Notes", nullptr, "", 0, 0);
  EXPECT_EQ(store.lookup("notes"), notes);
  EXPECT_EQ(store.lookup("NOTES"), notes);
  EXPECT_EQ(store.lookup("Note"), nullptr);
  EXPECT_EQ(store.lookup("Notes "), nullptr);
  // Bytes outside a-z and A-Z are compared exactly.
  store.addstr("\xC4x", nullptr, "", 0, 0);
  store.addstr("[a", nullptr, "", 0, 0);
  EXPECT_EQ(store.lookup("\xE4x"), nullptr);
  EXPECT_EQ(store.lookup("{a"), nullptr);
  EXPECT_NE(store.lookup("\xC4X"), nullptr);
}

TEST_F(KvStore, KeysOfOneBucketAreAllFound) {
  KVDLGFIELD* ab = store.addstr("AB", nullptr, "1", 0, 0);
  KVDLGFIELD* ba = store.addstr("ba", nullptr, "2", 0, 0);
  KVDLGFIELD* abx = store.addstr("ABxyz", nullptr, "3", 0, 0);
  EXPECT_EQ(ab->bucket, int(('A' ^ 'B') % 31));
  EXPECT_EQ(ab->bucket, ba->bucket);
  EXPECT_EQ(ab->bucket, abx->bucket);
  EXPECT_EQ(store.lookup("ab"), ab);
  EXPECT_EQ(store.lookup("BA"), ba);
  EXPECT_EQ(store.lookup("abXYZ"), abx);
  store.remove(ba);  // from the middle of the chain
  EXPECT_EQ(store.lookup("ab"), ab);
  EXPECT_EQ(store.lookup("abxyz"), abx);
  EXPECT_EQ(store.lookup("ba"), nullptr);
  // The empty key lives in bucket 0; a one-letter key pairs with its terminator.
  EXPECT_EQ(store.addstr("", nullptr, "e", 0, 0)->bucket, 0);
  EXPECT_EQ(store.addstr("a", nullptr, "x", 0, 0)->bucket, int('A' % 31));
  EXPECT_STREQ(store.lookup("")->str(), "e");
}

TEST_F(KvStore, PutUpdatesKnownKeysAndAddsMultiEntriesForNewOnes) {
  DRIVER_LIKE p;
  p.bind(store);
  ASSERT_TRUE(store.put("bin density", "40"));
  EXPECT_STREQ(p.e_bins->str(), "40");
  EXPECT_EQ(p.bin_density, 40);
  ASSERT_TRUE(store.put("Sample Interval", "1/4"));
  EXPECT_EQ(p.sample_interval, 0.25);

  int before = store.count();
  ASSERT_TRUE(store.put("Extra", "a"));
  KVDLGFIELD* extra = store.lookup("Extra");
  EXPECT_EQ(extra->type, uint32_t(KV_STR));
  EXPECT_EQ(extra->flags, uint32_t(KVF_MULTI));
  EXPECT_EQ(extra->attr, 0u);
  EXPECT_EQ(extra->binding, nullptr);
  ASSERT_TRUE(store.put("Extra", "b"));
  EXPECT_EQ(store.count(), before + 2);
  EXPECT_STREQ(store.at(before)->str(), "a");
  EXPECT_STREQ(store.at(before + 1)->str(), "b");
}

TEST_F(KvStore, UpdateRefusesReadOnlyEntries) {
  KVDLGFIELD* e = store.addstr("Fixed", nullptr, "old", 0, KVF_READONLY);
  EXPECT_FALSE(store.update(e, "new"));
  EXPECT_FALSE(store.put("fixed", "new"));
  EXPECT_STREQ(e->str(), "old");
  ASSERT_EQ(boxes().size(), 2u);
  EXPECT_EQ(boxes()[0].text, "KVAL error: can't update read-only value Fixed");
  // set_str itself does not look at the flag: copies between stores rely on it.
  EXPECT_TRUE(e->set_str("forced"));
  EXPECT_STREQ(e->str(), "forced");
}

TEST_F(KvStore, FirstValueComesFromTheDefaultTextOrTheBinding) {
  int32_t n = 29;
  double d = 2.5;
  uint8_t b = 1;
  char text[KV_TEXT_MEMBER_SIZE] = "from member";
  EXPECT_STREQ(store.addnum("N", &n, nullptr, 0, 0)->str(), "29");
  EXPECT_STREQ(store.adddbl("D", &d, nullptr, 0, 0)->str(), "2.5");
  EXPECT_STREQ(store.addbool("B", &b, nullptr, 0, 0)->str(), "True");
  EXPECT_STREQ(store.addstr("S", text, nullptr, 0, 0)->str(), "from member");
  EXPECT_STREQ(store.addstr("Empty", nullptr, nullptr, 0, 0)->str(), "");
  // A default text wins over the binding, and the binding follows it.
  EXPECT_STREQ(store.addnum("N2", &n, "7", 0, 0)->str(), "7");
  EXPECT_EQ(n, 7);
  EXPECT_STREQ(store.addbool("B2", &b, "no", 0, 0)->str(), "True");
  EXPECT_STREQ(store.adddbl("D2", &d, "10E6", 0x14000081, 0)->str(), "10E6");
  EXPECT_EQ(d, 1e7);
  KVDLGFIELD* e = store.lookup("D2");
  EXPECT_EQ(e->attr, 0x14000081u);
  EXPECT_EQ(e->aux, 0u);
  EXPECT_EQ(e->enabled, 1);
  EXPECT_EQ(e->ctrl_ID, 0);
  EXPECT_EQ(e->in_use, 1u);
}

TEST_F(KvStore, RemovedNodesAreReusedAndTheNewEntryIsLast) {
  KVDLGFIELD* a = store.addstr("A", nullptr, "1", 0, 0);
  KVDLGFIELD* b = store.addstr("B", nullptr, "2", 0, 0);
  store.addstr("C", nullptr, "3", 0, 0);
  store.remove(a);
  store.remove(b);
  EXPECT_EQ(a->in_use, 0u);
  EXPECT_EQ(store.list.free_list.count, 2);
  store.remove(b);  // already free: nothing
  store.remove(nullptr);
  EXPECT_EQ(store.list.free_list.count, 2);
  // The node freed last comes back first.
  EXPECT_EQ(store.addstr("D", nullptr, "4", 0, 0), b);
  EXPECT_EQ(store.addstr("E", nullptr, "5", 0, 0), a);
  EXPECT_EQ(keys_of(store), (std::vector<std::string>{"C", "D", "E"}));
  EXPECT_EQ(store.lookup("A"), nullptr);
  EXPECT_EQ(store.lookup("b"), nullptr);
}

TEST_F(KvStore, DeletingAndRecreatingABoundSetAllocatesNoNodes) {
  auto* p = new DRIVER_LIKE;
  auto* q = new DRIVER_LIKE;
  // Seventeen bound entries, as many as the driver's parameter set.
  p->bind(store);
  for (int i = 0; i < 8; ++i) store.addnum(("X" + std::to_string(i)).c_str(), &q->bin_density, nullptr, 0, 0);
  ASSERT_EQ(store.count(), 17);
  clear_boxes();
  std::set<KVDLGFIELD*> nodes;
  for (int i = 0; i < store.count(); ++i) nodes.insert(store.at(i));
  while (store.count()) store.remove(store.at(store.count() - 1));

  ALLOC_WATCH::start();
  p->bind(store);
  for (int i = 0; i < 8; ++i) store.addnum(("X" + std::to_string(i)).c_str(), &q->bin_density, nullptr, 0, 0);
  ALLOC_WATCH::stop();
  EXPECT_EQ(ALLOC_WATCH::count_of_size(sizeof(KVDLGFIELD)), 0);
  EXPECT_EQ(ALLOC_WATCH::count(), 34) << "one key and one value text per entry";
  std::set<KVDLGFIELD*> again;
  for (int i = 0; i < store.count(); ++i) again.insert(store.at(i));
  EXPECT_EQ(again, nodes);
  EXPECT_EQ(store.list.free_list.count, 0);
  EXPECT_TRUE(boxes().empty());
  delete p;
  delete q;
}

TEST_F(KvStore, OrderedWalkFollowsCreationWhateverTheAccessPattern) {
  for (const char* k : {"k0", "k1", "k2", "k3", "k4", "k5"}) store.addstr(k, nullptr, k, 0, 0);
  store.remove(store.lookup("k2"));
  store.addstr("k6", nullptr, "k6", 0, 0);
  std::vector<std::string> expect{"k0", "k1", "k3", "k4", "k5", "k6"};
  EXPECT_EQ(keys_of(store), expect);
  // Jumps, repeats and walks interrupted by changes all answer by position.
  const int order[] = {4, 1, 2, 2, 5, 0, 3, 4, 5};
  for (int i : order) EXPECT_EQ(store.at(i)->key, expect[size_t(i)]) << i;
  EXPECT_EQ(store.at(1)->key, std::string("k1"));
  store.addstr("k7", nullptr, "k7", 0, 0);
  EXPECT_EQ(store.at(2)->key, std::string("k3"));
  EXPECT_EQ(store.at(6)->key, std::string("k7"));
  EXPECT_EQ(store.at(7), nullptr);
  EXPECT_EQ(store.at(-1), nullptr);
  EXPECT_EQ(store.list.cursor_pos, -1);
}

TEST_F(KvStore, ReportfCutsTrimsAndKeepsLevelFourMessages) {
  std::string longer(1500, 'x');
  store.reportf(4, "%s", longer.c_str());
  ASSERT_EQ(boxes().size(), 1u);
  EXPECT_EQ(boxes()[0].text, std::string(1023, 'x'));
  EXPECT_EQ(std::string(store.last_error), std::string(1023, 'x'));

  store.reportf(4, "trailing \t\r\n  ");
  EXPECT_EQ(last_box(), "trailing");
  store.reportf(4, "   ");
  EXPECT_EQ(last_box(), " ") << "the first character stays";
  store.reportf(5, "level five");
  EXPECT_EQ(last_box(), "level five") << "above 4 is a box too";
  EXPECT_STREQ(store.last_error, " ") << "but only level 4 is kept";

  // Below level 4 the driver's store writes to standard output and keeps
  // last_error as it was; so does the plain store at every level.
  ::testing::internal::CaptureStdout();
  store.reportf(3, "note %d  \n", 3);
  KVSTORE<KVDLGFIELD> plain;
  plain.reportf(4, "plain %s", "four");
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "note 3\nplain four\n");
  EXPECT_EQ(boxes().size(), 4u);
  EXPECT_STREQ(store.last_error, " ");
  EXPECT_STREQ(plain.last_error, "plain four");
  KVBASE fresh;
  EXPECT_STREQ(fresh.last_error, "");
}

TEST_F(KvStore, OutOfMemoryIsReportedAndLeavesNoHalfEntry) {
  // Allocations of an add: key text, node (none free yet), value text.
  const struct {
    long fail_at;
    const char* message;
  } cases[] = {{0, "KVAL error: addnum(Bins) out of memory"},
               {1, "KVAL error: addnum(Bins) out of memory"},
               {2, "KVAL error: addnum(Bins) out of memory"}};
  for (const auto& c : cases) {
    KVBASE s;
    int32_t bins = 29;
    clear_boxes();
    ALLOC_WATCH::start(c.fail_at);
    EXPECT_EQ(s.addnum("Bins", &bins, nullptr, 0, 0), nullptr);
    ALLOC_WATCH::stop();
    EXPECT_EQ(last_box(), c.message) << c.fail_at;
    EXPECT_EQ(s.count(), 0);
    EXPECT_EQ(s.lookup("Bins"), nullptr);
    EXPECT_EQ(bins, 29);
  }
  KVDLGFIELD* e = store.addstr("Trace", nullptr, "kept", 0, 0);
  ALLOC_WATCH::start(0);
  EXPECT_FALSE(store.update(e, "lost"));
  ALLOC_WATCH::stop();
  EXPECT_EQ(last_box(), "KVAL error: update() out of memory, key Trace");
  EXPECT_STREQ(e->str(), "kept");
  ALLOC_WATCH::start(0);
  EXPECT_FALSE(store.put("New", "x"));
  ALLOC_WATCH::stop();
  EXPECT_EQ(last_box(), "KVAL error: addstr(New) out of memory");
}

TEST_F(KvStore, BoundTextMembersNeverOverflow) {
  struct {
    char text[KV_TEXT_MEMBER_SIZE];
    char guard[32];
  } member;
  memset(&member, 0, sizeof member);
  memset(member.guard, 0x5A, sizeof member.guard);
  KVDLGFIELD* e = store.addstr("Notes", member.text, nullptr, 0, 0);
  std::string longer(5000, 'n');
  ASSERT_TRUE(store.put("Notes", longer.c_str()));
  EXPECT_EQ(strlen(member.text), size_t(KV_TEXT_MEMBER_SIZE - 1));
  EXPECT_EQ(strlen(e->str()), size_t(KV_TEXT_MEMBER_SIZE - 1)) << "text and member agree";
  for (char g : member.guard) ASSERT_EQ(g, 0x5A);
  // An unterminated member gives at most what the member can hold.
  memset(member.text, 'm', sizeof member.text);
  KVDLGFIELD* f = store.addstr("Other", member.text, nullptr, 0, 0);
  EXPECT_EQ(strlen(f->str()), size_t(KV_TEXT_MEMBER_SIZE - 1));
  for (char g : member.guard) ASSERT_EQ(g, 0x5A);
  // Unbound texts keep their whole length.
  ASSERT_TRUE(store.put("Loose", longer.c_str()));
  EXPECT_EQ(strlen(store.lookup("Loose")->str()), longer.size());
}

TEST_F(KvStore, AbsentKeyStopsAtTheAssertion) {
  EXPECT_DEATH(store.lookup(nullptr), "V != NULL.*stdtpl");
  EXPECT_DEATH(store.put(nullptr, "x"), "V != NULL.*stdtpl");
  EXPECT_DEATH(store.addstr(nullptr, nullptr, "x", 0, 0), "V != NULL.*stdtpl");
}

TEST(KvLayout, StoreMembersFollowTheVirtualTable) {
  KVBASE s;
  const char* base = reinterpret_cast<const char*>(&s);
  EXPECT_EQ(reinterpret_cast<const char*>(&s.list) - base, ptrdiff_t(sizeof(void*)));
  EXPECT_EQ(reinterpret_cast<const char*>(&s.last_error) - base, ptrdiff_t(sizeof(void*) + sizeof(HASHLIST)));
  EXPECT_EQ(sizeof(KVBASE), sizeof(void*) + sizeof(HASHLIST) + KV_MESSAGE_SIZE);
}

}  // namespace
