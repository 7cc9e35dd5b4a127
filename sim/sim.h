// Instrument simulators: the counter model behind real transports.
//
// A Simulator is one counter reachable one way:
//   - TransportKind::TcpInstrument: a raw SCPI instrument on TCP. Command
//     lines end in LF (a CR before it is ignored); replies end in LF.
//   - TransportKind::PrologixLan: a Prologix GPIB-ETHERNET adapter on TCP
//     with the counter on the GPIB bus behind it. Lines beginning "++" are
//     adapter commands (a blank before them is tolerated), ESC makes the
//     next byte data; other lines go to the counter with the "++eos"
//     terminator. Adapter answers end in CR LF; commands the firmware does
//     not know are ignored without an answer. "++auto 1" addresses the
//     counter to talk at once; a new line from the host ends a read that
//     has not been answered yet (the reply stays for the next read).
//   - TransportKind::PrologixUsb: a Prologix GPIB-USB adapter on a
//     pseudo-terminal.
//   - TransportKind::SerialInstrument: a raw SCPI instrument on a
//     pseudo-terminal.
// TCP transports bind 127.0.0.1 and port 0 (any free port) unless told
// otherwise, and serve one client at a time: a new connection replaces the
// old one, as a client that crashed would otherwise lock the adapter. Pseudo-
// terminal transports hold the master side; the slave's path is device_path()
// and, when TransportOptions::devices_dir is set, a link devices_dir/comN
// points at it (the driver resolves "COMn" through $ORVANE_DEVICES).
//
// Every transport runs on one thread of its own, started by start() and
// joined by stop() (and by the destructor) within about a second. It waits in
// poll() with time-outs and never spins, so a simulator answering once a
// second costs next to no processor time. Everything a transport keeps is
// capped: the byte record (TransportOptions::record_limit each way, with a
// flag once cut), the pending output, the counter's queues.
//
// All member functions of Simulator and DiscoveryResponder are thread-safe.
//
// In-process use (orvane-host --simulate):
//
//   std::string error;
//   auto sim = u62sim::start_tcp_instrument({}, 0, &error);   // or
//   auto lan = u62sim::start_prologix_lan({}, 10, 0, &error);
//   if (!sim) { ... error says why ... }
//   uint16_t port = sim->port();      // connect to 127.0.0.1:port
//   ...
//   sim.reset();                      // stops and joins its thread
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/counter_model.h"

namespace u62sim {

// Faults a transport injects; set_faults() changes them while it runs.
// Reply faults apply to the counter's replies, not to an adapter's own
// answers ("++ver"); silence and hang apply to everything.
struct Faults {
  bool silence = false;  // read and record input, send nothing
  bool hang = false;     // accept, then neither read nor send
  bool flood = false;    // send readings without pause
  std::chrono::microseconds flood_interval{1000};
  bool garbage = false;            // every reply becomes random bytes (LF kept)
  std::size_t split_bytes = 0;     // send replies in pieces of this many bytes
  std::chrono::milliseconds split_gap{0};  // with this pause between pieces
  std::size_t overlong = 0;        // pad every reply to at least this length
  // Counted from the moment the faults were set:
  unsigned nonnumeric_every = 0;   // every Nth reply is "NOT A NUMBER"
  unsigned idn_every = 0;          // every Nth reply is the identification
  int drop_after = -1;             // close the connection after N replies
};

// Adapter firmware generations and the version texts they answer.
enum class Firmware { Ethernet, Usb6107, Usb6101, Usb440, Usb312C, Usb312B, Usb310, Ar488 };

struct FirmwareInfo {
  Firmware id;
  const char* name;          // option name: "ethernet", "6.107", ...
  const char* version_text;  // the "++ver" answer without CR LF
  // Knows ++eos, ++mode, ++addr, ++eoi and ++auto.
  bool extended;
};

const FirmwareInfo& firmware_info(Firmware firmware);
bool parse_firmware(std::string_view name, Firmware& out);
const std::vector<FirmwareInfo>& all_firmware();

enum class TransportKind { TcpInstrument, PrologixLan, PrologixUsb, SerialInstrument };

struct TransportOptions {
  std::string bind_address = "127.0.0.1";
  std::uint16_t port = 0;
  ModelOptions model;
  Faults faults;
  // Prologix: the adapter's firmware (none: the GPIB-ETHERNET firmware on
  // the LAN adapter, 6.107 on the USB one), the counter's GPIB address and
  // the address the adapter talks to until "++addr" says otherwise (old
  // firmware has no "++addr", so this is where its saved configuration
  // points).
  std::optional<Firmware> firmware;
  int gpib_address = 10;
  int adapter_address = 10;
  // Pseudo-terminals: when devices_dir is set, devices_dir/com<com_number>
  // is linked to the slave.
  std::string devices_dir;
  int com_number = 7;
  std::size_t record_limit = 4u << 20;
};

// Bytes a transport received and sent, in order, across all connections.
struct ByteRecord {
  std::string received;
  std::string sent;
  bool truncated = false;
};

class Simulator {
 public:
  Simulator(TransportKind kind, TransportOptions options);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Binds or opens the transport and starts its thread. False with a reason
  // when it could not.
  bool start(std::string* error = nullptr);
  void stop();
  bool running() const;

