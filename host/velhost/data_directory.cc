#include "data_directory.h"

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "password_hash.h"
#include "sample_database.h"

namespace velhost {
namespace fs = std::filesystem;
namespace {

void MakeDirectory(const fs::path& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) throw std::runtime_error("cannot create " + path.string() + ": " + ec.message());
}

void WriteFile(const fs::path& path, const std::string& text, bool append = false) {
  std::ofstream out(path, append ? std::ios::app : std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::set<std::string> AccountNames(const fs::path& passwd) {
  std::set<std::string> names;
  std::ifstream in(passwd);
  for (std::string line; std::getline(in, line);) {
    const size_t colon = line.find(':');
    if (!line.empty() && line[0] != '#' && colon != std::string::npos) {
      names.insert(line.substr(0, colon));
    }
  }
  return names;
}

}  // namespace

std::vector<std::string> DataDirectory::Create(const std::string& provider_path,
                                               const std::string& server_name) const {
  std::vector<std::string> made;
  MakeDirectory(root_);
  MakeDirectory(work());

  if (!fs::exists(database())) {
    CreateSampleDatabase(database());
    made.push_back(database().string() + " (sample tables disks and orders)");
  }
  if (!fs::exists(interfaces())) {
    // A relative database path is taken from the interfaces file's directory.
    WriteFile(interfaces(), "# The server that velmail's queries connect to.\n" + server_name +
                                "  sqlite  " + database().filename().string() + "\n");
    made.push_back(interfaces().string());
  }
  if (!fs::exists(win_ini())) {
    WriteFile(win_ini(), "[Mail]\nCMCDLLNAME32=" + provider_path + "\n");
    made.push_back(win_ini().string());
  }

  const fs::path passwd = mail_root() / "passwd";
  MakeDirectory(mail_root());
  const std::set<std::string> existing = AccountNames(passwd);
  for (const DemoAccount& account : kDemoAccounts) {
    for (const char* sub : {"cur", "new", "tmp"}) MakeDirectory(mail_root() / account.name / sub);
    if (existing.count(account.name) != 0) continue;
    const std::string hash = HashPassword(account.password);
    if (hash.empty()) throw std::runtime_error("cannot hash the password of " +
                                               std::string(account.name));
    WriteFile(passwd, std::string(account.name) + ":" + hash + "\n", true);
    made.push_back("mail account " + std::string(account.name));
  }
  return made;
}

std::string DataDirectory::ConfiguredProvider() const {
  std::ifstream in(win_ini());
  const std::string key = "CMCDLLNAME32=";
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key, 0) == 0) return line.substr(key.size());
  }
  return {};
}

}  // namespace velhost
