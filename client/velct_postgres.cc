// The PostgreSQL backend: a connection is a libpq connection made from the
// interfaces file's connection string, with the caller's login. A batch is
// cut into statements that are sent one at a time, each committing on its
// own unless the batch opens a transaction itself; rows arrive one by one
// (single-row mode), so a result of any size is never held whole. "use
// NAME" reconnects to the database NAME on the same server.
#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>
#include <deque>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "mutex.h"
#include "velct_backends.h"
#include "velct_batch_text.h"
#include "velct_convert.h"
#include "velct_pg_types.h"

namespace velct::detail {
namespace {

constexpr int32_t kSeverityInfo = 10;
constexpr int32_t kSeverityError = 16;

// The SQLSTATE of a connection that broke.
constexpr const char* kConnectionFailure = "08006";

struct ConnCloser {
  void operator()(PGconn* conn) const { PQfinish(conn); }
};
struct ResultClearer {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Conn = std::unique_ptr<PGconn, ConnCloser>;
using Result = std::unique_ptr<PGresult, ResultClearer>;

// A message of libpq's without its trailing newlines.
std::string Trimmed(const char* text) {
  std::string s = text ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// The message number of a SQLSTATE: its five characters read as a base-36
// number, digits 0-9 then letters A-Z ("42P01" gives 6844177).
int32_t SqlStateNumber(const char* sqlstate) {
  int32_t number = 0;
  for (int i = 0; i < 5 && sqlstate && sqlstate[i]; ++i) {
    const unsigned char c = static_cast<unsigned char>(std::toupper(sqlstate[i]));
    const int digit = std::isdigit(c) ? c - '0' : std::isalpha(c) ? c - 'A' + 10 : 0;
    number = number * 36 + digit;
  }
  return number;
}

// The position after the '...' string whose opening quote is at i: a
// doubled quote stays inside it, and so, when it takes escapes, does the
// character after a backslash.
size_t PastString(const std::string& text, size_t i, bool escapes) {
  for (++i; i < text.size(); ++i) {
    if (escapes && text[i] == '\\') {
      ++i;
    } else if (text[i] == '\'') {
      if (i + 1 >= text.size() || text[i + 1] != '\'') break;
      ++i;
    }
  }
  return i + 1;
}

// The end of the statement that starts at pos: the first ';' outside
// quotes, comments, dollar quotes and parentheses, or the end of the text.
size_t StatementEnd(const std::string& text, size_t pos) {
  const auto word_char = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$';
  };
  int depth = 0;
  size_t i = pos;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '\'') {
      // E'...' strings take backslash escapes.
      const bool escapes = i > pos && (text[i - 1] == 'E' || text[i - 1] == 'e') &&
                           (i - 1 == pos || !word_char(text[i - 2]));
      i = PastString(text, i, escapes);
    } else if (c == '"') {
      const size_t close = text.find('"', i + 1);
      i = close == std::string::npos ? text.size() : close + 1;
    } else if (text.compare(i, 2, "--") == 0) {
      const size_t eol = text.find('\n', i);
      i = eol == std::string::npos ? text.size() : eol + 1;
    } else if (text.compare(i, 2, "/*") == 0) {
      int nesting = 0;
      do {
        if (text.compare(i, 2, "/*") == 0) {
          ++nesting;
          i += 2;
        } else if (text.compare(i, 2, "*/") == 0) {
          --nesting;
          i += 2;
        } else {
          ++i;
        }
      } while (nesting > 0 && i < text.size());
    } else if (c == '$' && (i == pos || !word_char(text[i - 1]))) {
      // $tag$ ... $tag$, the tag an identifier or nothing.
      size_t j = i + 1;
      if (j < text.size() && !std::isdigit(static_cast<unsigned char>(text[j])))
        while (j < text.size() && word_char(text[j]) && text[j] != '$') ++j;
      if (j < text.size() && text[j] == '$') {
        const std::string tag = text.substr(i, j + 1 - i);
        const size_t close = text.find(tag, j + 1);
        i = close == std::string::npos ? text.size() : close + tag.size();
      } else {
        ++i;
      }
    } else {
      if (c == '(') ++depth;
      if (c == ')' && depth > 0) --depth;
      if (c == ';' && depth == 0) return i;
      ++i;
    }
  }
  return text.size();
}

// The mask that stands for the password in a message.
constexpr std::string_view kMask = "****";

// A password shorter than this is masked only where it stands as a whole
// token. Its characters are the stuff of ordinary words ("e", "in", "**"),
// so masking every occurrence would wreck the message (every "e" of
// "password authentication failed") while hiding nothing: so short a
// password is found by trying, not by reading a message. Where a message
// echoes a value (a name in quotes, a keyword's value) it stands between
// non-alphanumeric characters, and that occurrence is masked.
constexpr size_t kMaskEverywhereLength = 4;

bool Alnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }

