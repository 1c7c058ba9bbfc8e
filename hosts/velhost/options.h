// velhost's command line.
#ifndef VELHOST_OPTIONS_H
#define VELHOST_OPTIONS_H

#include <optional>
#include <string>
#include <vector>

namespace velhost {

struct Options {
  std::string data_dir = "velmail-data";
  std::string lib_dir;  // empty: VEL_LIB_DIR, else beside the program (LibraryDirectory)
  std::string server_name = "VELSERVER";
  std::string log_file;
  std::optional<std::string> mail_user;
  std::string mail_password;
  int clients = 0;  // 0: one per script
  bool init = false;
  bool demo = false;
  bool echo = false;
  bool help = false;
  bool version = false;
  std::vector<std::string> scripts;  // "-" is standard input
};

// Parses argv; on a bad command line, returns nothing with the reason in
// *error.
std::optional<Options> ParseOptions(int argc, const char* const* argv, std::string* error);

const char* UsageText();

}  // namespace velhost

#endif
