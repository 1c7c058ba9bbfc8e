// Scripted servers: the registry and the session that reads a script.
#include <utility>

#include "velct_backends.h"
#include "velct_convert.h"

namespace velct {
namespace detail {
namespace {

using Kind = ScriptEvent::Kind;

void RaiseMessage(const ScriptEvent& e, Outbox& out) {
  if (e.kind == Kind::kServerMsg) {
    const ServerMessage& m = e.server_msg;
    out.Server(MakeServerMessage(m.number, m.severity, m.state, m.line, m.text, m.server, m.proc));
  } else {
    out.Client(e.client_msg.code, e.client_msg.text);
  }
}

void InstallFailure(const ScriptEvent& e) {
  State& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  state.SetFailure(e.function, FailRule(e.nth, e.count));
}

// Reads the events of one batch, [pos, end) of the script.
class ScriptStream : public ResultStream {
 public:
  ScriptStream(std::shared_ptr<const Script> script, size_t begin, size_t end)
      : script_(std::move(script)), pos_(begin), end_(end) {
    InstallFollowingFailures();
  }

  bool NextResult(Outbox& out) override {
    for (; pos_ < end_; ++pos_) {
      const ScriptEvent& e = event(pos_);
      if (e.kind == Kind::kServerMsg || e.kind == Kind::kClientMsg) RaiseMessage(e, out);
      if (e.kind == Kind::kFailCall) InstallFailure(e);
      if (e.kind != Kind::kResult) continue;
      result_ = &e;
      row_ = nullptr;
      columns_.clear();
      for (const Column& c : e.columns) columns_.push_back({c.name, c.datatype, c.maxlength});
      ++pos_;
      InstallFollowingFailures();
      return true;
    }
    result_ = nullptr;
    return false;
  }

  int32_t type() const override { return result_ ? result_->result_type : 0; }
  const std::vector<ColumnInfo>& columns() const override { return columns_; }
  int64_t row_count() const override {
    return result_ && result_->result_type == VEL_CMD_DONE ? result_->row_count : -1;
  }

  bool NextRow(Outbox& out) override {
    for (; pos_ < end_; ++pos_) {
      const ScriptEvent& e = event(pos_);
      if (e.kind == Kind::kServerMsg || e.kind == Kind::kClientMsg) RaiseMessage(e, out);
      if (e.kind == Kind::kFailCall) InstallFailure(e);
      if (e.kind == Kind::kResult) break;
      if (e.kind != Kind::kRow) continue;
      row_ = &e;
      ++pos_;
      InstallFollowingFailures();
      return true;
    }
    row_ = nullptr;
    return false;
  }

  void DeliverRow(const std::vector<Binding>& bindings, Outbox& out) const override {
    DeliverCells(*this, bindings, out);
  }

  Cell cell(size_t column) const override {
    Cell cell;
    if (!row_ || column >= row_->values.size()) return cell;
    const Value& v = row_->values[column];
    cell.kind = static_cast<Cell::Kind>(v.kind);  // the two enums list the same kinds
    cell.integer = v.integer;
    cell.real = v.real;
    cell.bytes = v.bytes;
    return cell;
  }

 private:
  const ScriptEvent& event(size_t i) const { return script_->events()[i]; }

  // Failure rules placed right after what was just read take effect before
  // the next call.
  void InstallFollowingFailures() {
    while (pos_ < end_ && event(pos_).kind == Kind::kFailCall) InstallFailure(event(pos_++));
  }

  std::shared_ptr<const Script> script_;
  size_t pos_;
  size_t end_;
  const ScriptEvent* result_ = nullptr;
  const ScriptEvent* row_ = nullptr;
  std::vector<ColumnInfo> columns_;
};

static_assert(static_cast<int>(Value::Kind::kBytes) == static_cast<int>(Cell::Kind::kBytes));

class ScriptSession : public Session {
 public:
  explicit ScriptSession(std::shared_ptr<const Script> script) : script_(std::move(script)) {
    const auto& events = script_->events();
    for (size_t i = 0; i < events.size(); ++i)
      if (events[i].kind == Kind::kBatch) batch_starts_.push_back(i + 1);
  }

  // The events before the first batch: messages and failure rules of the
  // login.
  void Login(Outbox& out) {
    const auto& events = script_->events();
    for (size_t i = 0; i < events.size() && events[i].kind != Kind::kBatch; ++i) {
      if (events[i].kind == Kind::kFailCall)
        InstallFailure(events[i]);
      else if (events[i].kind == Kind::kServerMsg || events[i].kind == Kind::kClientMsg)
        RaiseMessage(events[i], out);
    }
  }

  std::unique_ptr<ResultStream> Run(const std::string& text, Outbox&) override {
    {
      State& state = GlobalState();
      vel::os::MutexLock lock(state.mutex);
      state.received_batches[script_->server()].push_back(text);
    }
    const size_t size = script_->events().size();
    const size_t index = next_batch_++;
    if (index >= batch_starts_.size()) return std::make_unique<ScriptStream>(script_, size, size);
    const size_t end = index + 1 < batch_starts_.size() ? batch_starts_[index + 1] - 1 : size;
    return std::make_unique<ScriptStream>(script_, batch_starts_[index], end);
  }

 private:
  std::shared_ptr<const Script> script_;
  std::vector<size_t> batch_starts_;  // index of each batch's first event
  size_t next_batch_ = 0;
};

}  // namespace

std::unique_ptr<Session> OpenScriptSession(std::shared_ptr<const Script> script, Outbox& out) {
  auto session = std::make_unique<ScriptSession>(std::move(script));
  session->Login(out);
  return session;
}

}  // namespace detail

using detail::GlobalState;

void RegisterServer(const Script& script) {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  state.scripted_servers.insert_or_assign(script.server(), script);
  state.received_batches[script.server()].clear();
}

void UnregisterServer(const std::string& server) {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  state.scripted_servers.erase(server);
}

void ClearServers() {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  state.scripted_servers.clear();
  state.received_batches.clear();
}

std::vector<std::string> ReceivedBatches(const std::string& server) {
  auto& state = GlobalState();
  vel::os::MutexLock lock(state.mutex);
  auto it = state.received_batches.find(server);
  return it == state.received_batches.end() ? std::vector<std::string>{} : it->second;
}

}  // namespace velct
