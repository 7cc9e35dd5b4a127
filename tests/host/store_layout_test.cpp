// The store crosses the host boundary as bare memory: the host reads the
// driver's store through its layout, and the driver's code reads the host's
// store. Both directions, with the driver's own store code on the other side.
#include <gtest/gtest.h>

#include "host/host.h"
#include "host/host_store.h"
#include "kvstore/kvstore.h"

TEST(StoreLayout, HostReadsTheDriversStoreInCreationOrder) {
  KVBASE store;
  char trace[KV_TEXT_MEMBER_SIZE] = "";
  int32_t density = 29;
  uint8_t query = 1;
  ASSERT_NE(store.addstr("Trace", trace, "caption", 0x05000001, 0), nullptr);
  ASSERT_NE(store.addnum("Bin Density", &density, nullptr, 0x5A000000, 0), nullptr);
  ASSERT_NE(store.addbool("Query Instrument ID", &query, nullptr, 0, 0), nullptr);
  ASSERT_TRUE(store.put("Extra", "x"));
  ASSERT_TRUE(store.put("Extra", "y"));  // a second entry of the same key
  store.remove(store.lookup("Trace"));
  ASSERT_NE(store.addstr("Trace", trace, "again", 0, 0), nullptr);  // reuses the freed node, goes last

  std::vector<ovhost::Param> got = ovhost::read_store(&store);
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0].key, "Bin Density");
  EXPECT_EQ(got[0].value, "29");
  EXPECT_EQ(got[0].type, static_cast<uint32_t>(KV_NUM));
  EXPECT_EQ(got[0].attr, 0x5A000000u);
  EXPECT_EQ(got[1].value, "True");
  EXPECT_EQ(got[2].key, "Extra");
  EXPECT_EQ(got[2].flags, static_cast<uint32_t>(KVF_MULTI));
  EXPECT_EQ(got[3].value, "y");
  EXPECT_EQ(got[4].key, "Trace");
  EXPECT_EQ(got[4].value, "again");

  EXPECT_EQ(ovhost::read_store(&store, 2).size(), 2u);
  EXPECT_TRUE(ovhost::read_store(nullptr).empty());
}

TEST(StoreLayout, DriversCodeMergesTheHostStore) {
  ovhost::HostStore host;
  host.put("Trace", "from the host");
  host.put("Unknown Key", "kept");
  host.put("Data Type", "1");

  KVBASE driver;
  char trace[KV_TEXT_MEMBER_SIZE] = "";
  int32_t data_type = 0;
  ASSERT_NE(driver.addstr("Trace", trace, "", 0, 0), nullptr);
  ASSERT_NE(driver.addnum("Data Type", &data_type, nullptr, 0, 0), nullptr);
  ASSERT_TRUE(driver.merge_from(host.kvbase(), false));

  EXPECT_STREQ(trace, "from the host");
  EXPECT_EQ(data_type, 1);
  KVDLGFIELD* extra = driver.lookup("unknown key");
  ASSERT_NE(extra, nullptr);
  EXPECT_STREQ(extra->str(), "kept");
  EXPECT_EQ(extra->type, static_cast<uint32_t>(KV_STR));
  // The driver's own lookup finds the host's entries through the buckets.
  EXPECT_NE(static_cast<KVSTORE<KVDLGFIELD>*>(host.kvbase())->lookup("DATA TYPE"), nullptr);
  EXPECT_EQ(static_cast<KVSTORE<KVDLGFIELD>*>(host.kvbase())->count(), 3);
}
