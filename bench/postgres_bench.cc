// The PostgreSQL backend of the client stand-in against libpq itself, in
// the same run, on a server of the benchmark's own (see tests/support/pg_server.h):
// a 1,000,000-row, 4-column table fetched through ct_bind/ct_fetch into
// character buffers, against the same rows read with libpq directly
// (streamed a row at a time, and whole); and xp_sendmail of that query into
// the results file against psql printing it to a file.
#include <benchmark/benchmark.h>
#include <libpq-fe.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "client/velct_control.h"
#include "hosts/runtime/velsrv_host.h"
#include "pg_server.h"
#include "platform.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRows = 1000000;
constexpr int kColumns = 4;
constexpr int kBufferSize = 256;
constexpr const char* kQuery = "select id, name, price, code from big";

std::string LibDir() {
  const char* dir = std::getenv("VEL_LIB_DIR");
  return dir != nullptr ? dir : VEL_BUILD_LIB_DIR;
}

// The server with its table, and a directory for the host's files; made
// once, stopped at exit.
struct BenchServer {
  BenchServer() {
    server = veltest::PgServer::Start(problem);
    if (!server) return;
    problem = server->Sql(
        "create table big(id integer, name varchar(20), price double precision, code char(8));"
        "insert into big select i, 'item-' || (i::bigint * 7919 % 100000),"
        " (i::bigint * 31 % 100000) / 100.0,"
        " 'C' || (i::bigint * 104729 % 1000000) from generate_series(1, " +
        std::to_string(kRows) + ") i; grant select on big to velmail");
    if (problem.empty()) problem = server->Sql("vacuum analyze big");
    dir = fs::temp_directory_path() / ("velmail-pg-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "interfaces") << "VELSERVER postgres " << server->conninfo() << "\n";
    conninfo = server->conninfo() + " user=velmail password=" + veltest::PgServer::kVelmailPassword;
  }
  ~BenchServer() {
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
  std::unique_ptr<veltest::PgServer> server;
  std::string problem;
  fs::path dir;
  std::string conninfo;
};

BenchServer& Server() {
  static BenchServer server;
  return server;
}

bool Ready(benchmark::State& state) {
  if (Server().server && Server().problem.empty()) return true;
  state.SkipWithError(("no server: " + Server().problem).c_str());
  return false;
}

struct Column {
  char value[kBufferSize];
  int32_t copied;
  int16_t indicator;
};

void CountRows(benchmark::State& state, int64_t rows, int64_t bytes) {
  if (rows != kRows * state.iterations()) state.SkipWithError("wrong row count");
  state.counters["rows"] =
      benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
  state.counters["bytes_per_row"] = static_cast<double>(bytes) / static_cast<double>(rows);
}

void BM_PgClientFetch(benchmark::State& state) {
  if (!Ready(state)) return;
  const std::string interfaces = (Server().dir / "interfaces").string();
  cs_context* ctx = nullptr;
  cs_connection* con = nullptr;
  cs_command* cmd = nullptr;
  if (cs_ctx_alloc(VEL_CS_VERSION, &ctx) != 1 || ct_init(ctx, VEL_CS_VERSION) != 1 ||
      ct_config(ctx, VEL_SET, VEL_PROP_IFILE, const_cast<char*>(interfaces.c_str()), VEL_NULLTERM,
                nullptr) != 1 ||
      ct_con_alloc(ctx, &con) != 1 ||
      ct_con_props(con, VEL_SET, VEL_PROP_USERNAME, const_cast<char*>("velmail"), VEL_NULLTERM,
                   nullptr) != 1 ||
      ct_con_props(con, VEL_SET, VEL_PROP_PASSWORD,
                   const_cast<char*>(veltest::PgServer::kVelmailPassword), VEL_NULLTERM,
                   nullptr) != 1 ||
      ct_connect(con, "VELSERVER", VEL_NULLTERM) != 1 || ct_cmd_alloc(con, &cmd) != 1) {
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
  CountRows(state, rows, bytes);
  ct_cmd_drop(cmd);
  ct_close(con, VEL_FORCE_CLOSE);
  ct_con_drop(con);
  ct_exit(ctx, VEL_FORCE_EXIT);
  cs_ctx_drop(ctx);
}

// Each value's text copied into a buffer, as a client reading text does.
int64_t CopyRow(const PGresult* result, int row, Column* columns) {
  int64_t bytes = 0;
  for (int i = 0; i < kColumns; ++i) {
    const int n = std::min(PQgetlength(result, row, i), kBufferSize - 1);
    std::memcpy(columns[i].value, PQgetvalue(result, row, i), static_cast<size_t>(n));
    columns[i].copied = n;
    columns[i].indicator = PQgetisnull(result, row, i) ? -1 : 0;
    bytes += n;
  }
  return bytes;
}

// A libpq connection to the benchmark's server, or null (the benchmark
// skipped).
PGconn* Connect(benchmark::State& state) {
  if (!Ready(state)) return nullptr;
  PGconn* conn = PQconnectdb(Server().conninfo.c_str());
  if (PQstatus(conn) != CONNECTION_OK) {
    state.SkipWithError("connect failed");
    PQfinish(conn);
    return nullptr;
  }
  return conn;
}

// The anchor: libpq in single-row mode, the way to read a result of any
// size in flat memory.
void BM_LibpqSingleRow(benchmark::State& state) {
  PGconn* conn = Connect(state);
  if (conn == nullptr) return;
  Column columns[kColumns];
  int64_t rows = 0, bytes = 0;
  for (auto _ : state) {
    PQsendQuery(conn, kQuery);
    PQsetSingleRowMode(conn);
    while (PGresult* result = PQgetResult(conn)) {
      if (PQresultStatus(result) == PGRES_SINGLE_TUPLE) {
        ++rows;
        bytes += CopyRow(result, 0, columns);
      }
      PQclear(result);
    }
    benchmark::DoNotOptimize(columns);
  }
  CountRows(state, rows, bytes);
  PQfinish(conn);
}

// For comparison: the whole result received first, then read (its memory
// grows with the result).
void BM_LibpqWholeResult(benchmark::State& state) {
  PGconn* conn = Connect(state);
  if (conn == nullptr) return;
  Column columns[kColumns];
  int64_t rows = 0, bytes = 0;
  for (auto _ : state) {
    PGresult* result = PQexec(conn, kQuery);
    const int n = PQntuples(result);
    for (int row = 0; row < n; ++row) {
      ++rows;
      bytes += CopyRow(result, row, columns);
    }
    PQclear(result);
    benchmark::DoNotOptimize(columns);
  }
  CountRows(state, rows, bytes);
  PQfinish(conn);
}

BENCHMARK(BM_LibpqSingleRow)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_LibpqWholeResult)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_PgClientFetch)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void BM_PgSendQueryAsResultsFile(benchmark::State& state) {
  if (!Ready(state)) return;
  const fs::path& d = Server().dir;
  std::ofstream(d / "win.ini") << "[Mail]\nCMCDLLNAME32=" << LibDir() << "/libvelbenchcmc.so\n";
  vel::os::SetEnvironmentVariable("WINDIR", d.c_str());
  velsrv::HostOptions options;
  options.library = LibDir() + "/libvelmail.so";
  options.message_library = LibDir() + "/libvelmsgs.so";
  options.interfaces_file = (d / "interfaces").string();
  velsrv::Host host(options);
  velsrv::Client& client = host.NewClient();
  if (client
          .Call("xp_startmail", {velsrv::RpcParam::Text("@mail_user", "ops"),
                                 velsrv::RpcParam::Text("@mail_password", "ops")})
          .returned != 1) {
    state.SkipWithError("cannot log on through the no-op provider");
    return;
  }
  // Results files are written below the host's current directory.
  fs::current_path(d);
  const fs::path out = d / "results.txt";
  for (auto _ : state) {
    velsrv::CallResult r = client.Call(
        "xp_sendmail",
        {velsrv::RpcParam::Text("@recipient", "ops"), velsrv::RpcParam::Text("@query", kQuery),
         velsrv::RpcParam::Text("@dbuser", veltest::PgServer::kVelmailPassword),
         velsrv::RpcParam::Text("@attach_result", "true"),
         velsrv::RpcParam::Text("@attachname", "results.txt")});
    if (r.returned != 1) {
      std::string why = "xp_sendmail failed:";
      for (const velsrv::RoutedMessage& m : r.routed) why += " " + m.text;
      for (const std::string& line : r.log) why += " " + line;
      state.SkipWithError(why.c_str());
      return;
    }
  }
  state.counters["text_MB"] = static_cast<double>(fs::file_size(out)) / 1e6;
}

// The anchor: the server's command-line client printing the same rows,
// unaligned with blanks between the columns, into a file.
void BM_PsqlToFile(benchmark::State& state) {
  if (!Ready(state)) return;
  const fs::path out = Server().dir / "psql.txt";
  const std::string command =
      "psql -X -A -F ' ' -d '" + Server().conninfo + "' -c '" + kQuery + "' > " + out.string();
  for (auto _ : state) {
    if (std::system(command.c_str()) != 0) {
      state.SkipWithError("psql not available");
      return;
    }
  }
  state.counters["text_MB"] = static_cast<double>(fs::file_size(out)) / 1e6;
}

BENCHMARK(BM_PsqlToFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_PgSendQueryAsResultsFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
