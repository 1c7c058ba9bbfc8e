// The SQLite backend: a connection's default database is one SQLite file;
// "use NAME" switches to the file NAME beside it. Each statement of a batch
// answers with the results a client expects of it.
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <string_view>

#include "velct_backends.h"
#include "velct_batch_text.h"
#include "velct_convert.h"

namespace velct::detail {
namespace {

constexpr int32_t kSeverityInfo = 10;
constexpr int32_t kSeverityError = 16;
constexpr int32_t kLongValueMax = 32768;  // text and image columns
constexpr int32_t kShortValueMax = 255;   // character and varbinary columns
constexpr int kBusyTimeoutMs = 1000;

struct DbCloser {
  // close_v2 waits for statements still open on the handle.
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StmtFinalizer {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

Db OpenDb(const std::string& path, bool create, std::string& problem) {
  sqlite3* raw = nullptr;
  // Without SQLite's own per-call mutex: every use of a handle is made under
  // its connection's lock (velct_state.h), which already keeps them apart.
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  Db db(raw);
  if (rc != SQLITE_OK) {
    problem = raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc);
    return nullptr;
  }
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
  return db;
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// The n of a declared type "NAME(n)", or fallback.
int32_t DeclaredLength(const std::string& decl, int32_t fallback) {
  const size_t open = decl.find('(');
  if (open == std::string::npos) return fallback;
  int32_t n = 0;
  for (size_t i = open + 1; i < decl.size() && std::isdigit(static_cast<unsigned char>(decl[i]));
       ++i)
    n = std::min(n * 10 + (decl[i] - '0'), kLongValueMax);
  return n > 0 ? n : fallback;
}

// How a column is described when its declared type says nothing: by the
// value it holds in the first row.
ColumnInfo DescribeByValue(sqlite3_stmt* stmt, int i, bool has_row) {
  switch (has_row ? sqlite3_column_type(stmt, i) : SQLITE_NULL) {
    case SQLITE_INTEGER:
      return {"", VEL_INT_TYPE, 4};
    case SQLITE_FLOAT:
      return {"", VEL_FLOAT_TYPE, 8};
    case SQLITE_BLOB:
      return sqlite3_column_bytes(stmt, i) > kShortValueMax
                 ? ColumnInfo{"", VEL_IMAGE_TYPE, kLongValueMax}
                 : ColumnInfo{"", VEL_VARBINARY_TYPE, kShortValueMax};
    default:
      return {"", VEL_CHAR_TYPE, kShortValueMax};
  }
}

// Declared types map as the engine's affinity rules read them; "TEXT"
// itself is a text column, "BLOB" and "IMAGE" image columns. Numeric
// affinity (NUMERIC, DECIMAL, DATE...) and no declared type go by value.
ColumnInfo Describe(sqlite3_stmt* stmt, int i, bool has_row) {
  const char* declared = sqlite3_column_decltype(stmt, i);
  const std::string decl = Upper(declared ? declared : "");
  ColumnInfo info;
  if (decl == "TEXT")
    info = {"", VEL_TEXT_TYPE, kLongValueMax};
  else if (decl == "BLOB" || decl == "IMAGE")
    info = {"", VEL_IMAGE_TYPE, kLongValueMax};
  else if (decl.starts_with("VARBINARY"))
    info = {"", VEL_VARBINARY_TYPE, DeclaredLength(decl, kShortValueMax)};
  else if (decl.starts_with("BINARY"))
    info = {"", VEL_BINARY_TYPE, DeclaredLength(decl, kShortValueMax)};
  else if (decl.find("INT") != std::string::npos)
    info = {"", VEL_INT_TYPE, 4};
  else if (decl.find("CHAR") != std::string::npos || decl.find("CLOB") != std::string::npos ||
           decl.find("TEXT") != std::string::npos)
    info = {"", VEL_CHAR_TYPE, DeclaredLength(decl, kShortValueMax)};
  else if (decl.find("REAL") != std::string::npos || decl.find("FLOA") != std::string::npos ||
           decl.find("DOUB") != std::string::npos)
    info = {"", VEL_FLOAT_TYPE, 8};
  else
    info = DescribeByValue(stmt, i, has_row);
  const char* name = sqlite3_column_name(stmt, i);
  info.name = name ? name : "";
  return info;
}

// Whether a statement reports the rows it changed.
bool ChangesRows(sqlite3_stmt* stmt) {
  std::string_view sql = sqlite3_sql(stmt);
  while (!sql.empty() && std::isspace(static_cast<unsigned char>(sql.front())))
    sql.remove_prefix(1);
  const std::string word = Upper(sql.substr(0, 7));
  return word.starts_with("INSERT") || word.starts_with("UPDATE") || word.starts_with("DELETE") ||
         word.starts_with("REPLACE");
}

class SqliteSession : public Session {
 public:
  SqliteSession(std::string server, std::string default_db, Db db)
      : server_(std::move(server)), default_db_(std::move(default_db)), db_(std::move(db)) {}

  std::unique_ptr<ResultStream> Run(const std::string& text, Outbox&) override;

  sqlite3* db() const { return db_.get(); }
  const std::string& server() const { return server_; }

  // Switches to the database file NAME beside the default one. False, with
  // the reason, when there is no such database.
  bool Use(std::string_view name, std::string& problem) {
    const bool plain =
        !name.empty() && name.front() != '.' && name.find_first_of("/\\") == std::string_view::npos;
    if (!plain) {
      problem = "is not a database name";
      return false;
    }
    const std::filesystem::path base(default_db_);
    std::filesystem::path file = base.parent_path() / std::string(name);
    file += base.extension();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) {
      problem = "does not exist";
      return false;
    }
    Db db = OpenDb(file.string(), false, problem);
    if (!db) return false;
    db_ = std::move(db);
    return true;
  }

 private:
  std::string server_;
  std::string default_db_;
  Db db_;
};

// The results of one batch, produced statement by statement as the client
// reads them.
class SqliteBatch : public ResultStream {
 public:
  SqliteBatch(SqliteSession& session, std::string text)
      : session_(session), text_(std::move(text)) {}

