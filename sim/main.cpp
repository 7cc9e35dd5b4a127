// u6200a-sim: the simulated counter behind one or more transports, until
// SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sim/sim.h"

using namespace u62sim;

namespace {

const char kUsage[] =
    "usage: u6200a-sim [transports] [options]\n"
    "transports (any number; default --tcp):\n"
    "  --tcp[=PORT]          raw SCPI instrument on TCP (port 0: any free port)\n"
    "  --lan[=PORT]          Prologix GPIB-ETHERNET adapter on TCP\n"
    "  --usb=COMn            Prologix GPIB-USB adapter on a pseudo-terminal, linked as comN\n"
    "  --serial=COMn         raw SCPI instrument on a pseudo-terminal, linked as comN\n"
    "  --discovery           answer Prologix LAN discovery on UDP 3040; only inside a\n"
    "                        network namespace made for the purpose\n"
    "  --adapter-ip=A.B.C.D  the address the discovery reply names (default: --bind, or 127.0.0.1)\n"
    "options:\n"
    "  --bind=ADDR           TCP (and discovery) address, default 127.0.0.1 (0.0.0.0)\n"
    "  --devices=DIR         folder of comN links (default $ORVANE_DEVICES, else ./devices)\n"
    "  --mode=freq|ti        frequency or time-interval readings (default freq)\n"
    "  --gate=SECONDS        measurement time (default 0.1)\n"
    "  --numbered            reading n encodes n exactly (10 MHz + n mHz, 100 ns + n fs)\n"
    "  --no-signal           every reading is 9.91E37\n"
    "  --maker=picotest|array  identification prefix\n"
    "  --address=N           counter's GPIB address behind an adapter (default 10)\n"
    "  --firmware=NAME       adapter firmware: ethernet 6.107 6.101 4.40 3.12C 3.12B 3.10 ar488\n"
    "  --seed=N              noise seed\n"
    "faults:\n"
    "  --silence --hang --flood --garbage\n"
    "  --split=BYTES[:GAP_MS] --overlong=CHARS --nonnumeric-every=N --idn-every=N\n"
    "  --drop-after=N\n";

struct Wanted {
  TransportKind kind;
  std::uint16_t port = 0;
  int com = 0;
};

bool value_of(const char* arg, const char* name, std::string& value) {
  std::size_t n = std::strlen(name);
  if (std::strncmp(arg, name, n) != 0) return false;
  if (arg[n] == '=') {
    value = arg + n + 1;
    return true;
  }
  if (arg[n] == '\0') {
    value.clear();
    return true;
  }
  return false;
}

bool to_long(const std::string& text, long lo, long hi, long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

bool com_number(const std::string& text, int& out) {
  std::string t = text;
  if (t.size() > 3 && (t.compare(0, 3, "COM") == 0 || t.compare(0, 3, "com") == 0)) t = t.substr(3);
  long v;
  if (!to_long(t, 1, 255, v)) return false;
  out = static_cast<int>(v);
  return true;
}

int fail(const char* what, const std::string& arg) {
  std::fprintf(stderr, "u6200a-sim: %s: %s\n%s", what, arg.c_str(), kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  TransportOptions base;
  std::vector<Wanted> wanted;
  bool discovery = false;
  bool bind_given = false;
  std::string adapter_ip;
  const char* env_devices = std::getenv("ORVANE_DEVICES");
  std::string devices = env_devices && *env_devices ? env_devices : "devices";

  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    std::string v;
    long n;
    if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (value_of(a, "--tcp", v) || value_of(a, "--lan", v)) {
      Wanted w{a[2] == 't' ? TransportKind::TcpInstrument : TransportKind::PrologixLan};
      if (!v.empty()) {
        if (!to_long(v, 0, 65535, n)) return fail("bad port", a);
        w.port = static_cast<std::uint16_t>(n);
      }
      wanted.push_back(w);
    } else if (value_of(a, "--usb", v) || value_of(a, "--serial", v)) {
      Wanted w{a[2] == 'u' ? TransportKind::PrologixUsb : TransportKind::SerialInstrument};
      if (!com_number(v, w.com)) return fail("bad COM port", a);
      wanted.push_back(w);
    } else if (std::strcmp(a, "--discovery") == 0) {
      discovery = true;
    } else if (value_of(a, "--adapter-ip", v)) {
      unsigned b[4];
      char extra;
      if (std::sscanf(v.c_str(), "%u.%u.%u.%u%c", &b[0], &b[1], &b[2], &b[3], &extra) != 4 || b[0] > 255 ||
          b[1] > 255 || b[2] > 255 || b[3] > 255)
        return fail("bad address", a);
      adapter_ip = v;
    } else if (value_of(a, "--bind", v) && !v.empty()) {
      base.bind_address = v;
      bind_given = true;
    } else if (value_of(a, "--devices", v) && !v.empty()) {
      devices = v;
    } else if (value_of(a, "--mode", v)) {
      if (v == "freq") base.model.mode = CounterMode::Frequency;
      else if (v == "ti") base.model.mode = CounterMode::TimeInterval;
      else return fail("bad mode", a);
    } else if (value_of(a, "--gate", v)) {
      char* end = nullptr;
      double s = std::strtod(v.c_str(), &end);
      if (v.empty() || *end != '\0' || !(s >= 0.0) || s > 3600.0) return fail("bad measurement time", a);
      base.model.measurement_time = std::chrono::microseconds(static_cast<long long>(s * 1e6));
    } else if (std::strcmp(a, "--numbered") == 0) {
      base.model.numbered = true;
    } else if (std::strcmp(a, "--no-signal") == 0) {
      base.model.no_signal = true;
    } else if (value_of(a, "--maker", v)) {
      if (v == "picotest") base.model.maker = Maker::Picotest;
      else if (v == "array") base.model.maker = Maker::Array;
      else return fail("bad maker", a);
    } else if (value_of(a, "--address", v)) {
      if (!to_long(v, 0, 30, n)) return fail("bad GPIB address", a);
      base.gpib_address = base.adapter_address = static_cast<int>(n);
    } else if (value_of(a, "--firmware", v)) {
      Firmware f;
      if (!parse_firmware(v, f)) return fail("unknown firmware", a);
      base.firmware = f;
    } else if (value_of(a, "--seed", v)) {
      if (!to_long(v, 0, 0x7fffffff, n)) return fail("bad seed", a);
      base.model.seed = static_cast<std::uint64_t>(n);
    } else if (std::strcmp(a, "--silence") == 0) {
      base.faults.silence = true;
    } else if (std::strcmp(a, "--hang") == 0) {
      base.faults.hang = true;
    } else if (std::strcmp(a, "--flood") == 0) {
      base.faults.flood = true;
    } else if (std::strcmp(a, "--garbage") == 0) {
      base.faults.garbage = true;
    } else if (value_of(a, "--split", v)) {
      std::size_t colon = v.find(':');
      long gap = 10;
      if (!to_long(v.substr(0, colon), 1, 1 << 20, n)) return fail("bad split", a);
      if (colon != std::string::npos && !to_long(v.substr(colon + 1), 0, 60000, gap)) return fail("bad split gap", a);
      base.faults.split_bytes = static_cast<std::size_t>(n);
      base.faults.split_gap = std::chrono::milliseconds(gap);
    } else if (value_of(a, "--overlong", v)) {
      if (!to_long(v, 1, 1 << 20, n)) return fail("bad length", a);
      base.faults.overlong = static_cast<std::size_t>(n);
    } else if (value_of(a, "--nonnumeric-every", v)) {
      if (!to_long(v, 1, 1 << 30, n)) return fail("bad count", a);
      base.faults.nonnumeric_every = static_cast<unsigned>(n);
    } else if (value_of(a, "--idn-every", v)) {
      if (!to_long(v, 1, 1 << 30, n)) return fail("bad count", a);
      base.faults.idn_every = static_cast<unsigned>(n);
    } else if (value_of(a, "--drop-after", v)) {
      if (!to_long(v, 0, 1 << 30, n)) return fail("bad count", a);
      base.faults.drop_after = static_cast<int>(n);
    } else {
      return fail("unknown option", a);
    }
  }
  if (wanted.empty() && !discovery) wanted.push_back({TransportKind::TcpInstrument});

  // Signals are taken by sigwait below, never by a handler in a random thread.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::vector<std::unique_ptr<Simulator>> sims;
  for (const Wanted& w : wanted) {
    TransportOptions o = base;
    o.port = w.port;
    if (w.com) {
      o.devices_dir = devices;
      o.com_number = w.com;
    }
    std::string error;
    auto sim = start_simulator(w.kind, o, &error);
    if (!sim) {
      std::fprintf(stderr, "u6200a-sim: %s\n", error.c_str());
      return 1;
    }
    std::printf("%s\n", sim->where().c_str());
    sims.push_back(std::move(sim));
  }

  std::unique_ptr<DiscoveryResponder> responder;
  if (discovery) {
    DiscoveryOptions d;
    d.allow_start = true;
    d.bind_address = bind_given ? base.bind_address : "0.0.0.0";
    for (const auto& sim : sims) {
      if (sim->kind() != TransportKind::PrologixLan) continue;
      // The reply names the adapter's own address; a LAN adapter bound to
      // every address is reached through loopback.
      AdapterIdentity id;
      unsigned b[4] = {127, 0, 0, 1};
      const std::string& named = adapter_ip.empty() ? base.bind_address : adapter_ip;
      if (std::sscanf(named.c_str(), "%u.%u.%u.%u", &b[0], &b[1], &b[2], &b[3]) == 4 &&
          !(b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] == 0))
        for (int k = 0; k < 4; ++k) id.address[k] = static_cast<std::uint8_t>(b[k] & 0xFF);
      d.adapters = {id};
    }
    responder = std::make_unique<DiscoveryResponder>(d);
    std::string error;
    if (!responder->start(&error)) {
      std::fprintf(stderr, "u6200a-sim: discovery: %s\n", error.c_str());
      return 1;
    }
    std::printf("discovery on %s:%u\n", d.bind_address.c_str(), static_cast<unsigned>(responder->port()));
  }
  std::fflush(stdout);

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  if (responder) responder->stop();
  for (auto& sim : sims) sim->stop();
  return 0;
}