// text with each occurrence of password replaced by the mask, left to
// right in one pass: what was put in is never searched again, so a
// password that is part of the mask ("*") cannot make the masking loop.
std::string Masked(const std::string& text, const std::string& password) {
  if (password.empty()) return text;
  const bool whole_tokens_only = password.size() < kMaskEverywhereLength;
  std::string out;
  size_t from = 0;
  for (size_t at = text.find(password); at != std::string::npos; at = text.find(password, at + 1)) {
    if (at < from) continue;  // overlaps what was just masked
    const size_t end = at + password.size();
    if (whole_tokens_only && ((at > 0 && Alnum(text[at - 1]) && Alnum(password.front())) ||
                              (end < text.size() && Alnum(text[end]) && Alnum(password.back()))))
      continue;
    out.append(text, from, at - from);
    out += kMask;
    from = end;
  }
  out.append(text, from);
  return out;
}

// A value quoted for a libpq connection string.
std::string Quoted(const std::string& value) {
  std::string q = "'";
  for (const char c : value) {
    if (c == '\'' || c == '\\') q += '\\';
    q += c;
  }
  return q + "'";
}

// A path that no file can ever have: /dev/null is no directory.
constexpr const char* kNoFile = "/dev/null/none";

// The connection string a connection is made with: the interfaces file's
// (conninfo, a string or a URI) with the caller's login and, when given,
// database instead of its own. False, with libpq's reason, when conninfo
// cannot be read.
//
// The caller's password is the only credential: it is always set, even
// when empty (a value given in a string stays given, so libpq does not fall
// back on PGPASSWORD; an empty password makes a password request fail), a
// password= of the interfaces line is dropped, and the password file is a
// path that cannot exist, so neither ~/.pgpass, PGPASSFILE nor a passfile=
// is read. A service= still names host, port and database, but a service
// file only fills what the string leaves unset, which never includes these.
// A client certificate is a stored credential too: the default key of the
// host's home (~/.postgresql) or one the line names would log in with
// certificate authentication, so certificate and key are paths that cannot
// exist (and an sslpassword has nothing to open).
bool ConnectionString(const std::string& conninfo, const std::string& user,
                      const std::string& password, const std::string* database, std::string& out,
                      std::string& problem) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), &error);
  if (!options) {
    problem = error ? Trimmed(error) : "out of memory";
    PQfreemem(error);
    return false;
  }
  std::string encoding = "UTF8", timeout = "10";
  out.clear();
  for (const PQconninfoOption* o = options; o->keyword; ++o) {
    if (!o->val) continue;
    const std::string_view key = o->keyword;
    if (key == "password" || key == "passfile" || key == "sslcert" || key == "sslkey" ||
        key == "sslpassword" || (key == "dbname" && database) || (key == "user" && !user.empty()))
      continue;
    if (key == "client_encoding") {
      encoding = o->val;
    } else if (key == "connect_timeout") {
      timeout = o->val;
    } else {
      out += std::string(key) + "=" + Quoted(o->val) + " ";
    }
  }
  PQconninfoFree(options);
  out += "client_encoding=" + Quoted(encoding) + " connect_timeout=" + Quoted(timeout) +
         " fallback_application_name=velct";
  if (database) out += " dbname=" + Quoted(*database);
  if (!user.empty()) out += " user=" + Quoted(user);
  out += " password=" + Quoted(password);
  for (const char* key : {"passfile", "sslcert", "sslkey"})
    out += std::string(" ") + key + "=" + kNoFile;
  return true;
}

