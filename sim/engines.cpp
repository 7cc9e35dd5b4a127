#include "sim/engines.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace u62sim {

namespace {

const std::vector<FirmwareInfo> kFirmware = {
    {Firmware::Ethernet, "ethernet", "Prologix GPIB-ETHERNET Controller version 01.06.06.00", true},
    {Firmware::Usb6107, "6.107", "Prologix GPIB-USB Controller version 6.107", true},
    {Firmware::Usb6101, "6.101", "Prologix GPIB-USB Controller version 6.101", true},
    {Firmware::Usb440, "4.40", "Prologix GPIB-USB Controller version 4.40", true},
    {Firmware::Usb312C, "3.12C", "Prologix GPIB-USB Controller version 3.12C", true},
    {Firmware::Usb312B, "3.12B", "Prologix GPIB-USB Controller version 3.12B", false},
    {Firmware::Usb310, "3.10", "Prologix GPIB-USB Controller version 3.10", false},
    {Firmware::Ar488, "ar488", "AR488 GPIB controller, ver. 0.53.04, 01/11/2024", true},
};

// The raw instrument: the line goes straight to the counter and every reply
// comes back with a line feed.
class RawEngine : public Engine {
 public:
  RawEngine(CounterModel& model, Link& link) : model_(model), link_(link) {}

  void input(std::string_view bytes, TimePoint now) override {
    model_.set_remote();
    model_.write(bytes, now);
  }

  void poll(TimePoint now) override {
    std::string reply;
    while (model_.take_reply(now, reply)) link_.send_reply(link_.shape_reply(std::move(reply)) + "\n", now);
  }

  TimePoint deadline() const override { return model_.reply_ready_at().value_or(kNever); }

 private:
  CounterModel& model_;
  Link& link_;
};

struct AdapterConfig {
  int mode = 1;  // 1 = controller, 0 = device
  int addr = 10;
  bool auto_read = false;
  bool eoi = true;
  int eos = 0;
  bool eot_enable = false;
  int eot_char = 0;
  int read_tmo_ms = 500;
  bool lon = false;
  bool savecfg = true;
  int status = 0;
};

const char* const kHelp[] = {
    "++addr [1-29] -- Specify GPIB address",
    "++auto [0|1] -- Enable (1) or disable (0) read-after-write",
    "++clr -- Issue device clear",
    "++eoi [0|1] -- Enable (1) or disable (0) EOI with last byte",
    "++eos [0|1|2|3] -- EOS terminator - 0:CR+LF, 1:CR, 2:LF, 3:None",
    "++eot_enable [0|1] -- Enable (1) or disable (0) appending eot_char on EOI",
    "++eot_char [<char>] -- Specify eot character in decimal",
    "++ifc -- Issue interface clear",
    "++llo -- Enable local lockout",
    "++loc -- Disable local lockout",
    "++lon [0|1] -- Enable (1) or disable (0) listen only mode",
    "++mode [0|1] -- Set mode - 0:DEVICE, 1:CONTROLLER",
    "++read [eoi|<char>] -- Read until EOI, <char>, or timeout",
    "++read_tmo_ms <1-3000> -- Set read timeout in millisec",
    "++rst -- Reset controller",
    "++savecfg [0|1] -- Enable (1) or disable (0) saving configuration to EPROM",
    "++spoll [<PAD>|all|<PAD1> <PAD2> <PAD3>...] -- Return status byte",
    "++srq -- Return status of SRQ signal (1-SRQ asserted, 0-SRQ not asserted)",
    "++status [<byte>] -- Set status byte to be returned on being polled",
    "++trg [<PAD1> ... <PAD15>] -- Issue group execute trigger",
    "++ver -- Display version string",
    "++help -- Display this help",
};

bool parse_int(std::string_view text, int& out) {
  std::string s(text);
  if (s.empty()) return false;
  char* end = nullptr;
  long v = std::strtol(s.c_str(), &end, 10);
  if (end == s.c_str()) return false;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0') return false;
  out = static_cast<int>(v);
  return true;
}

// The Prologix adapter: "++" lines configure it, other lines go to the
// instrument on the bus, and reads bring the instrument's output back.
class PrologixEngine : public Engine {
 public:
  PrologixEngine(CounterModel& model, Link& link, const TransportOptions& options)
      : model_(model), link_(link), firmware_(firmware_info(options.firmware.value_or(Firmware::Ethernet))),
        device_address_(options.gpib_address), default_address_(options.adapter_address) {
    reset_config();
  }

  void set_firmware(Firmware firmware) override { firmware_ = firmware_info(firmware); }

  void connected(TimePoint) override {
    line_.clear();
    escaped_ = false;
    overrun_ = false;
    reading_ = false;
  }

