#include "delivery.h"

#include <cerrno>
#include <set>
#include <system_error>

#include "names.h"
#include "platform.h"

namespace velcmc {
namespace fs = std::filesystem;

namespace {

bool IsFullDisk(int32_t error) {
  return error == static_cast<int32_t>(std::errc::no_space_on_device) ||
         error == static_cast<int32_t>(std::errc::file_too_large)
#ifdef EDQUOT
         || error == EDQUOT
#endif
      ;
}

}  // namespace

Delivery::~Delivery() {
  if (committed_) return;
  std::error_code ec;
  for (const Copy& copy : staged_) fs::remove(copy.tmp, ec);
}

CMC_return_code Delivery::Stage(const Mailbox& mailbox, const std::string& head,
                                const std::string& body) {
  std::string data;
  data.reserve(head.size() + body.size());
  data += head;
  data += body;
  // A clash with an existing name is all but impossible; a fresh name is
  // tried a few times before giving up.
  for (int attempt = 0; attempt < 5; ++attempt) {
    std::string unique = NewUniqueName();
    fs::path tmp = mailbox.TmpDir() / unique;
    if (vel::os::WriteNewFileDurably(tmp.string().c_str(), data.data(), data.size())) {
      staged_.push_back({tmp, mailbox.NewDir() / unique, mailbox.NewDir()});
      return CMC_SUCCESS;
    }
    int32_t error = vel::os::LastError();
    if (error == static_cast<int32_t>(std::errc::file_exists)) continue;
    return IsFullDisk(error) ? CMC_E_DISK_FULL : CMC_E_FAILURE;
  }
  return CMC_E_FAILURE;
}

CMC_return_code Delivery::Commit() {
  std::error_code ec;
  for (size_t i = 0; i < staged_.size(); ++i) {
    // The target name is fresh and unique, so the rename replaces nothing.
    fs::rename(staged_[i].tmp, staged_[i].target, ec);
    if (ec) {
      for (size_t j = 0; j < i; ++j) fs::rename(staged_[j].target, staged_[j].tmp, ec);
      return CMC_E_FAILURE;
    }
  }
  committed_ = true;
  std::set<fs::path> dirs;
  for (const Copy& copy : staged_) dirs.insert(copy.new_dir);
  for (const fs::path& dir : dirs) vel::os::SyncDirectory(dir.string().c_str());
  return CMC_SUCCESS;
}

}  // namespace velcmc
