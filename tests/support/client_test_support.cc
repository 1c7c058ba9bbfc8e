#include "client_test_support.h"

#include <sqlite3.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

namespace velct_test {
namespace {

Recorder* RecorderOf(cs_connection* con) {
  // Calls into the client library from inside the callback, as the
  // library's callbacks do.
  Recorder* recorder = nullptr;
  int32_t outlen = 0;
  if (ct_con_props(con, VEL_GET, VEL_PROP_USERDATA, &recorder, sizeof recorder, &outlen) != 1)
    return nullptr;
  return recorder;
}

int32_t OnServerMessage(cs_context*, cs_connection* con, cs_servermsg* msg) {
  if (Recorder* r = RecorderOf(con)) {
    r->events.push_back(Describe(*msg));
    r->server_messages.push_back(*msg);
    r->callback_threads.push_back(std::this_thread::get_id());
  }
  return 1;
}

int32_t OnClientMessage(cs_context*, cs_connection* con, cs_clientmsg* msg) {
  if (Recorder* r = RecorderOf(con)) {
    r->events.push_back(Describe(*msg));
    r->client_messages.push_back(*msg);
    r->callback_threads.push_back(std::this_thread::get_id());
  }
  return 1;
}

std::string ResultName(int32_t type) {
  switch (type) {
    case VEL_ROW_RESULT:
      return "row";
    case VEL_CURSOR_RESULT:
      return "cursor";
    case VEL_PARAM_RESULT:
      return "param";
    case VEL_STATUS_RESULT:
      return "status";
    case VEL_COMPUTE_RESULT:
      return "compute";
    case VEL_CMD_SUCCEED:
      return "succeed";
    case VEL_CMD_FAIL:
      return "fail";
    default:
      return "type " + std::to_string(type);
  }
}

std::string Join(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& p : parts) out += (out.empty() ? "" : " | ") + p;
  return out;
}

}  // namespace

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  std::random_device random;
  path_ = std::filesystem::temp_directory_path() /
          ("velct-test-" + std::to_string(random()) + "-" + std::to_string(counter++));
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