  void input(std::string_view bytes, TimePoint now) override {
    for (char c : bytes) {
      // A new line from the host ends a read that is still waiting, as on
      // the real adapter; the instrument keeps its reply for the next read.
      // The line feed after a carriage return starts nothing.
      if (escaped_ || (c != '\r' && c != '\n')) reading_ = false;
      if (escaped_) {
        escaped_ = false;
        add(c, true);
        continue;
      }
      if (c == 27) {
        escaped_ = true;
        continue;
      }
      if (c == '\r' || c == '\n') {
        finish_line(now);
        continue;
      }
      add(c, false);
    }
  }

  void poll(TimePoint now) override {
    if (!reading_) return;
    if (bus_pending_.empty()) {
      std::string reply;
      if (model_.take_reply(now, reply)) bus_pending_ = link_.shape_reply(std::move(reply)) + "\n";
    }
    if (!bus_pending_.empty()) {
      deliver(now);
      return;
    }
    if (now >= read_deadline_) reading_ = false;
  }

  TimePoint deadline() const override {
    if (!reading_) return kNever;
    if (!bus_pending_.empty()) return TimePoint::min();
    return std::min(read_deadline_, model_.reply_ready_at().value_or(kNever));
  }

 private:
  void reset_config() {
    config_ = AdapterConfig{};
    config_.addr = default_address_;
  }

  void add(char c, bool escaped) {
    if (line_.size() >= CounterModel::kInputLimit) {
      overrun_ = true;
      return;
    }
    line_ += c;
    plain_.push_back(!escaped);
  }

  bool present() const { return config_.mode == 1 && config_.addr == device_address_; }

  void finish_line(TimePoint now) {
    std::string line = std::move(line_);
    std::vector<bool> plain = std::move(plain_);
    line_.clear();
    plain_.clear();
    bool overrun = overrun_;
    overrun_ = false;
    if (overrun || line.empty()) return;
    // A leading blank left by a host's flood nudge does not hide a command.
    std::size_t i = 0;
    while (i < line.size() && line[i] == ' ' && plain[i]) ++i;
    if (i + 1 < line.size() && line[i] == '+' && line[i + 1] == '+' && plain[i] && plain[i + 1]) {
      command(std::string_view(line).substr(i + 2), now);
      return;
    }
    if (!present()) return;
    model_.set_remote();
    std::string data = line;
    if (firmware_.extended) {
      static const char* const kEos[] = {"\r\n", "\r", "\n", ""};
      data += kEos[std::clamp(config_.eos, 0, 3)];
    } else {
      data += "\r\n";
    }
    model_.write(data, now, config_.eoi || !firmware_.extended);
    if (config_.auto_read) start_read(-1, now);
  }

  void start_read(int until, TimePoint now) {
    if (!present()) return;
    reading_ = true;
    read_until_ = until;
    read_deadline_ = now + std::chrono::milliseconds(config_.read_tmo_ms);
  }

  void deliver(TimePoint now) {
    std::string out;
    bool eoi = false;
    std::size_t cut = std::string::npos;
    if (read_until_ >= 0) cut = bus_pending_.find(static_cast<char>(read_until_));
    if (cut == std::string::npos || cut + 1 >= bus_pending_.size()) {
      out = std::move(bus_pending_);
      bus_pending_.clear();
      eoi = true;
    } else {
      out = bus_pending_.substr(0, cut + 1);
      bus_pending_.erase(0, cut + 1);
    }
    if (eoi && config_.eot_enable) out += static_cast<char>(config_.eot_char);
    reading_ = false;
    link_.send_reply(std::move(out), now);
  }

  void answer(std::string_view text, TimePoint now) {
    std::string out(text);
    out += "\r\n";
    link_.send_adapter(out, now);
  }

  // Query or set one integer setting; a bad value changes nothing.
  void setting(std::string_view arg, int& value, int lo, int hi, TimePoint now) {
    if (arg.empty()) {
      answer(std::to_string(value), now);
      return;
    }
    int v;
    if (parse_int(arg, v) && v >= lo && v <= hi) value = v;
  }

  void flag(std::string_view arg, bool& value, TimePoint now) {
    int v = value ? 1 : 0;
    setting(arg, v, 0, 1, now);
    value = v != 0;
  }

  void command(std::string_view text, TimePoint now) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    std::size_t space = text.find_first_of(" \t");
    std::string name(text.substr(0, space));
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string_view arg = space == std::string_view::npos ? std::string_view() : text.substr(space);
    while (!arg.empty() && std::isspace(static_cast<unsigned char>(arg.front()))) arg.remove_prefix(1);

    bool extended_only = name == "eos" || name == "mode" || name == "addr" || name == "eoi" || name == "auto";
    if (extended_only && !firmware_.extended) return;  // old firmware ignores what it does not know

