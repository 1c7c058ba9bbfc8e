#include "data_directory.h"

#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "maildir/accounts.h"
#include "providers/net/sample_config.h"
#include "sample_database.h"

namespace velhost {
namespace fs = std::filesystem;
namespace {

void MakeDirectory(const fs::path& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) throw std::runtime_error("cannot create " + path.string() + ": " + ec.message());
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::trunc);
  out << text;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
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
  if (!fs::exists(velnet_ini())) {
    // A sample for the network provider, to fill in for a mail server.
    const fs::path absolute = fs::absolute(root_);
    WriteFile(velnet_ini(), velnet::SampleConfig((absolute / "velnet-spool").string(),
                                                 (absolute / "velnet.log").string()));
    made.push_back(velnet_ini().string() + " (sample network mail configuration)");
  }

  MakeDirectory(mail_root());
  // The mail store's own account code writes the accounts.
  const std::map<std::string, std::string> existing = velcmc::LoadAccounts(mail_root());
  for (const DemoAccount& account : kDemoAccounts) {
    for (const char* sub : {"cur", "new", "tmp"}) MakeDirectory(mail_root() / account.name / sub);
    if (existing.count(account.name) != 0) continue;
    std::string error;
    if (!velcmc::SetPassword(mail_root(), account.name, account.password, &error)) {
      throw std::runtime_error("cannot add the mail account " + std::string(account.name) + ": " +
                               error);
    }
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