// Opens a connection from conninfo with the caller's login and, when
// database is given, to that database instead of conninfo's. Null, with
// the server's reason (the password masked), when it cannot be made.
Conn Connect(const std::string& conninfo, const std::string& user, const std::string& password,
             const std::string* database, std::string& problem) {
  std::string info;
  if (!ConnectionString(conninfo, user, password, database, info, problem)) {
    problem = Masked(problem, password);
    return nullptr;
  }
  Conn conn(PQconnectdb(info.c_str()));
  if (!conn) {
    problem = "out of memory";
    return nullptr;
  }
  // Notices of the set-up go nowhere.
  PQsetNoticeReceiver(
      conn.get(), [](void*, const PGresult*) {}, nullptr);
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    // The reason never repeats the password.
    problem = Masked(Trimmed(PQerrorMessage(conn.get())), password);
    return nullptr;
  }
  // Values in the forms the README documents, whatever the server's defaults.
  Result set(PQexec(conn.get(),
                    "SET DateStyle TO ISO, YMD; SET IntervalStyle TO postgres; "
                    "SET extra_float_digits TO 1; SET bytea_output TO hex"));
  if (PQresultStatus(set.get()) != PGRES_COMMAND_OK) {
    problem = Masked(Trimmed(PQerrorMessage(conn.get())), password);
    return nullptr;
  }
  return conn;
}

class PgSession : public Session {
 public:
  PgSession(std::string server, std::string conninfo, std::string user, std::string password)
      : server_(std::move(server)),
        conninfo_(std::move(conninfo)),
        user_(std::move(user)),
        password_(std::move(password)) {}
  ~PgSession() override {
    vel::os::MutexLock lock(cancel_mutex_);
    if (cancel_) PQfreeCancel(cancel_);
  }
  PgSession(const PgSession&) = delete;
  PgSession& operator=(const PgSession&) = delete;

  bool Open(std::string& problem) {
    Conn conn = Connect(conninfo_, user_, password_, nullptr, problem);
    if (!conn) return false;
    Adopt(std::move(conn));
    return true;
  }

  std::unique_ptr<ResultStream> Run(const std::string& text, Outbox&) override;

  // libpq's cancel: a request on a connection of its own, which the server
  // answers by failing the statement in flight (SQLSTATE 57014).
  void Interrupt() override {
    vel::os::MutexLock lock(cancel_mutex_);
    char error[256];
    if (cancel_) PQcancel(cancel_, error, sizeof error);
  }

  PGconn* conn() const { return conn_.get(); }
  const std::string& server() const { return server_; }

  // Where the server's notices go while a call reads from the connection,
  // and the line of the batch they are told against; null drops them.
  void Listen(Outbox* out, const int32_t* line) {
    listener_ = out;
    line_ = line;
  }

  // Reconnects to the database NAME. False, with the reason, when there is
  // no such database or it cannot be reached; the connection stays as it
  // was.
  bool Use(const std::string& name, std::string& problem) {
    Conn conn = Connect(conninfo_, user_, password_, &name, problem);
    if (conn) {
      Adopt(std::move(conn));
      return true;
    }
    // Why not: the server lists no such database, or it refused.
    const char* params[] = {name.c_str()};
    Result found(PQexecParams(conn_.get(),
                              "SELECT 1 FROM pg_catalog.pg_database WHERE datname = $1", 1, nullptr,
                              params, nullptr, nullptr, 0));
    if (PQresultStatus(found.get()) == PGRES_TUPLES_OK && PQntuples(found.get()) == 0)
      problem = "does not exist";
    else
      problem = "cannot be opened: " + problem;
    return false;
  }