    if (name == "ver") {
      answer(firmware_.version_text, now);
    } else if (name == "addr") {
      if (arg.empty()) {
        answer(std::to_string(config_.addr), now);
      } else {
        int pad;
        std::string a(arg.substr(0, arg.find(' ')));
        if (parse_int(a, pad) && pad >= 0 && pad <= 30) config_.addr = pad;
      }
    } else if (name == "auto") {
      bool was = config_.auto_read;
      flag(arg, config_.auto_read, now);
      // Switching read-after-write on addresses the instrument to talk at once.
      if (!was && config_.auto_read) start_read(-1, now);
    } else if (name == "eoi") {
      flag(arg, config_.eoi, now);
    } else if (name == "eos") {
      setting(arg, config_.eos, 0, 3, now);
    } else if (name == "eot_enable") {
      flag(arg, config_.eot_enable, now);
    } else if (name == "eot_char") {
      setting(arg, config_.eot_char, 0, 255, now);
    } else if (name == "mode") {
      setting(arg, config_.mode, 0, 1, now);
    } else if (name == "read_tmo_ms") {
      setting(arg, config_.read_tmo_ms, 1, 3000, now);
    } else if (name == "lon") {
      flag(arg, config_.lon, now);
    } else if (name == "savecfg") {
      flag(arg, config_.savecfg, now);
    } else if (name == "status") {
      setting(arg, config_.status, 0, 255, now);
    } else if (name == "read") {
      if (config_.mode != 1) return;
      int until = -1;
      std::string a(arg);
      for (char& c : a) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      int ch;
      if (!a.empty() && a != "eoi" && parse_int(a, ch) && ch >= 0 && ch <= 255) until = ch;
      start_read(until, now);
    } else if (name == "clr") {
      if (present()) model_.device_clear(now);
    } else if (name == "loc") {
      if (present()) model_.go_to_local();
    } else if (name == "llo") {
      if (present()) model_.local_lockout();
    } else if (name == "trg") {
      bool ours = arg.empty() ? present() : false;
      std::string a(arg);
      for (std::size_t p = 0; !ours && p < a.size();) {
        std::size_t e = a.find(' ', p);
        int pad;
        if (parse_int(a.substr(p, e - p), pad) && pad == device_address_ && config_.mode == 1) ours = true;
        if (e == std::string::npos) break;
        p = e + 1;
      }
      if (ours) model_.trigger(now);
    } else if (name == "spoll") {
      int pad = config_.addr;
      if (!arg.empty() && !parse_int(arg.substr(0, arg.find(' ')), pad)) return;
      if (config_.mode == 1 && pad == device_address_) answer(std::to_string(model_.status_byte()), now);
    } else if (name == "srq") {
      answer("0", now);
    } else if (name == "ifc") {
      // Nothing on this bus needs releasing.
    } else if (name == "rst") {
      reset_config();
      reading_ = false;
    } else if (name == "help") {
      std::string all;
      for (const char* line : kHelp) {
        all += line;
        all += "\r\n";
      }
      link_.send_adapter(all, now);
    }
    // Unknown commands are ignored, as old firmware does.
  }

  CounterModel& model_;
  Link& link_;
  FirmwareInfo firmware_;
  int device_address_;
  int default_address_;
  AdapterConfig config_;

  std::string line_;
  std::vector<bool> plain_;
  bool escaped_ = false;
  bool overrun_ = false;

  bool reading_ = false;
  int read_until_ = -1;
  TimePoint read_deadline_{};
  // What the instrument is still sending on the bus (a read that stopped
  // at a character leaves the rest here).
  std::string bus_pending_;
};

}  // namespace

const FirmwareInfo& firmware_info(Firmware firmware) {
  for (const FirmwareInfo& f : kFirmware)
    if (f.id == firmware) return f;
  return kFirmware.front();
}

bool parse_firmware(std::string_view name, Firmware& out) {
  for (const FirmwareInfo& f : kFirmware) {
    std::string_view n = f.name;
    if (n.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < n.size(); ++i)
      if (std::tolower(static_cast<unsigned char>(n[i])) != std::tolower(static_cast<unsigned char>(name[i])))
        same = false;
    if (same) {
      out = f.id;
      return true;
    }
  }
  return false;
}

const std::vector<FirmwareInfo>& all_firmware() { return kFirmware; }

std::unique_ptr<Engine> make_raw_engine(CounterModel& model, Link& link) {
  return std::make_unique<RawEngine>(model, link);
}

std::unique_ptr<Engine> make_prologix_engine(CounterModel& model, Link& link,
                                             const TransportOptions& options) {
  return std::make_unique<PrologixEngine>(model, link, options);
}

}  // namespace u62sim
