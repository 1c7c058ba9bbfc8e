// Shared set-up of the maildir provider tests: a fresh mail root with
// accounts, the provider module loaded as a host loads it, and helpers to
// build the CMC records a caller passes.
#ifndef MAILDIR_TEST_SUPPORT_H
#define MAILDIR_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "cmc.h"
#include "platform/platform.h"

namespace maildir_test {

namespace fs = std::filesystem;

inline std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteAll(const fs::path& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// Files directly in a directory, by name.
inline std::vector<std::string> FilesIn(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  return names;
}

// A fresh directory under the system's temporary directory (or under
// base), removed again at the end of the test.
class TempDir {
 public:
  explicit TempDir(const fs::path& base = fs::temp_directory_path()) {
    std::random_device random;
    path_ = base / ("velcmc-test-" + std::to_string(vel::os::ProcessId()) + "-" +
                    std::to_string(random()));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The eight entry points, resolved from a loaded module.
struct Cmc {
  vel::os::Module module = nullptr;
  CMC_logon_fn logon = nullptr;
  CMC_logoff_fn logoff = nullptr;
  CMC_free_fn free = nullptr;
  CMC_send_fn send = nullptr;
  CMC_look_up_fn look_up = nullptr;
  CMC_list_fn list = nullptr;
  CMC_read_fn read = nullptr;
  CMC_act_on_fn act_on = nullptr;

  // Loads lib/<file> of the build; false when a piece is missing.
  bool Load(const std::string& file) {
    module = vel::os::LoadModule((std::string(VEL_BUILD_LIB_DIR) + "/" + file).c_str());
    if (!module) return false;
    auto get = [&](auto& fn, const char* name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(
          vel::os::ModuleSymbol(module, name));
      return fn != nullptr;
    };
    return get(logon, "cmc_logon") & get(logoff, "cmc_logoff") & get(free, "cmc_free") &
           get(send, "cmc_send") & get(look_up, "cmc_look_up") & get(list, "cmc_list") &
           get(read, "cmc_read") & get(act_on, "cmc_act_on");
  }
};

// A message reference as the library builds one from "@msg_id".
class Reference {
 public:
  explicit Reference(const std::string& bytes)
      : storage_(sizeof(CMC_uint32) + bytes.size() + 8, 0) {
    auto* ref = reinterpret_cast<CMC_message_reference*>(storage_.data());
    ref->length = static_cast<CMC_uint32>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), ref->string);
  }
  CMC_message_reference* get() { return reinterpret_cast<CMC_message_reference*>(storage_.data()); }

 private:
  std::vector<char> storage_;
};

inline std::string Bytes(const CMC_message_reference* ref) {
  return ref ? std::string(ref->string, ref->length) : std::string();
}

// An outgoing message as the library builds it: recipients and
// attachments flagged last, the all-zero time.
class Outgoing {
 public:
  Outgoing& To(const std::string& name, CMC_enum role = CMC_ROLE_TO) {
    names_.push_back(name);
    roles_.push_back(role);
    return *this;
  }
  Outgoing& Attach(const std::string& file, const std::string& title) {
    files_.push_back(file);
    titles_.push_back(title);
    return *this;
  }
  Outgoing& Subject(std::string s) {
    subject_ = std::move(s);
    return *this;
  }
  Outgoing& Text(std::string t) {
    text_ = std::move(t);
    has_text_ = true;
    return *this;
  }
  Outgoing& Type(std::string t) {
    type_ = std::move(t);
    return *this;
  }

  CMC_message* Build() {
    recipients_.assign(names_.size(), CMC_recipient{});
    for (size_t i = 0; i < names_.size(); ++i) {
      recipients_[i].name = names_[i].data();
      recipients_[i].name_type = CMC_TYPE_INDIVIDUAL;
      recipients_[i].role = roles_[i];
    }
    if (!recipients_.empty()) recipients_.back().recip_flags = CMC_RECIP_LAST_ELEMENT;
    attachments_.assign(files_.size(), CMC_attachment{});
    for (size_t i = 0; i < files_.size(); ++i) {
      attachments_[i].attach_filename = files_[i].data();
      attachments_[i].attach_title = titles_[i].data();
      attachments_[i].attach_flags = CMC_ATT_APP_OWNS_FILE;
    }
    if (!attachments_.empty()) attachments_.back().attach_flags |= CMC_ATT_LAST_ELEMENT;
    message_ = CMC_message{};
    message_.message_type = type_.data();
    message_.subject = subject_.data();
    message_.text_note = has_text_ ? text_.data() : nullptr;
    message_.recipients = recipients_.empty() ? nullptr : recipients_.data();
    message_.attachments = attachments_.empty() ? nullptr : attachments_.data();
    message_.message_flags = 0x80000000u;
    return &message_;
  }

 private:
  std::vector<std::string> names_, files_, titles_;
  std::vector<CMC_enum> roles_;
  std::string subject_, text_, type_ = "CMC: IPM";
  bool has_text_ = false;
  std::vector<CMC_recipient> recipients_;
  std::vector<CMC_attachment> attachments_;
  CMC_message message_{};
};

// A mail root with accounts made by the account tool, the provider module
// loaded, and the root in VELCMC_ROOT. Times are shown in UTC.
class MaildirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vel::os::SetEnvironmentVariable("TZ", "UTC");
    root_ = dir_.path() / "mail";
    vel::os::SetEnvironmentVariable("VELCMC_ROOT", root_.c_str());
    ASSERT_TRUE(cmc_.Load("libvelcmc.so")) << vel::os::ModuleError();
  }
  void TearDown() override {
    for (CMC_session_id id : open_) cmc_.logoff(id, 0, 0, nullptr);
  }

