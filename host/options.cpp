#include "host/options.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "driver/ovhost.h"

namespace ovhost {
namespace {

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return s;
}

bool is_index(const std::string& s, int count) {
  return s.size() == 1 && s[0] >= '0' && s[0] < '0' + count;
}

// The driver keeps its combo-box parameters as indices into their choices;
// the command line also takes the choice by name.
bool choice_index(const std::string& text, const std::vector<std::vector<const char*>>& names, std::string& out) {
  if (is_index(text, static_cast<int>(names.size()))) {
    out = text;
    return true;
  }
  std::string t = lower(text);
  for (size_t i = 0; i < names.size(); i++)
    for (const char* n : names[i])
      if (t == n) {
        out = std::to_string(i);
        return true;
      }
  return false;
}

bool number(const std::string& text, double& out) {
  char* end = nullptr;
  errno = 0;
  out = std::strtod(text.c_str(), &end);
  return !text.empty() && end && *end == 0 && errno == 0 && out >= 0;
}

bool yes_no(const std::string& text, std::string& out) {
  std::string t = lower(text);
  if (t == "1" || t == "yes" || t == "true" || t == "on") {
    out = "True";
    return true;
  }
  if (t == "0" || t == "no" || t == "false" || t == "off") {
    out = "False";
    return true;
  }
  return false;
}

}  // namespace

bool parse_options(int argc, char** argv, Options& o, std::string& error) {
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    std::string name = arg, value;
    bool has_value = false;
    size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      has_value = true;
    }
    auto take = [&](std::string& out) {
      if (has_value) {
        out = value;
        return true;
      }
      if (i + 1 >= argc) {
        error = name + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    auto flag = [&](bool& out) {
      if (has_value) {
        error = name + " takes no value";
        return false;
      }
      out = true;
      return true;
    };
    auto param = [&](const char* key, std::string text) { o.params.emplace_back(key, std::move(text)); };
    std::string v;

    if (name == "--help" || name == "-h") {
      if (!flag(o.help)) return false;
    } else if (name == "--module") {
      if (!take(o.module)) return false;
    } else if (name == "--simulate") {
      if (!flag(o.simulate)) return false;
    } else if (name == "--sim-gate-ms") {
      double ms;
      if (!take(v)) return false;
      if (!number(v, ms) || ms > 100000) {
        error = "--sim-gate-ms takes milliseconds from 0 to 100000, not \"" + v + "\"";
        return false;
      }
      o.sim_gate_ms = static_cast<int>(ms);
    } else if (name == "--sim-transcript") {
      if (!take(o.sim_transcript)) return false;
    } else if (name == "--sim-numbered") {
      if (!flag(o.sim_numbered)) return false;
    } else if (name == "--set") {
      if (!take(v)) return false;
      size_t at = v.find('=');
      if (at == std::string::npos || at == 0) {
        error = "--set takes KEY=VALUE, not \"" + v + "\"";
        return false;
      }
      param(v.substr(0, at).c_str(), v.substr(at + 1));
    } else if (name == "--interface") {
      if (!take(v)) return false;
      param("Interface", v);
    } else if (name == "--address") {
      if (!take(v)) return false;
      param("Address", v);
    } else if (name == "--data-type") {
      if (!take(v)) return false;
      std::string index;
      if (!choice_index(v, {{"ti", "time-interval", "time interval", "phase"}, {"freq", "frequency"}}, index)) {
        error = "--data-type takes ti or freq (0 or 1), not \"" + v + "\"";
        return false;
      }
      param("Data Type", index);
    } else if (name == "--duration") {
      double d;
      if (!take(v)) return false;
      if (!number(v, d) || d <= 0) {
        error = "--duration takes a positive number, not \"" + v + "\"";
        return false;
      }
      param("Duration", v);
    } else if (name == "--duration-type") {
      if (!take(v)) return false;
      std::string index;
      if (!choice_index(v, {{"points"}, {"seconds"}, {"minutes"}, {"hours"}, {"days"}}, index)) {
        error = "--duration-type takes points, seconds, minutes, hours or days (0-4), not \"" + v + "\"";
        return false;
      }
      param("Duration Type", index);
    } else if (name == "--stop-condition") {
      if (!take(v)) return false;
      std::string index;
      if (!choice_index(v, {{"complete", "auto"}, {"manual"}}, index)) {
        error = "--stop-condition takes complete or manual (0 or 1), not \"" + v + "\"";
        return false;
      }
      param("Stop Condition", index);
    } else if (name == "--query-id") {
      if (!take(v)) return false;
      std::string b;
      if (!yes_no(v, b)) {
        error = "--query-id takes yes or no, not \"" + v + "\"";
        return false;
      }
      param("Query Instrument ID", b);
    } else if (name == "--settings-folder") {
      if (!take(o.settings_folder)) return false;
      if (o.settings_folder.empty()) {
        error = "--settings-folder needs a folder";
        return false;
      }
    } else if (name == "--no-dialog") {
      if (!flag(o.no_dialog)) return false;
    } else if (name == "--no-settings-read") {
      if (!flag(o.no_settings_read)) return false;
    } else if (name == "--no-settings-write") {
      if (!flag(o.no_settings_write)) return false;
    } else if (name == "--dialog-script") {
      if (!take(o.dialog_script)) return false;
    } else if (name == "--output" || name == "-o") {
      if (!take(o.output)) return false;
    } else if (name == "--quiet" || name == "-q") {
      if (!flag(o.quiet)) return false;
    } else if (name == "--readings") {
      double n;
      if (!take(v)) return false;
      if (!number(v, n) || n < 1 || n != static_cast<double>(static_cast<long long>(n))) {
        error = "--readings takes a whole number above 0, not \"" + v + "\"";
        return false;
      }
      o.readings = static_cast<long long>(n);
    } else if (name == "--seconds") {
      if (!take(v)) return false;
      if (!number(v, o.seconds) || o.seconds <= 0) {
        error = "--seconds takes a positive number, not \"" + v + "\"";
        return false;
      }
    } else {
      error = "unknown option \"" + arg + "\" (see --help)";
      return false;
    }
  }
  if (o.no_dialog && !o.dialog_script.empty()) {
    error = "--dialog-script needs the dialog; it cannot go with --no-dialog";
    return false;
  }
  return true;
}