  TransportKind kind() const;
  std::uint16_t port() const;          // TCP transports, after start()
  std::string device_path() const;     // pseudo-terminals, after start()
  // "listening on 127.0.0.1:PORT" or "COM7 -> /dev/pts/N".
  std::string where() const;

  CounterModel& model();
  void set_faults(const Faults& faults);
  Faults faults() const;
  void set_firmware(Firmware firmware);

  ByteRecord record() const;
  void clear_record();
  // Waits until the received (or sent) record contains `needle`.
  bool wait_received(std::string_view needle, std::chrono::milliseconds timeout) const;
  bool wait_sent(std::string_view needle, std::chrono::milliseconds timeout) const;
  // Instrument replies sent so far (not counting an adapter's own answers).
  unsigned long long replies_sent() const;
  unsigned long long connections_accepted() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

std::unique_ptr<Simulator> start_tcp_instrument(const ModelOptions& model = {},
                                                std::uint16_t port = 0,
                                                std::string* error = nullptr);
std::unique_ptr<Simulator> start_prologix_lan(const ModelOptions& model = {},
                                              int gpib_address = 10,
                                              std::uint16_t port = 0,
                                              std::string* error = nullptr);
std::unique_ptr<Simulator> start_simulator(TransportKind kind, const TransportOptions& options,
                                           std::string* error = nullptr);

// Creates `folder` (and its parents) and makes folder/com<number> a symbolic
// link to `target`, replacing an older link of that name.
bool link_com_port(const std::string& folder, int number, const std::string& target,
                   std::string* error = nullptr);

// The Prologix LAN discovery responder: answers the 12-byte identify request
// on UDP with one 76-byte identify reply per emulated adapter, sent back to
// the asker only. It answers whoever asks on the networks it is bound to, so
// it must run only inside a network namespace that the run created itself:
// start() refuses unless allow_start is set, and also when the namespace
// has a default route or is the one of process 1: a namespace made for the
// run has neither.
struct AdapterIdentity {
  std::array<std::uint8_t, 6> mac{0x00, 0x21, 0x69, 0x01, 0x02, 0x03};
  std::array<std::uint8_t, 4> address{127, 0, 0, 1};
  std::array<std::uint8_t, 4> mask{255, 0, 0, 0};
  std::array<std::uint8_t, 4> gateway{0, 0, 0, 0};
  std::string name = "Prologix GPIB-ETHERNET";
};

struct DiscoveryFaults {
  bool silent = false;
  bool wrong_mark = false;      // byte 0 is not 0x5A
  bool wrong_type = false;      // byte 1 is not 0x01
  bool wrong_sequence = false;  // bytes 2-3 do not echo the request
  std::size_t length = 76;      // bytes sent of each reply (short replies)
};

struct DiscoveryOptions {
  bool allow_start = false;
  std::string bind_address = "0.0.0.0";
  std::uint16_t port = 3040;
  std::vector<AdapterIdentity> adapters{AdapterIdentity{}};
  DiscoveryFaults faults;
};

// The 76-byte identify reply for one adapter and request sequence number.
std::vector<std::uint8_t> identify_reply(const AdapterIdentity& adapter, std::uint16_t sequence,
                                         const DiscoveryFaults& faults = {});

class DiscoveryResponder {
 public:
  explicit DiscoveryResponder(DiscoveryOptions options);
  ~DiscoveryResponder();
  DiscoveryResponder(const DiscoveryResponder&) = delete;
  DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

  bool start(std::string* error = nullptr);
  void stop();
  std::uint16_t port() const;
  void set_faults(const DiscoveryFaults& faults);
  unsigned long long requests_answered() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Runs `body` in a child process inside a new user and network namespace
// with only `lo`, brought up. Answers the child's exit code, or -1 with the
// reason in `why` when namespaces are unavailable here. The child is killed
// when it outlives `timeout`.
int run_in_network_namespace(const std::function<int()>& body, std::string* why,
                             std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace u62sim