  bool NextResult(Outbox& out) override {
    rows_.reset();
    while (queue_.empty() && NextStatement(out)) {
    }
    if (queue_.empty()) return false;
    current_ = queue_.front();
    queue_.pop_front();
    if (current_.type == VEL_ROW_RESULT) {
      rows_ = std::move(pending_rows_);
      columns_ = std::move(pending_columns_);
    } else {
      columns_.clear();
    }
    return true;
  }

  int32_t type() const override { return current_.type; }
  const std::vector<ColumnInfo>& columns() const override { return columns_; }
  int64_t row_count() const override { return current_.count; }

  bool NextRow(Outbox& out) override {
    if (!rows_ || rows_ended_) return false;
    if (first_row_ready_) {
      first_row_ready_ = false;
      ++rows_read_;
      return true;
    }
    const int rc = first_step_done_ ? SQLITE_DONE : sqlite3_step(rows_.get());
    first_step_done_ = false;
    if (rc == SQLITE_ROW) {
      ++rows_read_;
      return true;
    }
    rows_ended_ = true;
    if (rc == SQLITE_DONE)
      Queue({VEL_CMD_DONE, rows_read_});
    else
      Failed(out);
    return false;
  }

  void DeliverRow(const std::vector<Binding>& bindings, Outbox& out) const override {
    DeliverCells(*this, bindings, out);
  }

  Cell cell(size_t column) const override {
    Cell cell;
    sqlite3_stmt* stmt = rows_.get();
    const int i = static_cast<int>(column);
    switch (sqlite3_column_type(stmt, i)) {
      case SQLITE_INTEGER:
        cell.kind = Cell::Kind::kInt;
        cell.integer = sqlite3_column_int64(stmt, i);
        break;
      case SQLITE_FLOAT:
        cell.kind = Cell::Kind::kReal;
        cell.real = sqlite3_column_double(stmt, i);
        break;
      case SQLITE_TEXT: {
        cell.kind = Cell::Kind::kText;
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
        cell.bytes = {text, static_cast<size_t>(sqlite3_column_bytes(stmt, i))};
        break;
      }
      case SQLITE_BLOB: {
        cell.kind = Cell::Kind::kBytes;
        const auto* blob = static_cast<const char*>(sqlite3_column_blob(stmt, i));
        const auto n = static_cast<size_t>(sqlite3_column_bytes(stmt, i));
        cell.bytes = blob ? std::string_view(blob, n) : std::string_view();
        break;
      }
      default:
        break;
    }
    return cell;
  }

 private:
  struct Pending {
    int32_t type = 0;
    int64_t count = -1;
  };

  void Queue(Pending p) { queue_.push_back(p); }

  // An error of the engine: its message, then command failed and done.
  void Failed(Outbox& out) {
    sqlite3* db = session_.db();
    out.Server(MakeServerMessage(kSrvSqlErrorBase + (sqlite3_errcode(db) & 0xff), kSeverityError, 1,
                                 line_, sqlite3_errmsg(db), session_.server(), ""));
    Queue({VEL_CMD_FAIL});
    Queue({VEL_CMD_DONE});
  }