  // Stops the statement in flight on the server (when it may still be
  // running: sending rows, or not yet answered) and reads what it still
  // sends, so that the connection takes the next statement. A statement
  // that has finished gets no cancel, which could reach the next one.
  void Abandon(bool sending_rows) {
    Listen(nullptr, nullptr);
    PQconsumeInput(conn());
    const bool running = sending_rows || PQisBusy(conn());
    PGcancel* cancel = running ? PQgetCancel(conn()) : nullptr;
    if (cancel) {
      char error[256];
      PQcancel(cancel, error, sizeof error);
      PQfreeCancel(cancel);
    }
    while (Result result{PQgetResult(conn())}) {
      if (!SkipCopy(result.get())) break;
    }
  }

  // Ends a COPY that the statement started: the client sends no data and
  // reads none. False when the connection broke on the way.
  bool SkipCopy(const PGresult* result) {
    const ExecStatusType status = PQresultStatus(result);
    if (status == PGRES_COPY_IN) {
      PQputCopyEnd(conn(), "COPY from the client is not served");
    } else if (status == PGRES_COPY_OUT) {
      char* data = nullptr;
      int n;
      while ((n = PQgetCopyData(conn(), &data, 0)) > 0) PQfreemem(data);
    }
    return PQstatus(conn()) == CONNECTION_OK;
  }

 private:
  void Adopt(Conn conn) {
    PGcancel* cancel = PQgetCancel(conn.get());
    {
      vel::os::MutexLock lock(cancel_mutex_);
      if (cancel_) PQfreeCancel(cancel_);
      cancel_ = cancel;
      conn_ = std::move(conn);
    }
    PQsetNoticeReceiver(conn_.get(), &PgSession::OnNotice, this);
  }

  // NOTICE, WARNING and their kin: informational server messages. An
  // error that comes outside a statement's results (the FATAL of a server
  // ending the session as it closes) is told as an error.
  static void OnNotice(void* arg, const PGresult* notice) {
    auto* self = static_cast<PgSession*>(arg);
    if (!self->listener_) return;
    const char* text = PQresultErrorField(notice, PG_DIAG_MESSAGE_PRIMARY);
    const char* level = PQresultErrorField(notice, PG_DIAG_SEVERITY_NONLOCALIZED);
    const std::string_view severity = level ? level : "";
    const bool error = severity == "ERROR" || severity == "FATAL" || severity == "PANIC";
    self->listener_->Server(
        MakeServerMessage(SqlStateNumber(PQresultErrorField(notice, PG_DIAG_SQLSTATE)),
                          error ? kSeverityError : kSeverityInfo, 1, self->line_ ? *self->line_ : 0,
                          text ? text : Trimmed(PQresultErrorMessage(notice)), self->server_, ""));
  }

  std::string server_;
  std::string conninfo_;
  std::string user_;
  std::string password_;
  Conn conn_;
  // What Interrupt sends, for the connection of the moment; replaced with
  // it (a "use"), so under cancel_mutex_. The connection itself is written
  // under it too, but read without it by the calls that own the session.
  vel::os::Mutex cancel_mutex_;
  PGcancel* cancel_ VEL_GUARDED_BY(cancel_mutex_) = nullptr;
  Outbox* listener_ = nullptr;
  const int32_t* line_ = nullptr;
};

// The results of one batch. Statements are sent one at a time as the
// client reads the results, and rows are read one at a time as it fetches.
class PgBatch : public ResultStream {
 public:
  PgBatch(PgSession& session, std::string text) : session_(session), text_(std::move(text)) {}

  ~PgBatch() override {
    if (in_flight_) session_.Abandon(streaming_);
  }

