// The command line of orvane-host.
#pragma once
#include <string>
#include <utility>
#include <vector>

namespace ovhost {

struct Options {
  std::string module;            // path of the driver module; "" = next to the program
  bool simulate = false;         // acquire from a simulated counter in this process
  int sim_gate_ms = -1;          // the simulated counter's gate time; -1 = its own default
  bool sim_numbered = false;      // numbered readings from the simulated counter
  std::string sim_transcript;    // write what the simulated counter received here
  // Entries of the host's parameter store, in command-line order; a later
  // one with the same key wins.
  std::vector<std::pair<std::string, std::string>> params;
  std::string settings_folder;  // "" = the per-user configuration folder
  bool no_dialog = false;
  bool no_settings_read = false;
  bool no_settings_write = false;
  std::string dialog_script;  // a file of scripted dialog actions
  std::string output;         // "" = a new file named after the time
  bool quiet = false;
  long long readings = 0;  // stop after this many readings; 0 = no bound
  double seconds = 0;      // stop after this long; 0 = no bound
  bool help = false;
};

// Parses argv; false with a message for the user when it cannot.
bool parse_options(int argc, char** argv, Options& out, std::string& error);

std::string usage(const char* program);

// Whether the acquire command is to show the setup dialog.
bool shows_dialog(const Options& options);

// The acquire command's flag word for these options.
int acquire_flags(const Options& options);

// The per-user configuration folder, ending with '/':
// $XDG_CONFIG_HOME/orvane/, else $HOME/.config/orvane/, else "./".
std::string default_settings_folder();

// Creates the folder and its parents; false with the reason.
bool make_folders(const std::string& path, std::string& error);

}  // namespace ovhost