  // The end of the statement that starts at pos_: just past the first ';'
  // that completes it, or the end of the batch.
  size_t StatementEnd() const {
    for (size_t i = text_.find(';', pos_); i != std::string::npos; i = text_.find(';', i + 1)) {
      if (sqlite3_complete(text_.substr(pos_, i + 1 - pos_).c_str())) return i + 1;
    }
    return text_.size();
  }

  void Use(const std::string& name, Outbox& out) {
    std::string problem;
    if (session_.Use(name, problem)) {
      out.Server(MakeServerMessage(kSrvDatabaseChanged, kSeverityInfo, 1, line_,
                                   "Now using database '" + name + "'.", session_.server(), ""));
      Queue({VEL_CMD_SUCCEED});
    } else {
      out.Server(MakeServerMessage(kSrvUnknownDatabase, kSeverityError, 1, line_,
                                   UseRefusedText(name, problem), session_.server(), ""));
      Queue({VEL_CMD_FAIL});
    }
    Queue({VEL_CMD_DONE});
  }

  // Runs the next statement as far as its first result; false when the
  // batch has no statement left.
  bool NextStatement(Outbox& out) {
    SkipFiller(text_, pos_);
    if (pos_ >= text_.size()) return false;
    line_ = 1 + static_cast<int32_t>(std::count(
                    text_.begin(), text_.begin() + static_cast<std::ptrdiff_t>(pos_), '\n'));
    std::string name;
    if (ReadUse(text_, pos_, name)) {
      Use(name, out);
      return true;
    }

    sqlite3* db = session_.db();
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    const int rc = sqlite3_prepare_v2(db, text_.data() + pos_,
                                      static_cast<int>(text_.size() - pos_), &raw, &tail);
    Stmt stmt(raw);
    if (rc != SQLITE_OK) {
      Failed(out);
      pos_ = StatementEnd();
      return true;
    }
    pos_ = tail ? static_cast<size_t>(tail - text_.data()) : text_.size();
    if (!stmt) return true;  // nothing but a comment

    const int columns = sqlite3_column_count(stmt.get());
    if (columns > 0) {
      const int step = sqlite3_step(stmt.get());
      if (step != SQLITE_ROW && step != SQLITE_DONE) {
        Failed(out);
        return true;
      }
      pending_columns_.clear();
      for (int i = 0; i < columns; ++i)
        pending_columns_.push_back(Describe(stmt.get(), i, step == SQLITE_ROW));
      pending_rows_ = std::move(stmt);
      first_row_ready_ = step == SQLITE_ROW;
      first_step_done_ = step == SQLITE_DONE;
      rows_ended_ = false;
      rows_read_ = 0;
      Queue({VEL_ROW_RESULT});
      return true;
    }

    const int64_t before = sqlite3_total_changes64(db);
    int step;
    while ((step = sqlite3_step(stmt.get())) == SQLITE_ROW) {
    }
    if (step != SQLITE_DONE) {
      Failed(out);
      return true;
    }
    Queue({VEL_CMD_SUCCEED});
    Queue({VEL_CMD_DONE, ChangesRows(stmt.get()) ? sqlite3_total_changes64(db) - before : -1});
    return true;
  }

  SqliteSession& session_;
  std::string text_;
  size_t pos_ = 0;
  int32_t line_ = 1;  // line of the batch the current statement starts on
  std::deque<Pending> queue_;
  Pending current_;
  std::vector<ColumnInfo> columns_;
  // The statement whose rows the current (or the queued) row result reads.
  Stmt rows_;
  Stmt pending_rows_;
  std::vector<ColumnInfo> pending_columns_;
  bool first_row_ready_ = false;  // the first step found a row not yet read
  bool first_step_done_ = false;  // the first step found no row at all
  bool rows_ended_ = false;
  int64_t rows_read_ = 0;
};

std::unique_ptr<ResultStream> SqliteSession::Run(const std::string& text, Outbox&) {
  return std::make_unique<SqliteBatch>(*this, text);
}

}  // namespace

std::unique_ptr<Session> OpenSqliteSession(const std::string& server_name,
                                           const std::string& default_db, std::string& problem) {
  Db db = OpenDb(default_db, true, problem);
  if (!db) return nullptr;
  return std::make_unique<SqliteSession>(server_name, default_db, std::move(db));
}

}  // namespace velct::detail
