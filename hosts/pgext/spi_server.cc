#include "spi_server.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "bridge.h"
#include "encoding.h"
#include "velct_host.h"

namespace velpg {
namespace {

constexpr long kChunkRows = 1000;  // rows handed over at once
constexpr int32_t kSeverityError = 16;

// The message number of a SQLSTATE, as the client library's PostgreSQL
// backend numbers it: the five characters read as a base-36 number.
int32_t SqlStateNumber(int sqlerrcode) {
  const char* state = unpack_sql_state(sqlerrcode);
  int32_t number = 0;
  for (int i = 0; i < 5 && state[i]; ++i) {
    const char c = state[i];
    number = number * 36 + (c >= '0' && c <= '9'   ? c - '0'
                            : c >= 'A' && c <= 'Z' ? c - 'A' + 10
                                                   : 0);
  }
  return number;
}

// Rows of a statement, handed from the main thread to the client thread:
// the values stay where the output functions wrote them (one of
// g_rows_contexts), which the main thread resets only when the client
// thread asks for the chunk after the next -- by then it is done with
// these rows.
struct Chunk {
  std::vector<const char*> values;  // row by row; null for NULL
  std::vector<uint32_t> lengths;
  size_t rows = 0;
};

struct Reply {
  velct::HostResults::Kind kind = velct::HostResults::Kind::kFailed;
  std::vector<velct::HostColumn> columns;
  int64_t count = -1;
  velct::HostMessage error;
  Chunk chunk;
  bool rows_ended = true;
};

// ------------------------------------------------------------ main thread

// The statement whose rows are being read; at most one at a time.
struct OpenStatement {
  bool open = false;
  Portal portal = nullptr;
  MemoryContext old_context = nullptr;
  ResourceOwner old_owner = nullptr;
  int columns = 0;
  FmgrInfo* output = nullptr;  // each column's output function
  bool* varlena = nullptr;
};

OpenStatement g_open;
uint64_t g_call = 0;
MemoryContext g_call_context = nullptr;
std::string g_database;
ErrorData* g_cancel = nullptr;
// The values of the chunk the client thread has, and of the one read
// ahead for it.
MemoryContext g_rows_contexts[2] = {nullptr, nullptr};
int g_handed = 0;  // the client thread's chunk is in g_rows_contexts[g_handed]
// The chunk after the client thread's, read by the main thread while the
// client thread goes through its rows (a failure to read it waits there
// too, to be told when that chunk is asked for).
struct ReadAhead {
  bool ready = false;
  Reply reply;
};
ReadAhead g_ahead;

// Ends the open statement's subtransaction: committed, or rolled back.
void LeaveSubtransaction(bool commit) {
  if (commit)
    ReleaseCurrentSubTransaction();
  else
    RollbackAndReleaseCurrentSubTransaction();
  MemoryContextSwitchTo(g_open.old_context);
  CurrentResourceOwner = g_open.old_owner;
  g_open.open = false;
  g_open.portal = nullptr;
}

// Takes the error being handled: the caught error's copy, the error state
// cleared and the statement's subtransaction rolled back. A cancel is kept
// for the call to raise again.
void Failed(MemoryContext context, Reply* reply) {
  MemoryContextSwitchTo(g_call_context);
  ErrorData* error = CopyErrorData();
  FlushErrorState();
  if (g_open.open) LeaveSubtransaction(false);
  MemoryContextSwitchTo(context);
  reply->kind = velct::HostResults::Kind::kFailed;
  reply->rows_ended = true;
  reply->error.number = SqlStateNumber(error->sqlerrcode);
  reply->error.severity = kSeverityError;
  // The library reads UTF-8 (the server's messages are in the database's
  // encoding).
  const char* message = error->message ? error->message : "";
  int length = 0;
  const char* text = message;
  if (GetDatabaseEncoding() != PG_SQL_ASCII)
    text = pg_server_to_any(message, static_cast<int>(std::strlen(message)), PG_UTF8);
  length = static_cast<int>(std::strlen(text));
  try {
    reply->error.text.assign(text, static_cast<size_t>(length));
  } catch (const std::bad_alloc&) {
  }
  if (error->sqlerrcode == ERRCODE_QUERY_CANCELED || error->sqlerrcode == ERRCODE_ADMIN_SHUTDOWN) {
    // The statement ends in this ERROR: nothing of the call may be sent.
    CloseGate();
    if (g_cancel == nullptr) g_cancel = error;
  } else {
    FreeErrorData(error);
  }
}

// Reads the next rows of the open statement into values (palloc'd in
// rows_context). Returns the number of rows; may raise an error.
long FetchValues(MemoryContext rows_context, char*** values) {
  SPI_cursor_fetch(g_open.portal, true, kChunkRows);
  const long rows = static_cast<long>(SPI_processed);
  SPITupleTable* table = SPI_tuptable;
  const int n = g_open.columns;
  const int encoding = GetDatabaseEncoding();
  const bool convert = encoding != PG_UTF8 && encoding != PG_SQL_ASCII;
  MemoryContext old = MemoryContextSwitchTo(rows_context);
  char** out = static_cast<char**>(palloc0(sizeof(char*) * static_cast<size_t>(rows * n + 1)));
  for (long r = 0; r < rows; ++r) {
    HeapTuple tuple = table->vals[r];
    for (int c = 0; c < n; ++c) {
      bool null = false;
      Datum datum = heap_getattr(tuple, c + 1, table->tupdesc, &null);
      if (null) continue;
      char* value = OutputFunctionCall(&g_open.output[c], datum);
      // In the library's encoding (UTF-8); a SQL_ASCII database's bytes
      // go as they are.
      if (convert) value = pg_server_to_any(value, static_cast<int>(std::strlen(value)), PG_UTF8);
      out[r * n + c] = value;
    }
  }
  MemoryContextSwitchTo(old);
  SPI_freetuptable(table);
  *values = out;
  return rows;
}

// Hands the values to the reply's chunk (no server call here).
bool TakeChunk(char** values, long rows, Reply* reply) {
  Chunk& chunk = reply->chunk;
  const size_t count = static_cast<size_t>(rows) * static_cast<size_t>(g_open.columns);
  try {
    chunk.values.assign(values, values + count);
    chunk.lengths.resize(count);
    for (size_t i = 0; i < count; ++i)
      chunk.lengths[i] = values[i] ? static_cast<uint32_t>(std::strlen(values[i])) : 0;
    chunk.rows = static_cast<size_t>(rows);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void CloseOpen() {
  g_ahead.ready = false;
  if (!g_open.open) return;
  MemoryContext context = CurrentMemoryContext;
  PG_TRY();
  {
    SPI_cursor_close(g_open.portal);
    LeaveSubtransaction(true);
  }
  PG_CATCH();
  {
    Reply ignored;  // a failure to close ends the statement all the same
    Failed(context, &ignored);
  }
  PG_END_TRY();
  MemoryContextSwitchTo(context);
}

// Reads the next chunk of the open statement into rows_context (reset
// first); closes the statement after its last row.
void FetchInto(MemoryContext rows_context, Reply* reply) {
  MemoryContext context = CurrentMemoryContext;
  char** volatile values = nullptr;
  volatile long rows = 0;
  volatile bool failed = false;
  MemoryContextReset(rows_context);
  PG_TRY();
  {
    char** fetched = nullptr;
    rows = FetchValues(rows_context, &fetched);
    values = fetched;
  }
  PG_CATCH();
  {
    Failed(context, reply);
    failed = true;
  }
  PG_END_TRY();
  MemoryContextSwitchTo(context);
  if (failed) return;
  if (!TakeChunk(values, rows, reply)) {
    reply->kind = velct::HostResults::Kind::kFailed;
    reply->error = {SqlStateNumber(ERRCODE_OUT_OF_MEMORY), kSeverityError,
                    "out of memory for the rows of the query"};
    reply->rows_ended = true;
    reply->chunk.rows = 0;
    CloseOpen();
    return;
  }
  reply->rows_ended = rows < kChunkRows;
  if (reply->rows_ended) CloseOpen();
}

// After a chunk was handed over: the next one, into the other context.
void ReadNextAhead() {
  if (!g_open.open || g_ahead.ready) return;
  g_ahead.reply = Reply();
  g_ahead.reply.kind = velct::HostResults::Kind::kRows;
  FetchInto(g_rows_contexts[g_handed ^ 1], &g_ahead.reply);
  g_ahead.ready = true;
}

// Hands the next chunk of the open statement to reply: the one read ahead
// when there is one, else read now. The chunk after it is read once the
// client thread has this one.
void MainFetch(Reply* reply) {
  if (g_ahead.ready) {
    Reply& ahead = g_ahead.reply;
    g_ahead.ready = false;
    g_handed ^= 1;
    reply->kind = ahead.kind;
    reply->error = std::move(ahead.error);
    reply->chunk = std::move(ahead.chunk);
    reply->rows_ended = ahead.rows_ended;
  } else {
    FetchInto(g_rows_contexts[g_handed], reply);
  }
  if (reply->kind == velct::HostResults::Kind::kRows && !reply->rows_ended)
    Main().After(ReadNextAhead);
}

// Runs one statement: a statement that returns rows is opened as a cursor
// and its first chunk read; any other runs to its end.
// NOLINTNEXTLINE(readability-function-size): the depth is PG_TRY's own blocks
void MainStart(const char* sql, Reply* reply) {
  CloseOpen();
  MemoryContext context = CurrentMemoryContext;
  volatile bool failed = false;
  volatile bool rows = false;
  volatile int64_t count = -1;
  TupleDesc volatile desc = nullptr;
  char** volatile column_names = nullptr;
  g_open.old_context = context;
  g_open.old_owner = CurrentResourceOwner;
  BeginInternalSubTransaction(nullptr);
  MemoryContextSwitchTo(context);
  g_open.open = true;
  PG_TRY();
  {
    SPIPlanPtr plan = SPI_prepare(sql, 0, nullptr);
    if (plan == nullptr) ereport(ERROR, (errmsg("%s", SPI_result_code_string(SPI_result))));
    if (SPI_is_cursor_plan(plan)) {
      Portal portal = SPI_cursor_open(nullptr, plan, nullptr, nullptr, false);
      g_open.portal = portal;
      desc = portal->tupDesc;
      const int n = portal->tupDesc->natts;
      g_open.columns = n;
      g_open.output = static_cast<FmgrInfo*>(
          MemoryContextAllocZero(g_call_context, sizeof(FmgrInfo) * static_cast<size_t>(n + 1)));
      char** names = static_cast<char**>(
          MemoryContextAllocZero(g_call_context, sizeof(char*) * static_cast<size_t>(n + 1)));
      const bool convert = GetDatabaseEncoding() != PG_SQL_ASCII;
      for (int c = 0; c < n; ++c) {
        Oid function = InvalidOid;
        bool varlena = false;
        getTypeOutputInfo(TupleDescAttr(portal->tupDesc, c)->atttypid, &function, &varlena);
        fmgr_info_cxt(function, &g_open.output[c], g_call_context);
        const char* name = NameStr(TupleDescAttr(portal->tupDesc, c)->attname);
        MemoryContext old = MemoryContextSwitchTo(g_call_context);
        names[c] = convert ? pg_server_to_any(name, static_cast<int>(std::strlen(name)), PG_UTF8)
                           : pstrdup(name);
        MemoryContextSwitchTo(old);
      }
      column_names = names;
      rows = true;
    } else {
      const int rc = SPI_execute_plan(plan, nullptr, nullptr, false, 0);
      if (rc < 0)
        ereport(ERROR, (errcode(ERRCODE_FEATURE_NOT_SUPPORTED),
                        errmsg("this statement cannot run in the caller's transaction (%s)",
                               SPI_result_code_string(rc))));
      switch (rc) {
        case SPI_OK_INSERT:
        case SPI_OK_DELETE:
        case SPI_OK_UPDATE:
        case SPI_OK_SELINTO:
        case SPI_OK_MERGE:
          count = static_cast<int64_t>(SPI_processed);
          break;
        default:
          break;
      }
      SPI_freetuptable(SPI_tuptable);
      LeaveSubtransaction(true);
    }
    SPI_freeplan(plan);
  }
  PG_CATCH();
  {
    Failed(context, reply);
    failed = true;
  }
  PG_END_TRY();
  MemoryContextSwitchTo(context);
  if (failed) return;
  if (!rows) {
    reply->kind = velct::HostResults::Kind::kSucceeded;
    reply->count = count;
    return;
  }
  reply->kind = velct::HostResults::Kind::kRows;
  try {
    for (int c = 0; c < g_open.columns; ++c) {
      Form_pg_attribute attribute = TupleDescAttr(desc, c);
      reply->columns.push_back({column_names[c], attribute->atttypid, attribute->atttypmod});
    }
  } catch (const std::bad_alloc&) {
  }
  MainFetch(reply);
  if (reply->kind == velct::HostResults::Kind::kFailed) reply->columns.clear();
}

struct Span {
  size_t begin = 0, end = 0;
  int32_t line = 1;
};

// Cuts the batch into statements with the server's own parser, after
// turning it from the library's encoding (UTF-8) into the database's. A
// batch the parser refuses, or with a character the database's encoding
// lacks, fails as a whole.
void MainParse(std::string& batch, std::vector<Span>* spans, Reply* error) {
  MemoryContext context = CurrentMemoryContext;
  int* volatile positions = nullptr;
  volatile int count = 0;
  volatile bool failed = false;
  const char* volatile converted = nullptr;
  PG_TRY();
  {
    const char* sql = pg_any_to_server(batch.c_str(), static_cast<int>(batch.size()), PG_UTF8);
    converted = sql == batch.c_str() ? nullptr : sql;
    List* statements = raw_parser(sql, RAW_PARSE_DEFAULT);
    int* found = static_cast<int*>(palloc0(sizeof(int) * 2 * (list_length(statements) + 1)));
    int i = 0;
    ListCell* cell;
    foreach (cell, statements) {
      RawStmt* statement = lfirst_node(RawStmt, cell);
      found[i++] = statement->stmt_location;
      found[i++] = statement->stmt_len;
    }
    positions = found;
    count = list_length(statements);
  }
  PG_CATCH();
  {
    Failed(context, error);
    failed = true;
  }
  PG_END_TRY();
  MemoryContextSwitchTo(context);
  if (failed) return;
  try {
    if (converted != nullptr) batch = converted;
    for (int i = 0; i < count; ++i) {
      const int* pair = &positions[ptrdiff_t{2} * i];  // location, length
      Span span;
      span.begin = static_cast<size_t>(std::max(pair[0], 0));
      span.end = pair[1] > 0 ? span.begin + static_cast<size_t>(pair[1]) : batch.size();
      span.line = 1 + static_cast<int32_t>(std::count(
                          batch.begin(), batch.begin() + static_cast<ptrdiff_t>(span.begin), '\n'));
      spans->push_back(span);
    }
  } catch (const std::bad_alloc&) {
    spans->clear();
  }
  pfree(positions);
}

// ------------------------------------------------------------ client threads

const velct::HostMessage kCancelled = {SqlStateNumber(ERRCODE_QUERY_CANCELED), kSeverityError,
                                       "canceling statement: the call was cancelled"};

class QueryResults : public velct::HostResults {
 public:
  QueryResults(uint64_t call, std::string batch) : call_(call), batch_(std::move(batch)) {}
  ~QueryResults() override {
    if (rows_open_) Main().Run(call_, [] { CloseOpen(); });
  }

  bool NextStatement(std::vector<velct::HostMessage>&) override {
    if (rows_open_) {
      Main().Run(call_, [] { CloseOpen(); });
      rows_open_ = false;
    }
    if (!parsed_) {
      parsed_ = true;
      Reply error;
      error.kind = velct::HostResults::Kind::kSucceeded;
      if (!Main().Run(call_, [&] { MainParse(batch_, &spans_, &error); })) {
        error.kind = Kind::kFailed;
        error.error = kCancelled;
      }
      if (error.kind == Kind::kFailed) {
        reply_ = std::move(error);
        next_ = spans_.size();
        line_ = 1;
        return true;
      }
    }
    if (next_ >= spans_.size()) return false;
    const Span span = spans_[next_++];
    line_ = span.line;
    const std::string sql = batch_.substr(span.begin, span.end - span.begin);
    reply_ = Reply();
    if (!Main().Run(call_, [&] { MainStart(sql.c_str(), &reply_); })) {
      reply_.kind = Kind::kFailed;
      reply_.error = kCancelled;
    }
    rows_open_ = reply_.kind == Kind::kRows && !reply_.rows_ended;
    row_ = -1;
    return true;
  }

  Kind kind() const override { return reply_.kind; }
  const std::vector<velct::HostColumn>& columns() const override { return reply_.columns; }
  int64_t count() const override { return reply_.count; }
  const velct::HostMessage& error() const override { return reply_.error; }
  int32_t line() const override { return line_; }

  Row NextRow(std::vector<velct::HostMessage>&) override {
    if (reply_.kind != Kind::kRows) return Row::kEnd;
    if (++row_ < static_cast<long>(reply_.chunk.rows)) return Row::kRow;
    if (reply_.rows_ended) {
      rows_open_ = false;
      return Row::kEnd;
    }
    if (!Main().Run(call_, [&] { MainFetch(&reply_); })) {
      reply_.kind = Kind::kFailed;
      reply_.error = kCancelled;
    }
    rows_open_ = reply_.kind == Kind::kRows && !reply_.rows_ended;
    if (reply_.kind == Kind::kFailed) return Row::kFailed;
    row_ = 0;
    return reply_.chunk.rows > 0 ? Row::kRow : Row::kEnd;
  }

  std::optional<std::string_view> value(size_t column) const override {
    const size_t n = reply_.columns.size();
    const size_t i = static_cast<size_t>(row_) * n + column;
    if (row_ < 0 || column >= n || i >= reply_.chunk.values.size() ||
        reply_.chunk.values[i] == nullptr)
      return std::nullopt;
    return std::string_view(reply_.chunk.values[i], reply_.chunk.lengths[i]);
  }

 private:
  uint64_t call_;
  std::string batch_;
  bool parsed_ = false;
  std::vector<Span> spans_;
  size_t next_ = 0;
  Reply reply_;
  bool rows_open_ = false;
  long row_ = -1;
  int32_t line_ = 1;
};

class QueryServer : public velct::HostServer {
 public:
  explicit QueryServer(uint64_t call) : call_(call) {}
  std::unique_ptr<velct::HostResults> Run(const std::string& batch) override {
    return std::make_unique<QueryResults>(call_, batch);
  }
  bool Use(const std::string& name, std::string& problem) override {
    if (name == g_database) return true;
    problem = "is not this session's database '" + g_database +
              "': the query runs in the caller's own session, so @dbname may only name its "
              "database";
    return false;
  }

 private:
  uint64_t call_;
};

}  // namespace

void RegisterQueryServer(const std::string& name) {
  velct::RegisterHostServer(
      name, [](const std::string&, std::string& problem) -> std::unique_ptr<velct::HostServer> {
        const uint64_t call = Main().current();
        if (call == 0) {
          problem = "no call of this session is in progress";
          return nullptr;
        }
        return std::make_unique<QueryServer>(call);
      });
}

void BeginQueries(uint64_t call, MemoryContext call_context, const char* database) {
  g_call = call;
  g_call_context = call_context;
  g_database = database ? database : "";
  g_cancel = nullptr;
  g_open = OpenStatement();
  if (g_rows_contexts[0] == nullptr) {
    for (MemoryContext& rows : g_rows_contexts)
      rows = AllocSetContextCreate(TopMemoryContext, "velmail rows", ALLOCSET_DEFAULT_SIZES);
  }
  g_ahead.ready = false;
  g_handed = 0;
}

bool QueriesCancelled() { return g_cancel != nullptr; }

ErrorData* EndQueries() {
  if (g_open.open) {
    MemoryContext context = CurrentMemoryContext;
    LeaveSubtransaction(false);
    MemoryContextSwitchTo(context);
  }
  g_ahead.ready = false;
  g_ahead.reply = Reply();
  for (MemoryContext rows : g_rows_contexts)
    if (rows) MemoryContextReset(rows);
  ErrorData* cancel = g_cancel;
  g_cancel = nullptr;
  return cancel;
}

}  // namespace velpg