void RunSql(const std::string& db_file, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(db_file.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  EXPECT_EQ(rc, SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

ClientContext::ClientContext(const std::string& interfaces_text) {
  EXPECT_EQ(cs_ctx_alloc(VEL_CS_VERSION, &ctx_), 1);
  EXPECT_EQ(ct_init(ctx_, VEL_CS_VERSION), 1);
  const std::string file = dir_.File("interfaces");
  WriteFile(file, interfaces_text);
  EXPECT_EQ(ct_config(ctx_, VEL_SET, VEL_PROP_IFILE, const_cast<char*>(file.c_str()), VEL_NULLTERM,
                      nullptr),
            1);
}

ClientContext::~ClientContext() {
  ct_exit(ctx_, VEL_FORCE_EXIT);
  cs_ctx_drop(ctx_);
}

std::string Describe(const cs_servermsg& msg) {
  return "srv " + std::to_string(msg.msgnumber) + "/" + std::to_string(msg.severity) + " line " +
         std::to_string(msg.line) + ": " + std::string(msg.text, static_cast<size_t>(msg.textlen));
}

std::string Describe(const cs_clientmsg& msg) {
  const auto n = static_cast<uint32_t>(msg.msgnumber);
  std::ostringstream out;
  out << "cli " << (n >> 24) << "." << ((n >> 16) & 255) << "." << ((n >> 8) & 255) << "."
      << (n & 255) << ": " << std::string(msg.msgstring, static_cast<size_t>(msg.msgstringlen));
  return out.str();
}

Connection::Connection(cs_context* ctx, const std::string& server) {
  EXPECT_EQ(ct_con_alloc(ctx, &con_), 1);
  Recorder* self = &recorder_;
  EXPECT_EQ(ct_con_props(con_, VEL_SET, VEL_PROP_USERDATA, &self, sizeof self, nullptr), 1);
  EXPECT_EQ(ct_callback(nullptr, con_, VEL_SET, VEL_CB_SERVERMSG,
                        reinterpret_cast<void*>(&OnServerMessage)),
            1);
  EXPECT_EQ(ct_callback(nullptr, con_, VEL_SET, VEL_CB_CLIENTMSG,
                        reinterpret_cast<void*>(&OnClientMessage)),
            1);
  if (!server.empty()) {
    EXPECT_EQ(Connect(server), 1) << Join(recorder_.events);
  }
}

Connection::~Connection() {
  ct_close(con_, VEL_FORCE_CLOSE);
  ct_con_drop(con_);
}

int32_t Connection::Connect(const std::string& server) {
  return ct_connect(con_, server.data(), static_cast<int32_t>(server.size()));
}

std::string Connection::Run(const std::string& batch) {
  recorder_.events.clear();
  cs_command* cmd = nullptr;
  if (ct_cmd_alloc(con_, &cmd) != 1) return "ct_cmd_alloc failed";
  if (ct_command(cmd, VEL_LANG_CMD, batch.c_str(), VEL_NULLTERM, VEL_UNUSED) != 1)
    recorder_.events.push_back("ct_command failed");
  else if (ct_send(cmd) != 1)
    recorder_.events.push_back("ct_send failed");
  else
    ReadResults(cmd);
  ct_cmd_drop(cmd);
  return Join(recorder_.events);
}

std::string Connection::ReadResults(cs_command* cmd) {
  std::vector<std::string>& events = recorder_.events;
  for (;;) {
    int32_t type = 0;
    const int32_t rc = ct_results(cmd, &type);
    if (rc == VEL_END_RESULTS) {
      events.push_back("end");
      break;
    }
    if (rc != 1) {
      events.push_back("ct_results failed");
      break;
    }
    if (type == VEL_CMD_DONE) {
      int32_t count = 0;
      EXPECT_EQ(ct_res_info(cmd, VEL_ROW_COUNT, &count, VEL_UNUSED, nullptr), 1);
      events.push_back("done(" + std::to_string(count) + ")");
      continue;
    }
    int32_t columns = 0;
    EXPECT_EQ(ct_res_info(cmd, VEL_NUMDATA, &columns, VEL_UNUSED, nullptr), 1);
    std::string head = ResultName(type);
    if (columns == 0) {
      events.push_back(head);
      continue;
    }
    // Every column bound as character, 255 bytes.
    struct Buffer {
      char value[256];
      int32_t copied;
      int16_t indicator;
    };
    std::vector<Buffer> buffers(static_cast<size_t>(columns));
    head += "[";
    for (int32_t i = 1; i <= columns; ++i) {
      cs_datafmt fmt{};
      EXPECT_EQ(ct_describe(cmd, i, &fmt), 1);
      head += (i > 1 ? "," : "") + std::string(fmt.name, static_cast<size_t>(fmt.namelen)) + ":" +
              std::to_string(fmt.datatype) + ":" + std::to_string(fmt.maxlength);
      fmt.datatype = VEL_CHAR_TYPE;
      fmt.maxlength = 255;
      Buffer& b = buffers[static_cast<size_t>(i - 1)];
      EXPECT_EQ(ct_bind(cmd, i, &fmt, b.value, &b.copied, &b.indicator), 1);
    }
    events.push_back(head + "]");
    int32_t fetched = 0;
    int32_t fetch_rc;
    while ((fetch_rc = ct_fetch(cmd, VEL_UNUSED, VEL_UNUSED, VEL_UNUSED, &fetched)) == 1) {
      std::string row = "(";
      for (size_t i = 0; i < buffers.size(); ++i) {
        const Buffer& b = buffers[i];
        row += (i ? "," : "") + (b.indicator == -1
                                     ? std::string("NULL")
                                     : std::string(b.value, static_cast<size_t>(b.copied)));
      }
      events.push_back(row + ")");
    }
    if (fetch_rc != VEL_END_DATA) {
      events.push_back("ct_fetch failed");
      break;
    }
  }
  return Join(events);
}

}  // namespace velct_test
