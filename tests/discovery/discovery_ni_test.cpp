// National Instruments boards in the interface list, through the stand-in
// GPIB library that the test command puts first on the loader's path.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <string>

#include "drivers/shared/gpibport/gpibport.h"
#include "platform/msgbox.h"
#include "sysfs_fixture.h"

namespace {

int count_box(const char*, const char*, unsigned, void* user) {
  ++*static_cast<int*>(user);
  return PLAT_IDOK;
}

std::string library_calls() {
  void* lib = dlopen("libgpib.so.0", RTLD_NOW | RTLD_NOLOAD);
  if (!lib) return "";
  auto calls = reinterpret_cast<long (*)(char*, long)>(dlsym(lib, "u62sim_ni_calls"));
  std::string out(8192, '\0');
  if (calls) out.resize(static_cast<size_t>(calls(out.data(), static_cast<long>(out.size()))));
  dlclose(lib);
  return out;
}

TEST(DiscoveryNiBoards, ListsEachBoardTheLibraryOpensAndTakesItOfflineAgain) {
  DeviceTree tree;  // no COM ports
  GPIBPORT port;
  ASSERT_EQ(3, port.enumerate_interfaces(true, false)) << "U62_NI_SIM_BOARDS=3";
  for (int i = 0; i < 3; ++i) {
    std::string name = "GPIB" + std::to_string(i);
    EXPECT_EQ("National Instruments adapter (" + name + ")", port.interfaces[i].display_text);
    EXPECT_EQ(name, port.interfaces[i].descriptor);
    EXPECT_EQ(IFACE_NI_GPIB, port.interfaces[i].kind);
    EXPECT_EQ(0, port.interfaces[i].port_number);
  }
  std::string calls = library_calls();
  EXPECT_NE(std::string::npos, calls.find("ibfind GPIB8")) << calls;
  EXPECT_NE(std::string::npos, calls.find("ibonl 2 0")) << calls;
}

TEST(DiscoveryNiBoards, BoardAnotherPortHoldsIsNotLookedUp) {
  DeviceTree tree;
  GPIBPORT holder;
  ASSERT_FALSE(holder.interface_in_use("GPIB1", true));
  GPIBPORT port;
  ASSERT_EQ(2, port.enumerate_interfaces(true, false));
  EXPECT_STREQ("GPIB0", port.interfaces[0].descriptor);
  EXPECT_STREQ("GPIB2", port.interfaces[1].descriptor);
  std::string calls = library_calls();
  EXPECT_NE(std::string::npos, calls.find("ibfind GPIB0")) << calls;
  EXPECT_EQ(std::string::npos, calls.find("ibfind GPIB1")) << calls;
}

TEST(DiscoveryNiBoards, SkipNiLeavesTheLibraryAlone) {
  DeviceTree tree;
  GPIBPORT port;
  EXPECT_EQ(0, port.enumerate_interfaces(true, true));
}

TEST(DiscoveryNiBoards, FullListLooksUpNoBoard) {
  DeviceTree tree;
  for (int com = 1; com <= MAX_INTERFACES; ++com) tree.link_com(com, "/dev/null");
  GPIBPORT port;
  EXPECT_EQ(MAX_INTERFACES, port.enumerate_interfaces(true, false));
  EXPECT_EQ(std::string::npos, library_calls().find("ibfind"));
}

TEST(DiscoveryNoNiLibrary, NoBoardsAndNoMessage) {
  // Run without the stand-in on the loader's path.
  if (void* lib = dlopen("libgpib.so.0", RTLD_NOW)) {
    dlclose(lib);
    GTEST_SKIP() << "a GPIB library is installed here";
  }
  int boxes = 0;
  plat_set_message_box_handler(count_box, &boxes);
  DeviceTree tree;
  GPIBPORT port;
  EXPECT_EQ(0, port.enumerate_interfaces(true, false));
  EXPECT_EQ(0, boxes);
  plat_set_message_box_handler(nullptr, nullptr);
}

}  // namespace
