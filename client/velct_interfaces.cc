// Reading the interfaces file.
#include "velct_interfaces.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

namespace velct::detail {
namespace {

std::string_view Trim(std::string_view s) {
  const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// Splits off the first blank-delimited word of s.
std::string_view NextWord(std::string_view& s) {
  s = Trim(s);
  size_t end = 0;
  while (end < s.size() && !std::isspace(static_cast<unsigned char>(s[end]))) ++end;
  std::string_view word = s.substr(0, end);
  s = Trim(s.substr(end));
  return word;
}

bool SameWord(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::optional<ServerEntry> LookUpServer(const std::string& path, std::string_view server,
                                        std::string& problem) {
  if (path.empty()) {
    problem = "no interfaces file is configured";
    return std::nullopt;
  }
  std::ifstream in(path);
  if (!in) {
    problem = "the interfaces file '" + path + "' cannot be read";
    return std::nullopt;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    std::string_view rest = Trim(line);
    if (rest.empty() || rest.front() == '#') continue;
    if (NextWord(rest) != server) continue;

    const std::string_view kind = NextWord(rest);
    ServerEntry entry;
    if (SameWord(kind, "sqlite") && !rest.empty()) {
      entry.backend = ServerEntry::Backend::kSqlite;
      // A relative database path is taken from the file's own directory.
      std::filesystem::path db(rest);
      if (db.is_relative()) db = std::filesystem::path(path).parent_path() / db;
      entry.target = db.string();
      return entry;
    }
    if (SameWord(kind, "postgres") && !rest.empty()) {
      entry.backend = ServerEntry::Backend::kPostgres;
      entry.target = std::string(rest);
      return entry;
    }
    if (SameWord(kind, "script")) {
      entry.backend = ServerEntry::Backend::kScript;
      entry.target = rest.empty() ? std::string(server) : std::string(rest);
      return entry;
    }
    if (SameWord(kind, "host")) {
      entry.backend = ServerEntry::Backend::kHost;
      entry.target = rest.empty() ? std::string(server) : std::string(rest);
      return entry;
    }
    problem = "line " + std::to_string(number) + " of the interfaces file '" + path +
              "' names the server but no valid backend";
    return std::nullopt;
  }
  problem = "the server is not listed in the interfaces file '" + path + "'";
  return std::nullopt;
}

}  // namespace velct::detail
