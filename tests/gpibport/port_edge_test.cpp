// Replies at the edges: version texts that end early, and reads that fill
// the whole receive area.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "drivers/shared/gpibport/gpibport.h"
#include "hook_recorder.h"
#include "scripted_peer.h"

namespace {

TEST(VersionParse, ReadsNoFurtherThanTheReply) {
  const struct {
    const char* reply;
    int major, minor, revision, extended;
  } cases[] = {
      {"Prologix GPIB-USB Controller version 6.107\r\n", 6, 107, 0, 1},
      {"Prologix GPIB-USB Controller version 3.12c\r\n", 3, 12, 'c', 1},
      {"Prologix GPIB-USB Controller version 3.12b\r\n", 3, 12, 'b', 0},
      {"version 3.12\n", 3, 12, '\n', 0},
      {"version 3.1\n", 3, 1, 0, 0},
      {"version 3\n", 3, 0, 0, 0},
      {"version \n", 1, 0, 0, 0},
      {"no version text here\n", 1, 0, 0, 0},
      {"AR488 GPIB controller, ver. 0.53.04\r\n", 1, 0, 0, 0},
      {"version 99999999999999.99999999999999\n", 1000000, 1000000, 0, 1},
      {"version -3.12c\n", -3, 12, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    SCRIPTED_PEER peer([&c](const std::string& line) { return line == "++ver" ? std::string(c.reply) : ""; });
    ASSERT_GT(peer.port(), 0);
    HOOK_RECORDER rec;
    GPIBPORT port;
    port.owner = &rec;
    port.select_interface(peer.descriptor().c_str());
    ASSERT_EQ(port.open(10, HOOK_RECORDER::hook, false, 300, -1, false, 4096, false), 1) << rec.all();
    EXPECT_EQ(port.fw_major, c.major);
    EXPECT_EQ(port.fw_minor, c.minor);
    EXPECT_EQ(port.fw_revision, c.revision);
    EXPECT_EQ(port.extended_commands, c.extended);
    port.close(false);
  }
}

// A reply longer than the receive area arrives as a full area of 65,536
// bytes; the port ends the text after all of them.
TEST(LongReply, FillsTheWorkBufferAndIsTerminated) {
  const std::string huge(70000, '7');
  SCRIPTED_PEER peer([&huge](const std::string& line) { return line == "DUMP?" ? huge + "\n" : ""; });
  ASSERT_GT(peer.port(), 0);
  HOOK_RECORDER rec;
  GPIBPORT port;
  port.owner = &rec;
  port.select_interface(peer.descriptor().c_str(), KIND_TCP_INSTRUMENT);
  ASSERT_EQ(port.open(3, HOOK_RECORDER::hook, false, 1500, -1, false, 4096, false), 1) << rec.all();
  ASSERT_EQ(port.send("DUMP?"), 1);
  int status = 0;
  char* part = port.receive(-1, true, false, &status);
  ASSERT_NE(part, nullptr) << rec.all();
  EXPECT_EQ(status, RX_FULL);
  EXPECT_EQ(std::strlen(part), static_cast<size_t>(RECV_AREA_SIZE));
  std::string rest;
  for (int i = 0; i < 10 && status != RX_TERMINATED; ++i) {
    part = port.receive(-1, true, false, &status);
    ASSERT_NE(part, nullptr);
    rest += part;
  }
  EXPECT_EQ(rest, std::string(70000 - RECV_AREA_SIZE, '7') + "\n");

  // The same through receive_bytes: the whole area, no terminator needed.
  ASSERT_EQ(port.send("DUMP?"), 1);
  int count = 0;
  uint8_t* bytes = port.receive_bytes(-1, true, false, &count);
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(count, RECV_AREA_SIZE);
  EXPECT_EQ(bytes[count - 1], '7');
  EXPECT_TRUE(rec.reports.empty()) << rec.all();
}

// A command that fills the work buffer to its last byte still goes out
// whole; one byte more is refused.
TEST(LongCommand, LargestThatFitsIsSentWhole) {
  SCRIPTED_PEER peer([](const std::string&) { return std::string(); });
  HOOK_RECORDER rec;
  GPIBPORT port;
  port.owner = &rec;
  port.select_interface(peer.descriptor().c_str(), KIND_TCP_INSTRUMENT);
  ASSERT_EQ(port.open(3, HOOK_RECORDER::hook, false, 1500, -1, false, 4096, false), 1) << rec.all();
  const std::string largest(GPIBPORT_WORK_SIZE - 2, 'c');
  EXPECT_EQ(port.send(largest.c_str()), 1);
  EXPECT_EQ(port.send((largest + "c").c_str()), 0);
  ASSERT_EQ(rec.reports.size(), 1u);
  for (int i = 0; i < 200 && peer.received().size() < largest.size() + 2; ++i) usleep(10000);
  EXPECT_EQ(peer.received(), largest + "\r\n");
  // Escaped bytes go out in pieces, all of them.
  const std::string plus(10000, '+');
  ASSERT_EQ(port.send_bytes(plus.data(), static_cast<int>(plus.size())), 1);
}

}  // namespace