  void AddAccount(const std::string& name, const std::string& password) {
    std::string command = "printf '%s\\n' '" + password + "' | '" VELCMC_PASSWD_TOOL "' '" +
                          root_.string() + "' '" + name + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
  }

  CMC_return_code Logon(const std::string& user, const std::string& password, CMC_session_id* id,
                        CMC_extension* extensions = nullptr) {
    *id = 0;
    CMC_return_code rc =
        cmc_.logon(nullptr, const_cast<char*>(user.c_str()), const_cast<char*>(password.c_str()),
                   nullptr, 0, 100, 0, id, extensions);
    if (rc == CMC_SUCCESS) open_.push_back(*id);
    return rc;
  }

  // Logs on and fails the test if that does not work.
  CMC_session_id Session(const std::string& user, const std::string& password) {
    CMC_session_id id = 0;
    EXPECT_EQ(Logon(user, password, &id), CMC_SUCCESS);
    return id;
  }

  // References of the listed messages, with their summary flags.
  struct Listed {
    std::string reference, subject, type, sender;
    CMC_flags flags = 0;
    CMC_uint32 length = 0;
  };
  std::vector<Listed> List(CMC_session_id id, const char* type = nullptr, CMC_flags flags = 0,
                           CMC_uint32 count = 0) {
    std::vector<Listed> out;
    CMC_message_summary* result = nullptr;
    EXPECT_EQ(cmc_.list(id, const_cast<char*>(type), flags, nullptr, &count, 0, &result, nullptr),
              CMC_SUCCESS);
    for (CMC_uint32 i = 0; i < count; ++i) {
      const CMC_message_summary& s = result[i];
      out.push_back({Bytes(s.message_reference), s.subject ? s.subject : "",
                     s.message_type ? s.message_type : "",
                     s.originator && s.originator->name ? s.originator->name : "", s.summary_flags,
                     s.byte_length});
      EXPECT_EQ((s.summary_flags & CMC_SUM_LAST_ELEMENT) != 0, i + 1 == count) << i;
    }
    if (result) {
      EXPECT_EQ(cmc_.free(result), CMC_SUCCESS);
    }
    return out;
  }

  fs::path Mailbox(const std::string& name) const { return root_ / name; }

  TempDir dir_;
  fs::path root_;
  Cmc cmc_;
  std::vector<CMC_session_id> open_;
};

}  // namespace maildir_test

#endif
