// The host backend: connections answered by a server the host process
// registered (velct_host.h). Statements, their columns and rows come from
// the host's code; they are described and delivered as the PostgreSQL
// backend describes and delivers them.
#include "velct_host.h"

#include <deque>
#include <map>
#include <optional>

#include "mutex.h"
#include "velct_backends.h"
#include "velct_batch_text.h"
#include "velct_convert.h"
#include "velct_pg_types.h"

namespace velct {
namespace detail {
namespace {

constexpr int32_t kSeverityInfo = 10;
constexpr int32_t kSeverityError = 16;

struct Registry {
  vel::os::Mutex mutex;
  std::map<std::string, HostServerFactory, std::less<>> servers VEL_GUARDED_BY(mutex);
};

Registry& GetRegistry() {
  static Registry* registry = new Registry;  // outlives every connection
  return *registry;
}

// The results of one batch, in the order a database backend gives them.
class HostStream : public ResultStream {
 public:
  HostStream(std::string server, std::unique_ptr<HostResults> results)
      : server_(std::move(server)), results_(std::move(results)) {}

  // A batch that is "use NAME": its answer alone.
  HostStream(std::string server, bool used, const std::string& message)
      : server_(std::move(server)) {
    use_message_ = message;
    use_ok_ = used;
  }

  bool NextResult(Outbox& out) override {
    if (use_message_) {
      Message(out, {used_number(), use_ok_ ? kSeverityInfo : kSeverityError, *use_message_}, 1);
      use_message_.reset();
      Queue({use_ok_ ? VEL_CMD_SUCCEED : VEL_CMD_FAIL});
      Queue({VEL_CMD_DONE});
    }
    // Rows the client did not read are skipped.
    while (streaming_ && NextRow(out)) {
    }
    if (queue_.empty() && results_) Advance(out);
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
    std::vector<HostMessage> messages;
    const HostResults::Row row = results_->NextRow(messages);
    Messages(out, messages);
    switch (row) {
      case HostResults::Row::kRow:
        ++rows_read_;
        return true;
      case HostResults::Row::kEnd:
        streaming_ = false;
        Queue({VEL_CMD_DONE, rows_read_});
        return false;
      case HostResults::Row::kFailed:
        streaming_ = false;
        Failed(out);
        return false;
    }
    return false;
  }

  void DeliverRow(const std::vector<Binding>& bindings, Outbox& out) const override {
    DeliverCells(*this, bindings, out);
  }

  Cell cell(size_t column) const override {
    const std::optional<std::string_view> text = results_->value(column);
    if (!text || column >= forms_.size()) return Cell();
    return PgCell(forms_[column], *text, scratch_[column]);
  }

 private:
  struct Pending {
    int32_t type = 0;
    int64_t count = -1;
  };

  int32_t used_number() const { return use_ok_ ? kSrvDatabaseChanged : kSrvUnknownDatabase; }

  void Queue(Pending p) { queue_.push_back(p); }

  void Message(Outbox& out, const HostMessage& m, int32_t line) {
    out.Server(MakeServerMessage(m.number, m.severity, 1, line, m.text, server_, ""));
  }
  void Messages(Outbox& out, const std::vector<HostMessage>& messages) {
    for (const HostMessage& m : messages) Message(out, m, results_->line());
  }

  void Failed(Outbox& out) {
    HostMessage error = results_->error();
    error.severity = kSeverityError;
    Message(out, error, results_->line());
    Queue({VEL_CMD_FAIL});
    Queue({VEL_CMD_DONE});
  }

  void Advance(Outbox& out) {
    std::vector<HostMessage> messages;
    const bool more = results_->NextStatement(messages);
    Messages(out, messages);
    if (!more) return;
    switch (results_->kind()) {
      case HostResults::Kind::kRows: {
        columns_.clear();
        forms_.clear();
        for (const HostColumn& c : results_->columns()) {
          PgColumn described = DescribePgColumn(c.type_oid, c.type_modifier, c.name);
          columns_.push_back(std::move(described.info));
          forms_.push_back(described.form);
        }
        scratch_.assign(forms_.size(), std::string());
        rows_read_ = 0;
        streaming_ = true;
        Queue({VEL_ROW_RESULT});
        break;
      }
      case HostResults::Kind::kSucceeded:
        Queue({VEL_CMD_SUCCEED});
        Queue({VEL_CMD_DONE, results_->count()});
        break;
      case HostResults::Kind::kFailed:
        Failed(out);
        break;
    }
  }

  std::string server_;
  std::unique_ptr<HostResults> results_;
  std::optional<std::string> use_message_;
  bool use_ok_ = false;
  std::deque<Pending> queue_;
  Pending current_;
  std::vector<ColumnInfo> columns_;
  std::vector<PgForm> forms_;
  bool streaming_ = false;
  int64_t rows_read_ = 0;
  mutable std::vector<std::string> scratch_;  // decoded bytea values
};

class HostSession : public Session {
 public:
  HostSession(std::string server, std::unique_ptr<HostServer> host)
      : server_(std::move(server)), host_(std::move(host)) {}

  std::unique_ptr<ResultStream> Run(const std::string& text, Outbox&) override {
    size_t pos = 0;
    SkipFiller(text, pos);
    std::string name;
    if (ReadUse(text, pos, name)) {
      std::string problem;
      const bool used = host_->Use(name, problem);
      return std::make_unique<HostStream>(
          server_, used,
          used ? "Now using database '" + name + "'." : UseRefusedText(name, problem));
    }
    return std::make_unique<HostStream>(server_, host_->Run(text));
  }

  void Interrupt() override { host_->Interrupt(); }

 private:
  std::string server_;
  std::unique_ptr<HostServer> host_;
};

}  // namespace

bool HostServerRegistered(const std::string& name) {
  Registry& registry = GetRegistry();
  vel::os::MutexLock lock(registry.mutex);
  return registry.servers.count(name) != 0;
}

std::unique_ptr<Session> OpenHostSession(const std::string& server_name,
                                         const std::string& registered, const std::string& user,
                                         std::string& problem) {
  HostServerFactory factory;
  {
    Registry& registry = GetRegistry();
    vel::os::MutexLock lock(registry.mutex);
    auto found = registry.servers.find(registered);
    if (found == registry.servers.end()) {
      problem = "no host server '" + registered + "' is registered";
      return nullptr;
    }
    factory = found->second;
  }
  std::unique_ptr<HostServer> host;
  try {
    host = factory(user, problem);
  } catch (const std::exception& failure) {
    problem = failure.what();
  }
  if (!host) {
    if (problem.empty()) problem = "the host refused the connection";
    return nullptr;
  }
  return std::make_unique<HostSession>(server_name, std::move(host));
}

}  // namespace detail

void RegisterHostServer(const std::string& name, HostServerFactory factory) {
  detail::Registry& registry = detail::GetRegistry();
  vel::os::MutexLock lock(registry.mutex);
  registry.servers.insert_or_assign(name, std::move(factory));
}

void UnregisterHostServer(const std::string& name) {
  detail::Registry& registry = detail::GetRegistry();
  vel::os::MutexLock lock(registry.mutex);
  registry.servers.erase(name);
}

}  // namespace velct
