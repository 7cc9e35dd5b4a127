// Starts a simulated counter behind one transport and names it the way a
// user would: "127.0.0.1:port" for TCP, "COMn" (through $ORVANE_DEVICES)
// or the device path for pseudo-terminals.
#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "sim/sim.h"

struct SIM_PEER {
  std::unique_ptr<u62sim::Simulator> sim;
  std::string descriptor;

  static std::string devices_dir() {
    static std::string dir = [] {
      char templ[] = "/tmp/u62-gpibport-devices-XXXXXX";
      const char* made = mkdtemp(templ);
      return std::string(made ? made : "/tmp");
    }();
    return dir;
  }

  bool start(u62sim::TransportKind kind, u62sim::Firmware firmware = u62sim::Firmware::Ethernet,
             int gpib_address = 10, int com_number = 0, bool numbered = false) {
    u62sim::TransportOptions options;
    options.firmware = firmware;
    options.gpib_address = gpib_address;
    options.adapter_address = gpib_address;
    options.model.measurement_time = std::chrono::milliseconds(1);
    options.model.numbered = numbered;
    if (com_number > 0) {
      options.devices_dir = devices_dir();
      options.com_number = com_number;
      setenv("ORVANE_DEVICES", devices_dir().c_str(), 1);
    }
    std::string error;
    sim = u62sim::start_simulator(kind, options, &error);
    if (!sim) {
      ADD_FAILURE() << "simulator: " << error;
      return false;
    }
    if (kind == u62sim::TransportKind::TcpInstrument || kind == u62sim::TransportKind::PrologixLan) {
      descriptor = "127.0.0.1:" + std::to_string(sim->port());
    } else if (com_number > 0) {
      descriptor = "COM" + std::to_string(com_number);
    } else {
      descriptor = sim->device_path();
    }
    return true;
  }

  std::string received() const { return sim->record().received; }
  // What the peer has received once `last` has arrived.
  std::string received_through(const std::string& last) const {
    EXPECT_TRUE(sim->wait_received(last, std::chrono::milliseconds(3000))) << "never received " << last;
    return received();
  }
};
