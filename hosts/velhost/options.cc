#include "options.h"

#include <cstdlib>

namespace velhost {

std::optional<Options> ParseOptions(int argc, const char* const* argv, std::string* error) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    // An option's value, as the next argument or after '='.
    auto value = [&](const std::string& name) -> std::optional<std::string> {
      if (arg.size() > name.size() && arg.compare(0, name.size() + 1, name + "=") == 0) {
        return arg.substr(name.size() + 1);
      }
      if (arg != name) return std::nullopt;
      if (i + 1 >= argc) {
        *error = name + " needs a value";
        return std::nullopt;
      }
      return std::string(argv[++i]);
    };
    auto matches = [&](const std::string& name) {
      return arg == name || arg.rfind(name + "=", 0) == 0;
    };

    if (arg == "-h" || arg == "--help") {
      options.help = true;
    } else if (arg == "--version") {
      options.version = true;
    } else if (arg == "--init") {
      options.init = true;
    } else if (arg == "--demo") {
      options.demo = true;
    } else if (arg == "--echo") {
      options.echo = true;
    } else if (matches("--data")) {
      auto v = value("--data");
      if (!v) return std::nullopt;
      options.data_dir = *v;
    } else if (matches("--lib-dir")) {
      auto v = value("--lib-dir");
      if (!v) return std::nullopt;
      options.lib_dir = *v;
    } else if (matches("--server")) {
      auto v = value("--server");
      if (!v) return std::nullopt;
      options.server_name = *v;
    } else if (matches("--log")) {
      auto v = value("--log");
      if (!v) return std::nullopt;
      options.log_file = *v;
    } else if (matches("--mail-user")) {
      auto v = value("--mail-user");
      if (!v) return std::nullopt;
      options.mail_user = *v;
    } else if (matches("--mail-password")) {
      auto v = value("--mail-password");
      if (!v) return std::nullopt;
      options.mail_password = *v;
    } else if (matches("--clients")) {
      auto v = value("--clients");
      if (!v) return std::nullopt;
      char* end = nullptr;
      const long n = std::strtol(v->c_str(), &end, 10);
      if (v->empty() || *end != '\0' || n < 1 || n > 64) {
        *error = "--clients needs a number from 1 to 64";
        return std::nullopt;
      }
      options.clients = static_cast<int>(n);
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
      *error = "unknown option " + arg;
      return std::nullopt;
    } else {
      options.scripts.push_back(arg);
    }
  }
  if (options.demo && !options.scripts.empty()) {
    *error = "--demo runs its own script; give no script files with it";
    return std::nullopt;
  }
  return options;
}

const char* UsageText() {
  return "usage: velhost [options] [SCRIPT...]\n"
         "Runs velmail's procedures as a database server's host would: typed at the\n"
         "prompt, or from SCRIPT files ('-' or a non-terminal standard input).\n"
         "\n"
         "  --data DIR          data directory (default ./velmail-data); made when absent\n"
         "  --init              create what is missing in the data directory, then stop\n"
         "  --demo              run a scripted tour of every procedure\n"
         "  --clients N         run the scripts on N clients at once (one script: N copies)\n"
         "  --echo              write each statement before its outcome\n"
         "  --log FILE          append the host log to FILE\n"
         "  --mail-user NAME    hand this mail profile to the library at start\n"
         "  --mail-password PW  its password\n"
         "  --server NAME       the host's server name (default VELSERVER)\n"
         "  --lib-dir DIR       where libvelmail.so and the other modules are\n"
         "  --version           print velhost's version and stop\n"
         "  -h, --help          this text\n"
         "\n"
         "Type 'help' at the prompt for the statement syntax.\n";
}

}  // namespace velhost
