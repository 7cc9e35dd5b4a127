// The LAN discovery datagrams, the address text, the socket error report and
// the small text helpers: everything that needs no network.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "drivers/shared/gpibport/discovery/discovery.h"
#include "drivers/shared/gpibport/gpibport.h"
#include "platform/msgbox.h"
#include "platform/syserror.h"

namespace {

std::vector<uint8_t> reply(uint16_t sequence, size_t length = 76) {
  std::vector<uint8_t> r(length, 0);
  const uint8_t head[] = {0x5A, 0x01, static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence), 0x00,
                          0x21, 0x69, 0x01, 0x02, 0x03};
  for (size_t i = 0; i < sizeof head && i < length; ++i) r[i] = head[i];
  const uint8_t address[] = {192, 168, 1, 20};
  for (size_t i = 0; i < 4 && 20 + i < length; ++i) r[20 + i] = address[i];
  return r;
}

TEST(DiscoveryRequest, IsTheTwelveByteIdentifyRequest) {
  uint8_t out[DISCOVERY_REQUEST_SIZE];
  build_discovery_request(0x1234, out);
  const uint8_t expected[] = {0x5A, 0x00, 0x12, 0x34, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00};
  EXPECT_EQ(0, std::memcmp(out, expected, sizeof expected));
}

TEST(DiscoveryReply, ValidReplyGivesMacAndAddress) {
  auto r = reply(0x1234);
  DISCOVERY_REPLY parsed{};
  ASSERT_TRUE(parse_discovery_reply(r.data(), r.size(), 0x1234, &parsed));
  const uint8_t mac[] = {0x00, 0x21, 0x69, 0x01, 0x02, 0x03};
  EXPECT_EQ(0, std::memcmp(parsed.mac, mac, 6));
  EXPECT_EQ(0xC0A80114u, parsed.address);
  EXPECT_STREQ("192.168.1.20", format_adapter_address(ADAPTER_SOCKADDR{parsed.address, 0}, false));
}

TEST(DiscoveryReply, RejectsWrongMarkTypeOrSequence) {
  struct Case {
    const char* what;
    size_t index;
    uint8_t value;
  } cases[] = {
      {"mark", 0, 0x5B}, {"type is a request", 1, 0x00}, {"type", 1, 0x02},
      {"sequence high byte", 2, 0x13}, {"sequence low byte", 3, 0x35},
  };
  for (const Case& c : cases) {
    auto r = reply(0x1234);
    r[c.index] = c.value;
    DISCOVERY_REPLY parsed{};
    EXPECT_FALSE(parse_discovery_reply(r.data(), r.size(), 0x1234, &parsed)) << c.what;
  }
  DISCOVERY_REPLY parsed{};
  uint8_t zeros[DISCOVERY_REPLY_SIZE] = {};
  EXPECT_FALSE(parse_discovery_reply(zeros, sizeof zeros, 0x1234, &parsed)) << "an empty buffer";
}

TEST(DiscoveryReply, ShortReplyReadsMissingBytesAsZero) {
  // Four bytes are enough to be a reply; what the datagram lacks is zero,
  // whether it comes as a short length or as a cleared buffer.
  auto r = reply(0x0102, 10);
  DISCOVERY_REPLY parsed{};
  ASSERT_TRUE(parse_discovery_reply(r.data(), r.size(), 0x0102, &parsed));
  EXPECT_EQ(0u, parsed.address);
  EXPECT_EQ(0x03, parsed.mac[5]);
  EXPECT_STREQ("0.0.0.0", format_adapter_address(ADAPTER_SOCKADDR{parsed.address, 0}, false));

  auto tiny = reply(0x0102, 5);
  ASSERT_TRUE(parse_discovery_reply(tiny.data(), tiny.size(), 0x0102, &parsed));
  EXPECT_EQ(0x00, parsed.mac[0]);
  EXPECT_EQ(0x00, parsed.mac[1]);
  EXPECT_FALSE(parse_discovery_reply(tiny.data(), 3, 0x0102, &parsed));
}