  bool NextResult(Outbox& out) override {
    Listening listening(*this, out);
    while (queue_.empty() && Advance(out)) {
    }
    if (queue_.empty()) return false;
    current_ = queue_.front();
    queue_.pop_front();
    if (current_.type != VEL_ROW_RESULT) columns_.clear();
    return true;
  }

  int32_t type() const override { return current_.type; }
  const std::vector<ColumnInfo>& columns() const override { return columns_; }
  int64_t row_count() const override { return current_.count; }

  bool NextRow(Outbox& out) override {
    if (!streaming_) return false;
    Listening listening(*this, out);
    if (++row_ < PQntuples(rows_.get())) return Read();
    // A complete result (rather than a single row) was the last of them.
    if (PQresultStatus(rows_.get()) == PGRES_TUPLES_OK) return EndRows();
    rows_.reset(PQgetResult(session_.conn()));
    row_ = 0;
    switch (PQresultStatus(rows_.get())) {
      case PGRES_SINGLE_TUPLE:
        return Read();
      case PGRES_TUPLES_OK:
        return PQntuples(rows_.get()) > 0 ? Read() : EndRows();
      default:
        if (!rows_) {
          StatementEnded();
          return EndRows();
        }
        streaming_ = false;
        Failed(out, rows_.get());
        rows_.reset();
        return false;
    }
  }

  void DeliverRow(const std::vector<Binding>& bindings, Outbox& out) const override {
    DeliverCells(*this, bindings, out);
  }

  Cell cell(size_t column) const override {
    Cell cell;
    const int i = static_cast<int>(column);
    const PGresult* r = rows_.get();
    if (PQgetisnull(r, row_, i)) return cell;
    const std::string_view text(PQgetvalue(r, row_, i),
                                static_cast<size_t>(PQgetlength(r, row_, i)));
    return PgCell(forms_[column], text, scratch_[column]);
  }

 private:
  struct Pending {
    int32_t type = 0;
    int64_t count = -1;
  };

  // Notices reach the call's outbox while the call reads.
  class Listening {
   public:
    Listening(PgBatch& batch, Outbox& out) : session_(batch.session_) {
      session_.Listen(&out, &batch.line_);
    }
    ~Listening() { session_.Listen(nullptr, nullptr); }

   private:
    PgSession& session_;
  };

  void Queue(Pending p) { queue_.push_back(p); }

  bool Read() {
    ++rows_read_;
    return true;
  }

  bool EndRows() {
    streaming_ = false;
    rows_.reset();
    Queue({VEL_CMD_DONE, rows_read_});
    return false;
  }

  // The statement has nothing more to say.
  void StatementEnded() {
    in_flight_ = false;
    if (PQstatus(session_.conn()) != CONNECTION_OK) pos_ = text_.size();
  }

