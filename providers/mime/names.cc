#include "mime/names.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <unordered_map>

#include "mutex.h"
#include "platform.h"

namespace velcmc {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads decimal digits at text[pos...]; false when there are none.
bool ReadNumber(std::string_view text, size_t& pos, uint64_t& value) {
  size_t start = pos;
  value = 0;
  while (pos < text.size() && IsDigit(text[pos])) value = value * 10 + (text[pos++] - '0');
  return pos > start;
}

std::string HostPart() {
  std::string host = vel::os::HostName();
  if (host.empty()) host = "localhost";
  std::string out;
  for (char c : host) {
    if (c == '/')
      out += "\\057";
    else if (c == ':')
      out += "\\072";
    else
      out += c;
  }
  return out;
}

// One generator for the process, shared by the sessions' threads.
struct RandomSource {
  vel::os::Mutex mutex;
  std::mt19937 generator VEL_GUARDED_BY(mutex){std::random_device{}()};
};

uint32_t RandomNumber() {
  static RandomSource source;
  vel::os::MutexLock lock(source.mutex);
  return static_cast<uint32_t>(source.generator());
}

// The message folders of each session folder of the process, by
// reference.
class MessageFolders {
 public:
  static MessageFolders& Instance() {
    // Never destroyed: a provider call may still run while the process
    // exits.
    static MessageFolders* folders = new MessageFolders();
    return *folders;
  }
  std::string For(const std::string& session_folder, const std::string& reference) {
    vel::os::MutexLock lock(mutex_);
    auto& numbers = sessions_[session_folder];
    const size_t number = numbers.try_emplace(reference, numbers.size() + 1).first->second;
    return std::to_string(number);
  }
  void Forget(const std::string& session_folder) {
    vel::os::MutexLock lock(mutex_);
    sessions_.erase(session_folder);
  }

 private:
  vel::os::Mutex mutex_;
  std::unordered_map<std::string, std::unordered_map<std::string, size_t>> sessions_
      VEL_GUARDED_BY(mutex_);
};

}  // namespace

bool IsValidMailboxName(std::string_view name) {
  if (name.empty() || name.size() > 64 || name.front() == '.' || name == "passwd") return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '.' || c == '_' ||
           c == '+' || c == '-';
  });
}

std::string_view UniquePart(std::string_view file_name) {
  return file_name.substr(0, file_name.find(':'));
}

std::string_view FlagsOf(std::string_view file_name) {
  size_t info = file_name.find(":2,");
  return info == std::string_view::npos ? std::string_view{} : file_name.substr(info + 3);
}

bool IsSeen(std::string_view file_name) {
  return FlagsOf(file_name).find('S') != std::string_view::npos;
}

std::string SeenFileName(std::string_view file_name) {
  std::string flags(FlagsOf(file_name));
  if (flags.find('S') == std::string::npos) flags += 'S';
  std::sort(flags.begin(), flags.end());
  return std::string(UniquePart(file_name)) + ":2," + flags;
}

std::string ReferenceOf(std::string_view unique) {
  if (unique.size() <= kMaxReferenceBytes) return std::string(unique);
  // FNV-1a, 64 bits: a foreign name this long is rare and a collision
  // would only make one of two such messages unreachable by reference.
  uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : unique) hash = (hash ^ c) * 1099511628211ull;
  char text[32];
  std::snprintf(text, sizeof text, "~%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::string NewUniqueName() {
  static std::atomic<uint64_t> deliveries{0};
  static const std::string host = HostPart();
  auto now = std::chrono::system_clock::now().time_since_epoch();
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
  char text[128];
  std::snprintf(text, sizeof text, "%lld.M%06lldP%uQ%lluR%08x.",
                static_cast<long long>(micros / 1000000), static_cast<long long>(micros % 1000000),
                vel::os::ProcessId(), static_cast<unsigned long long>(++deliveries),
                RandomNumber());
  return text + host;
}

DeliveryKey ParseDeliveryKey(std::string_view unique) {
  DeliveryKey key;
  size_t pos = 0;
  uint64_t value = 0;
  if (!ReadNumber(unique, pos, value)) return key;
  key.has_time = true;
  key.seconds = static_cast<int64_t>(value);
  if (pos >= unique.size() || unique[pos] != '.') return key;
  // The middle part: "M<usec>" and "Q<count>" among other letter-tagged
  // numbers, up to the next '.'.
  ++pos;
  while (pos < unique.size() && unique[pos] != '.') {
    char tag = unique[pos++];
    if (!ReadNumber(unique, pos, value)) continue;
    if (tag == 'M') key.microseconds = static_cast<int64_t>(value);
    if (tag == 'Q') key.sequence = value;
  }
  return key;
}

std::string SessionFolderName(uint32_t session) {
  return std::to_string(vel::os::ProcessId()) + "." + std::to_string(session);
}

std::optional<uint32_t> SessionFolderProcess(std::string_view name) {
  const size_t last = name.rfind('.');
  if (last == std::string_view::npos || last == 0) return std::nullopt;
  const size_t before = name.rfind('.', last - 1);
  const size_t start = before == std::string_view::npos ? 0 : before + 1;
  const std::string_view pid = name.substr(start, last - start);
  size_t pos = 0;
  uint64_t value = 0;
  if (pid.size() > 10 || !ReadNumber(pid, pos, value) || pos != pid.size() || value > UINT32_MAX)
    return std::nullopt;
  return static_cast<uint32_t>(value);
}

std::string MessageFolderName(const std::string& session_folder, const std::string& reference) {
  return MessageFolders::Instance().For(session_folder, reference);
}

void ForgetMessageFolders(const std::string& session_folder) {
  MessageFolders::Instance().Forget(session_folder);
}

}  // namespace velcmc
