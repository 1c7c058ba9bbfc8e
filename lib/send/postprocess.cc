// Body post-processing: the query echo, the results file, and the checks
// of the include files.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "frame/errors.h"
#include "frame/startup.h"
#include "frame/state.h"
#include "platform.h"
#include "send/send.h"

namespace {

const char kBanner[] = "\nThe Queries Submitted were:\n";
constexpr int32_t kBannerLength = sizeof(kBanner) - 1;  // 29

// How many names one call draws before it gives up on finding a free one:
// as many as there are names.
constexpr int kNameDraws = 32768;

// Creates a results file under a generated name. The generator is seeded
// from the current second and draws names until one is free: the file is
// created exclusively, so a name taken by an earlier call, by another call
// running now or by another process is never written over. The name is
// stored as "@attachname". Null (reported) when the time cannot be read or
// no file can be created.
std::unique_ptr<vel::os::File> CreateGeneratedResultsFile(srv_proc* thread, sm_param* attachname) {
  cs_daterec now;
  memset(&now, 0, sizeof(now));
  if (cs_time(sm_state.ctx, nullptr, nullptr, VEL_UNUSED, nullptr, &now) != VEL_SUCCEED) {
    sm_raise_failed(thread, SM_MSG_LIBRARY_CALL_FAILED, "cs_time", 0);
    return nullptr;
  }
  vel::os::CriticalSectionLock lock(sm_state.generator_lock);
  vel::os::SeedRandom(static_cast<uint32_t>(now.second));
  int32_t error = 0;
  for (int draw = 0; draw < kNameDraws; ++draw) {
    char name[16];
    snprintf(name, sizeof(name), "vel%05d.txt", vel::os::Random());
    std::unique_ptr<vel::os::File> file = vel::os::File::Create(name, vel::os::File::Mode::kNew);
    if (file != nullptr) {
      sm_setparamtext(attachname, name);
      return file;
    }
    error = vel::os::LastError();
    if (!vel::os::File::ErrorIsExists(error)) break;
  }
  sm_raise(thread, 0, SM_MSG_CANNOT_CREATE_FILE, nullptr, error);
  return nullptr;
}

// Whether a file name is absolute: a leading separator or a drive. Both
// separators count, as they do on Windows.
bool IsAbsolute(const char* name) {
  return name[0] == '/' || name[0] == '\\' || (name[0] != '\0' && name[1] == ':');
}

// Whether a results-file name the caller gave stays below the current
// directory: not absolute and without a ".." component.
bool StaysInCurrentDirectory(const char* name) {
  if (IsAbsolute(name)) return false;
  const char* part = name;
  for (const char* p = name;; ++p) {
    if (*p == '/' || *p == '\\' || *p == '\0') {
      if (p - part == 2 && part[0] == '.' && part[1] == '.') return false;
      if (*p == '\0') return true;
      part = p + 1;
    }
  }
}

}  // namespace

char* sm_nextincludeitem(char** cursor) {
  char* p = *cursor;
  while (*p == ',') ++p;
  if (*p == '\0') return nullptr;
  char* item = p;
  while (*p != '\0' && *p != ',') ++p;
  if (*p == ',') *p++ = '\0';
  *cursor = p;
  return item;
}

void sm_trim(char** text) {
  while (**text == ' ') ++*text;
  size_t n = strlen(*text);
  while (n > 0 && (*text)[n - 1] == ' ') (*text)[--n] = '\0';
}

char* sm_basename(char* path) {
  char* name = path;
  for (char* p = path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/') name = p + 1;
  }
  return name;
}

int32_t sm_postprocessmb(srv_proc* thread, sm_sendmail_params* record, sm_text* body) {
  sm_param* query = &record->params[SM_SEND_QUERY];
  sm_param* attachname = &record->params[SM_SEND_ATTACHNAME];
  sm_param* include = &record->params[SM_SEND_INCLUDE_FILE];

  if (query->length > 0 && record->include_query) {
    std::string echo(kBanner, kBannerLength);
    echo.append(query->value, static_cast<size_t>(query->length));
    if (!sm_appendtext(body, echo.data(), static_cast<int32_t>(echo.size()), "sm_postprocessmb")) {
      sm_raise(thread, 0, SM_MSG_FAILED, nullptr, 0);
      return 0;
    }
  }

  if (record->attach_result && query->length > 0) {
    std::unique_ptr<vel::os::File> file;
    if (attachname->length == 0) {
      file = CreateGeneratedResultsFile(thread, attachname);
      if (file == nullptr) return 0;
    } else {
      // A name the caller chose is written over when it exists, but only
      // here: never through a link, never outside the current directory.
      const char* file_name = sm_paramtext(attachname);
      if (!StaysInCurrentDirectory(file_name)) {
        sm_raise(thread, 0, SM_MSG_BAD_VALUE, "@attachname", 0);
        return 0;
      }
      file = vel::os::File::Create(file_name, vel::os::File::Mode::kReplace);
      if (file == nullptr) {
        sm_raise(thread, 0, SM_MSG_CANNOT_CREATE_FILE, nullptr, vel::os::LastError());
        return 0;
      }
    }
    if (body->block != nullptr) {
      uint32_t written = 0;
      const bool ok = file->Write(body->block, static_cast<uint32_t>(body->length), &written);
      if (!ok || written != static_cast<uint32_t>(body->length)) {
        const int32_t error = vel::os::LastError();
        file->Close();
        sm_raise(thread, 0, SM_MSG_CANNOT_WRITE_FILE, nullptr, ok ? 0 : error);
        return 0;
      }
    }
    file->Close();
    record->attach_count = 1;
    sm_freetext(body);  // the file holds the results now
  }

  if (include->length > 0) {
    char list[SM_VALUE_SIZE + 1];
    memcpy(list, include->value, static_cast<size_t>(include->length));
    list[include->length] = '\0';
    char* cursor = list;
    for (char* item = sm_nextincludeitem(&cursor); item != nullptr;
         item = sm_nextincludeitem(&cursor)) {
      sm_trim(&item);
      const int32_t error = vel::os::FileAccess(item);
      if (error != 0) {
        // The name as the file was looked for: an absolute one alone, a
        // relative one after the current directory.
        std::string text = item;
        if (!IsAbsolute(item)) {
          char directory[260] = "";
          vel::os::GetCurrentDirectory(directory, sizeof(directory));
          text = std::string(directory) + "/" + item;
        }
        sm_raise(thread, 0, SM_MSG_INCLUDE_FILE, text.c_str(), error);
        return 0;
      }
      ++record->attach_count;
    }
  }
  return 1;
}