bool shows_dialog(const Options& o) {
  // A direct TCP instrument is no entry of the dialog's interface list, so
  // the dialog would refuse to start on the simulated counter unless a
  // script picks something else.
  return !o.no_dialog && !(o.simulate && o.dialog_script.empty());
}

int acquire_flags(const Options& o) {
  int flags = 0;
  if (!shows_dialog(o)) flags |= OVD_FLAG_NO_DIALOG;
  if (o.no_settings_read) flags |= OVD_FLAG_NO_LOAD;
  // The simulated counter's address is good for this run only.
  if (o.no_settings_write || o.simulate) flags |= OVD_FLAG_NO_SAVE;
  return flags;
}

std::string usage(const char* program) {
  std::string p = program ? program : "orvane-host";
  return "Usage: " + p + " [options]\n"
         "Loads an acquisition driver module, runs its acquire command and records\n"
         "every reading to a text file, one reading per line, with the parameters the\n"
         "driver handed over as '#' lines at the top. Ctrl-C stops the acquisition\n"
         "cleanly (the counter goes back to continuous mode and local control); a\n"
         "second Ctrl-C aborts it.\n"
         "\n"
         "Module and instrument:\n"
         "  --module PATH            the driver module (default: ../driver/U6200A.ovd\n"
         "                           beside this program)\n"
         "  --simulate               acquire from a simulated counter started in this\n"
         "                           process on a loopback TCP port (sets Interface \".\"\n"
         "                           and Address \"127.0.0.1:PORT\"; no setup dialog unless\n"
         "                           --dialog-script; settings are not saved; runs 10 s\n"
         "                           unless --readings, --seconds or --duration say\n"
         "                           otherwise)\n"
         "  --sim-gate-ms MS         the simulated counter's measurement time (0: at once)\n"
         "  --sim-transcript FILE    write the commands the simulated counter received\n"
         "  --sim-numbered           the simulated counter numbers its readings, so that a\n"
         "                           long run can prove none was lost or repeated\n"
         "\n"
         "Parameters (entries of the host's parameter store, over the saved settings):\n"
         "  --interface TEXT         interface descriptor (COM7, GPIB0, 192.168.1.20, \".\")\n"
         "  --address TEXT           GPIB address, or host:port when Interface is \".\"\n"
         "  --data-type ti|freq      time interval (seconds) or frequency (Hz)\n"
         "  --duration N             measurement duration, in units of --duration-type\n"
         "  --duration-type T        points, seconds, minutes, hours or days\n"
         "  --stop-condition C       complete (manual stop or duration reached) or manual\n"
         "  --query-id yes|no        ask the counter for its identification\n"
         "  --set KEY=VALUE          any other parameter, e.g. --set \"Scale Factor=1E-9\"\n"
         "                           (repeatable; the last one for a key wins)\n"
         "\n"
         "Settings and dialog:\n"
         "  --settings-folder DIR    where the driver keeps its settings file (default:\n"
         "                           $XDG_CONFIG_HOME/orvane/ or ~/.config/orvane/,\n"
         "                           created when missing)\n"
         "  --no-dialog              skip the setup dialog (flag 1)\n"
         "  --no-settings-read       do not read the settings file (flag 4)\n"
         "  --no-settings-write      do not write the settings file (flag 8)\n"
         "  --dialog-script FILE     run the setup dialog headless with these actions\n"
         "                           (default: the dialog accepts the parameters as loaded)\n"
         "\n"
         "Run and output:\n"
         "  --readings N             stop cleanly after N readings\n"
         "  --seconds N              stop cleanly after N seconds\n"
         "  --output FILE, -o FILE   the readings file (default: u6200a-DATE-TIME.txt here)\n"
         "  --quiet, -q              no progress display; failures are still shown\n"
         "  --help, -h               this text\n"
         "\n"
         "Exit status: 0 when the acquisition ended normally, 1 when it failed or could\n"
         "not start, 2 for a bad command line, 130 when it was aborted.\n";
}

std::string default_settings_folder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg == '/') return std::string(xdg) + (std::string(xdg).back() == '/' ? "" : "/") + "orvane/";
  const char* home = std::getenv("HOME");
  if (home && *home) return std::string(home) + (std::string(home).back() == '/' ? "" : "/") + ".config/orvane/";
  return "./";
}

bool make_folders(const std::string& path, std::string& error) {
  std::string partial;
  size_t at = 0;
  while (at <= path.size()) {
    size_t slash = path.find('/', at);
    if (slash == std::string::npos) slash = path.size();
    partial = path.substr(0, slash);
    at = slash + 1;
    if (partial.empty() || partial == "." || partial == "..") continue;
    if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
      error = "cannot create " + partial + ": " + std::strerror(errno);
      return false;
    }
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = path + " is not a folder";
    return false;
  }
  return true;
}

}  // namespace ovhost