TEST(DiscoveryAddress, DottedWithAndWithoutPort) {
  EXPECT_STREQ("10.99.0.2:1234", format_adapter_address(ADAPTER_SOCKADDR{0x0A630002, 1234}, true));
  EXPECT_STREQ("255.255.255.255", format_adapter_address(ADAPTER_SOCKADDR{0xFFFFFFFF, 3040}, false));
}

struct Box {
  std::string text, caption;
  unsigned flags = 0;
  int count = 0;
};

int record_box(const char* text, const char* caption, unsigned flags, void* user) {
  Box* box = static_cast<Box*>(user);
  box->text = text;
  box->caption = caption;
  box->flags = flags;
  ++box->count;
  return PLAT_IDOK;
}

TEST(DiscoverySocketError, CaptionNamesTheCallAndTextIsTheSystemsOwn) {
  Box box;
  plat_set_message_box_handler(record_box, &box);
  plat_set_last_error(EADDRINUSE);
  char expected[256];
  ASSERT_TRUE(plat_last_error_text(expected, sizeof expected));
  report_socket_error("bind() failed, code %d", EADDRINUSE);
  EXPECT_EQ(1, box.count);
  EXPECT_EQ("bind() failed, code " + std::to_string(EADDRINUSE), box.caption);
  EXPECT_EQ(expected, box.text);
  EXPECT_EQ(unsigned(PLAT_MB_OK | PLAT_MB_ICONINFORMATION), box.flags);

  plat_set_last_error(0);
  report_socket_error(nullptr);
  EXPECT_EQ("Hosed", box.text);
  EXPECT_EQ("Error", box.caption);

  // A caption longer than the message buffer is cut, not overrun.
  std::string huge(10000, 'x');
  report_socket_error("%s", huge.c_str());
  EXPECT_EQ(4095u, box.caption.size());
  plat_set_message_box_handler(nullptr, nullptr);
}

TEST(DiscoveryTrim, RemovesLineEndsAndBlanksButKeepsAllBlankText) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"Prologix GPIB-USB Controller version 6.107\r\n", "Prologix GPIB-USB Controller version 6.107"},
      {"a b \t\r\n", "a b"},
      {"no space", "no space"},
      {" \r\n", " \r\n"},
      {"", ""},
  };
  for (const Case& c : cases) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%s", c.in);
    trim_trailing_space(buf);
    EXPECT_STREQ(c.out, buf) << "input: " << c.in;
  }
}

TEST(DiscoverySerialNames, OnlyComPortsWithANumberAndNotTheToshibaPort) {
  struct Case {
    const char* name;
    const char* description;
    bool listed;
    int number;
    const char* shown;
  } cases[] = {
      {"COM7", "USB Serial Port", true, 7, "USB Serial Port"},
      {"com12", "Communications Port", true, 12, "Communications Port"},
      {"COM3x", "odd", true, 3, "odd"},
      {"COM", "no number", false, 0, nullptr},
      {"LPT1", "Printer Port", false, 0, nullptr},
      {"COMA", "letter", false, 0, nullptr},
      {"COM4", "Toshiba BT Port", false, 0, nullptr},
      {"COM5", "Toshiba BT Port (COM5)", true, 5, "Toshiba BT Port (COM5)"},
      {"COM6", "_`__ Hidden Prefix", true, 6, "Hidden Prefix"},
      {"COM8", "_`__ Toshiba BT Port", false, 0, nullptr},
      {"COM9", nullptr, true, 9, ""},
  };
  for (const Case& c : cases) {
    int n = -1;
    const char* shown = nullptr;
    EXPECT_EQ(c.listed, classify_serial_port(c.name, c.description, &n, &shown)) << c.name;
    if (c.listed) {
      EXPECT_EQ(c.number, n) << c.name;
      EXPECT_STREQ(c.shown, shown) << c.name;
    }
  }
}

TEST(DiscoveryNiDescription, NamesTheBoardInTheWorkBuffer) {
  GPIBPORT port;
  const char* text = nullptr;
  EXPECT_TRUE(port.describe_ni_adapter("GPIB0", &text));
  EXPECT_STREQ("National Instruments adapter (GPIB0)", text);
  EXPECT_EQ(port.work_buffer, text);
  EXPECT_TRUE(port.describe_ni_adapter("GPIB1", nullptr));
}

}  // namespace
