// A 1,000,000-row, 4-column query fetched through ct_bind/ct_fetch into
// character buffers, against the same query stepped through the SQLite C
// API with every value turned into text (by the engine, and by hand), in
// the same run. And small queries, each on a connection of its own as
// xp_sendmail makes them, from one client thread and from eight at once on
// one shared context: the eight together should get no fewer done.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>

#include "client/velct_control.h"

namespace {

constexpr int kRows = 1000000;
constexpr int kColumns = 4;
constexpr int kBufferSize = 256;
constexpr const char* kQuery = "select id, name, price, code from big";

// A database of kRows rows and an interfaces file naming it, in a directory
// of their own that is removed at the end.
class BenchData {
 public:
  BenchData() {
    std::random_device random;
    dir_ = std::filesystem::temp_directory_path() / ("velct-bench-" + std::to_string(random()));
    std::filesystem::create_directories(dir_);
    db_file_ = (dir_ / "bench.db").string();
    interfaces_ = (dir_ / "interfaces").string();
    std::ofstream(interfaces_) << "BENCH sqlite bench.db\n";

    sqlite3* db = nullptr;
    if (sqlite3_open(db_file_.c_str(), &db) != SQLITE_OK) throw std::runtime_error("open");
    const std::string fill =
        "create table big(id integer, name varchar(40), price real, code char(12));"
        "with recursive n(i) as (select 1 union all select i + 1 from n where i < " +
        std::to_string(kRows) +
        ") insert into big select i, 'name-' || i, i * 0.25 + 0.1, printf('C%08d', i) from n;"
        "create table small as select * from big where id <= 20;";
    const int rc = sqlite3_exec(db, fill.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
    if (rc != SQLITE_OK) throw std::runtime_error("fill");
  }
  ~BenchData() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  const std::string& db_file() const { return db_file_; }
  const std::string& interfaces() const { return interfaces_; }

 private:
  std::filesystem::path dir_;
  std::string db_file_;
  std::string interfaces_;
};

const BenchData& Data() {
  static const BenchData data;
  return data;
}

struct Column {
  char value[kBufferSize];
  int32_t copied;
  int16_t indicator;
};

void BM_ClientFetch(benchmark::State& state) {
  const BenchData& data = Data();
  cs_context* ctx = nullptr;
  cs_connection* con = nullptr;
  cs_command* cmd = nullptr;
  if (cs_ctx_alloc(VEL_CS_VERSION, &ctx) != 1 || ct_init(ctx, VEL_CS_VERSION) != 1 ||
      ct_config(ctx, VEL_SET, VEL_PROP_IFILE, const_cast<char*>(data.interfaces().c_str()),
                VEL_NULLTERM, nullptr) != 1 ||
      ct_con_alloc(ctx, &con) != 1 || ct_connect(con, "BENCH", VEL_NULLTERM) != 1 ||
      ct_cmd_alloc(con, &cmd) != 1) {
    state.SkipWithError("set-up failed");
    return;
  }
  Column columns[kColumns];
  int64_t rows = 0, bytes = 0;
  for (auto _ : state) {
    int32_t type = 0;
    ct_command(cmd, VEL_LANG_CMD, kQuery, VEL_NULLTERM, VEL_UNUSED);
    ct_send(cmd);
    while (ct_results(cmd, &type) == 1) {
      if (type != VEL_ROW_RESULT) continue;
      for (int i = 0; i < kColumns; ++i) {
        cs_datafmt fmt{};
        fmt.datatype = VEL_CHAR_TYPE;
        fmt.maxlength = kBufferSize - 1;
        ct_bind(cmd, i + 1, &fmt, columns[i].value, &columns[i].copied, &columns[i].indicator);
      }
      while (ct_fetch(cmd, VEL_UNUSED, VEL_UNUSED, VEL_UNUSED, nullptr) == 1) {
        ++rows;
        for (const Column& c : columns) bytes += c.copied;
      }
    }
    benchmark::DoNotOptimize(columns);
  }
  if (rows != kRows * state.iterations()) state.SkipWithError("wrong row count");
  state.counters["rows"] =
      benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
  state.counters["bytes_per_row"] = static_cast<double>(bytes) / static_cast<double>(rows);
  ct_cmd_drop(cmd);
  ct_close(con, VEL_FORCE_CLOSE);
  ct_con_drop(con);
  ct_exit(ctx, VEL_FORCE_EXIT);
  cs_ctx_drop(ctx);
}

void BM_SqliteStep(benchmark::State& state) {
  const BenchData& data = Data();
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(data.db_file().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    state.SkipWithError("open failed");
    return;
  }
  Column columns[kColumns];
  int64_t rows = 0, bytes = 0;
  for (auto _ : state) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, kQuery, -1, &stmt, nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      ++rows;
      for (int i = 0; i < kColumns; ++i) {
        // The engine's own conversion to text, cut to the buffer.
        const unsigned char* text = sqlite3_column_text(stmt, i);
        const int n = std::min(sqlite3_column_bytes(stmt, i), kBufferSize - 1);
        if (text) std::memcpy(columns[i].value, text, static_cast<size_t>(n));
        columns[i].copied = text ? n : 0;
        bytes += columns[i].copied;
      }
    }
    sqlite3_finalize(stmt);
    benchmark::DoNotOptimize(columns);
  }
  if (rows != kRows * state.iterations()) state.SkipWithError("wrong row count");
  state.counters["rows"] =
      benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
  state.counters["bytes_per_row"] = static_cast<double>(bytes) / static_cast<double>(rows);
  sqlite3_close(db);
}