  // An error: its message, then command failed and done. A connection that
  // broke ends the batch.
  void Failed(Outbox& out, const PGresult* result) {
    const bool lost = PQstatus(session_.conn()) != CONNECTION_OK;
    const char* sqlstate = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    const char* primary = result ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
    const std::string text =
        primary ? primary
                : Trimmed(result ? PQresultErrorMessage(result) : PQerrorMessage(session_.conn()));
    out.Server(MakeServerMessage(SqlStateNumber(sqlstate ? sqlstate
                                                : lost   ? kConnectionFailure
                                                         : "XX000"),
                                 kSeverityError, 1, line_, text, session_.server(), ""));
    Queue({VEL_CMD_FAIL});
    Queue({VEL_CMD_DONE});
    if (lost) {
      in_flight_ = false;
      pos_ = text_.size();
    }
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

  // Reads the statement in flight, or sends the next one; false when the
  // batch has nothing left.
  bool Advance(Outbox& out) {
    if (in_flight_) {
      ReadStatement(out);
      return true;
    }
    return NextStatement(out);
  }

  // Reads the next result of the statement in flight.
  void ReadStatement(Outbox& out) {
    Result result(PQgetResult(session_.conn()));
    if (!result) return StatementEnded();
    switch (PQresultStatus(result.get())) {
      case PGRES_SINGLE_TUPLE:
      case PGRES_TUPLES_OK:
        if (PQnfields(result.get()) > 0) return StartRows(std::move(result));
        [[fallthrough]];
      case PGRES_COMMAND_OK: {
        const char* count = PQcmdTuples(result.get());
        Queue({VEL_CMD_SUCCEED});
        Queue({VEL_CMD_DONE, *count ? std::strtoll(count, nullptr, 10) : -1});
        return;
      }
      case PGRES_EMPTY_QUERY:
        return;
      case PGRES_COPY_IN:
      case PGRES_COPY_OUT:
        if (!session_.SkipCopy(result.get())) Failed(out, nullptr);
        return;
      default:
        return Failed(out, result.get());
    }
  }

  void StartRows(Result first) {
    columns_.clear();
    forms_.clear();
    const int n = PQnfields(first.get());
    for (int i = 0; i < n; ++i) {
      const char* name = PQfname(first.get(), i);
      PgColumn c =
          DescribePgColumn(PQftype(first.get(), i), PQfmod(first.get(), i), name ? name : "");
      columns_.push_back(std::move(c.info));
      forms_.push_back(c.form);
    }
    scratch_.assign(static_cast<size_t>(n), std::string());
    rows_ = std::move(first);
    row_ = -1;
    rows_read_ = 0;
    streaming_ = true;
    Queue({VEL_ROW_RESULT});
  }

  // Sends the next statement, or runs a "use"; false when the batch has
  // no statement left.
  bool NextStatement(Outbox& out) {
    SkipFiller(text_, pos_);
    if (pos_ >= text_.size()) return false;
    line_ += static_cast<int32_t>(std::count(text_.begin() + static_cast<ptrdiff_t>(counted_),
                                             text_.begin() + static_cast<ptrdiff_t>(pos_), '\n'));
    counted_ = pos_;
    std::string name;
    if (ReadUse(text_, pos_, name)) {
      Use(name, out);
      return true;
    }
    // The statement is sent from the batch's own text, cut off at its end
    // for the moment.
    const size_t end = StatementEnd(text_, pos_);
    const char kept = end < text_.size() ? text_[end] : '\0';
    text_[end] = '\0';
    const int sent = PQsendQuery(session_.conn(), text_.c_str() + pos_);
    text_[end] = kept;
    pos_ = std::min(end + 1, text_.size());
    if (!sent) {
      Failed(out, nullptr);
      pos_ = text_.size();
      return true;
    }
    PQsetSingleRowMode(session_.conn());
    in_flight_ = true;
    return true;
  }

  PgSession& session_;
  std::string text_;
  size_t pos_ = 0;
  size_t counted_ = 0;      // newlines before here are counted in line_
  int32_t line_ = 1;        // line of the batch the current statement starts on
  bool in_flight_ = false;  // a statement was sent and not all its results read
  std::deque<Pending> queue_;
  Pending current_;
  std::vector<ColumnInfo> columns_;
  std::vector<PgForm> forms_;
  // The rows of the current row result: the result holding the current row.
  Result rows_;
  int row_ = -1;
  bool streaming_ = false;
  int64_t rows_read_ = 0;
  mutable std::vector<std::string> scratch_;  // decoded bytea values
};

std::unique_ptr<ResultStream> PgSession::Run(const std::string& text, Outbox&) {
  return std::make_unique<PgBatch>(*this, text);
}

}  // namespace

std::unique_ptr<Session> OpenPostgresSession(const std::string& server_name,
                                             const std::string& conninfo, const std::string& user,
                                             const std::string& password, std::string& problem) {
  auto session = std::make_unique<PgSession>(server_name, conninfo, user, password);
  if (!session->Open(problem)) return nullptr;
  return session;
}

}  // namespace velct::detail
