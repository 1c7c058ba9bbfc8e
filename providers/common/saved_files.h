// The files a read message's attachments are saved under, the same in
// every provider. A reader gets the paths of a message's saved files
// joined with ';' in one list of 255 bytes, so each name is short, ends on
// a whole UTF-8 character, keeps its extension, and never holds the list's
// separator: every item of the list is a file that was saved.
#ifndef VELPROVIDERS_SAVED_FILES_H
#define VELPROVIDERS_SAVED_FILES_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "file_system.h"
#include "platform.h"

namespace velproviders {

// The longest name a saved file is given, in bytes (the title itself is
// handed out whole as the attachment's title).
inline constexpr size_t kMaxSavedNameBytes = 64;
// An extension longer than this, its dot not counted, is not kept when a
// name is shortened.
inline constexpr size_t kMaxSavedExtensionBytes = 16;

namespace saved_files_detail {

// Whether a title's character is written as '_' in a file name: a
// directory separator, the separator of the reader's list of files, and
// control characters.
inline bool Unsafe(char c) {
  return c == '/' || c == '\\' || c == ';' || static_cast<unsigned char>(c) < 0x20;
}

// text cut to at most bytes, ending before a UTF-8 character the cut would
// split (a character is at most four bytes; text that is no UTF-8 there is
// cut at bytes).
inline std::string_view CutUtf8(std::string_view text, size_t bytes) {
  if (text.size() <= bytes) return text;
  const auto continuation = [text](size_t at) {
    return (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
  };
  size_t end = bytes;
  for (int back = 0; back < 3 && end > 0 && continuation(end); ++back) --end;
  if (continuation(end)) end = bytes;
  return text.substr(0, end);
}

// name, when longer than kMaxSavedNameBytes, shortened to that: the stem
// cut on a whole character, the extension kept. Unsafe characters written
// as '_'. Only what is kept is copied.
inline std::string Shortened(std::string_view name) {
  std::string_view stem = name, extension;
  if (name.size() > kMaxSavedNameBytes) {
    const size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && name.size() - dot >= 2 &&
        name.size() - dot <= kMaxSavedExtensionBytes + 1)
      extension = name.substr(dot);
    stem = CutUtf8(name.substr(0, name.size() - extension.size()),
                   kMaxSavedNameBytes - extension.size());
  }
  std::string out;
  out.reserve(stem.size() + extension.size());
  for (std::string_view part : {stem, extension})
    for (char c : part) out += Unsafe(c) ? '_' : c;
  return out;
}

}  // namespace saved_files_detail

// The file name for the attachment with this title, the index-th of its
// message (from 0): no directories, no hidden names, no list separator or
// control characters, at most kMaxSavedNameBytes bytes; "attachment<n>"
// for a title that leaves nothing.
inline std::string SavedFileName(std::string_view title, size_t index) {
  const size_t start = title.find_first_not_of('.');
  if (start == std::string_view::npos) return "attachment" + std::to_string(index + 1);
  return saved_files_detail::Shortened(title.substr(start));
}

// Creates the files of one message's attachments in one folder, each new
// and owner-only (never through a symbolic link), under its title's
// SavedFileName or, where that is taken (titles that are the same, or the
// same once shortened), under "2-name", "3-name" and so on, shortened by
// the same rule, so that every saved file has a name of its own.
class SavedFiles {
 public:
  explicit SavedFiles(std::string dir) : dir_(std::move(dir)) {}

  // Creates the file for the index-th attachment, titled title. Returns
  // its descriptor, with its path in *path, or -1 (vel::os::LastError()
  // says why). std::bad_alloc when there is no memory for the name.
  int Create(std::string_view title, size_t index, std::string* path) {
    const std::string name = SavedFileName(title, index);
    int& next = next_.try_emplace(name, 1).first->second;
    for (int tries = 0; tries < kMaxTries; ++tries) {
      const int n = next++;
      *path = dir_ + "/" +
              (n == 1 ? name : saved_files_detail::Shortened(std::to_string(n) + "-" + name));
      const int fd = vel::os::Files().CreateNewFile(path->c_str());
      if (fd >= 0 || vel::os::LastError() != static_cast<int32_t>(std::errc::file_exists))
        return fd;
    }
    return -1;
  }

 private:
  static constexpr int kMaxTries = 10000;
  std::string dir_;
  std::map<std::string, int> next_;  // per name, the next number to try
};

}  // namespace velproviders

#endif