// The same stepping with each value read in its own type and turned into
// text with std::to_chars, the conversion the stand-in itself uses: what is
// left between this and BM_ClientFetch is the stand-in's own cost.
// With open_flags 0 the handle is SQLite's default (serialized: every call
// takes the handle's mutex); BM_SqliteStepTypedNoMutex opens it the way the
// stand-in does, without that mutex.
void StepTyped(benchmark::State& state, int open_flags) {
  const BenchData& data = Data();
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(data.db_file().c_str(), &db, SQLITE_OPEN_READWRITE | open_flags, nullptr) !=
      SQLITE_OK) {
    state.SkipWithError("open failed");
    return;
  }
  Column columns[kColumns];
  int64_t rows = 0;
  for (auto _ : state) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, kQuery, -1, &stmt, nullptr);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      ++rows;
      for (int i = 0; i < kColumns; ++i) {
        char* out = columns[i].value;
        char* end = out + kBufferSize - 1;
        switch (sqlite3_column_type(stmt, i)) {
          case SQLITE_INTEGER:
            end = std::to_chars(out, end, sqlite3_column_int64(stmt, i)).ptr;
            break;
          case SQLITE_FLOAT:
            end = std::to_chars(out, end, sqlite3_column_double(stmt, i)).ptr;
            break;
          case SQLITE_NULL:
            end = out;
            break;
          default: {
            const void* text = sqlite3_column_blob(stmt, i);
            const int n = std::min(sqlite3_column_bytes(stmt, i), kBufferSize - 1);
            if (n) std::memcpy(out, text, static_cast<size_t>(n));
            end = out + n;
          }
        }
        columns[i].copied = static_cast<int32_t>(end - out);
      }
    }
    sqlite3_finalize(stmt);
    benchmark::DoNotOptimize(columns);
  }
  if (rows != kRows * state.iterations()) state.SkipWithError("wrong row count");
  state.counters["rows"] =
      benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
  sqlite3_close(db);
}

// One context for every client thread, as the library has one.
cs_context* SharedContext() {
  static cs_context* ctx = [] {
    cs_context* made = nullptr;
    if (cs_ctx_alloc(VEL_CS_VERSION, &made) != 1 || ct_init(made, VEL_CS_VERSION) != 1 ||
        ct_config(made, VEL_SET, VEL_PROP_IFILE, const_cast<char*>(Data().interfaces().c_str()),
                  VEL_NULLTERM, nullptr) != 1)
      return static_cast<cs_context*>(nullptr);
    return made;
  }();
  return ctx;
}

// One small query the way xp_sendmail runs one: a connection made for it,
// the 20 rows fetched as text, the connection dropped. False on a failure.
bool SmallQuery(cs_context* ctx, int64_t& rows) {
  cs_connection* con = nullptr;
  cs_command* cmd = nullptr;
  if (ct_con_alloc(ctx, &con) != 1) return false;
  bool ok = ct_connect(con, "BENCH", VEL_NULLTERM) == 1 && ct_cmd_alloc(con, &cmd) == 1 &&
            ct_command(cmd, VEL_LANG_CMD, "select id, name, price, code from small", VEL_NULLTERM,
                       VEL_UNUSED) == 1 &&
            ct_send(cmd) == 1;
  Column columns[kColumns];
  int32_t type = 0;
  while (ok && ct_results(cmd, &type) == 1) {
    if (type != VEL_ROW_RESULT) continue;
    for (int i = 0; i < kColumns; ++i) {
      cs_datafmt fmt{};
      fmt.datatype = VEL_CHAR_TYPE;
      fmt.maxlength = kBufferSize - 1;
      ok = ok && ct_bind(cmd, i + 1, &fmt, columns[i].value, &columns[i].copied,
                         &columns[i].indicator) == 1;
    }
    while (ok && ct_fetch(cmd, VEL_UNUSED, VEL_UNUSED, VEL_UNUSED, nullptr) == 1) ++rows;
  }
  benchmark::DoNotOptimize(columns);
  if (cmd) ct_cmd_drop(cmd);
  ct_close(con, VEL_FORCE_CLOSE);
  ct_con_drop(con);
  return ok;
}

void BM_ClientSmallQueries(benchmark::State& state) {
  cs_context* ctx = SharedContext();
  if (!ctx) {
    state.SkipWithError("set-up failed");
    return;
  }
  int64_t rows = 0;
  for (auto _ : state) {
    if (!SmallQuery(ctx, rows)) {
      state.SkipWithError("query failed");
      break;
    }
  }
  if (rows != 20 * state.iterations()) state.SkipWithError("wrong row count");
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_SqliteStep)->Unit(benchmark::kMillisecond)->MinTime(3.0);
void BM_SqliteStepTyped(benchmark::State& state) { StepTyped(state, 0); }
void BM_SqliteStepTypedNoMutex(benchmark::State& state) { StepTyped(state, SQLITE_OPEN_NOMUTEX); }
BENCHMARK(BM_SqliteStepTyped)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_SqliteStepTypedNoMutex)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_ClientFetch)->Unit(benchmark::kMillisecond)->MinTime(3.0);
// Queries a second, all threads together: eight clients should get at
// least as many done as one.
BENCHMARK(BM_ClientSmallQueries)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->MinTime(2.0)
    ->Threads(1)
    ->Threads(8);

}  // namespace

BENCHMARK_MAIN();
