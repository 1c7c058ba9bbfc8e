// Holding raised messages until the lock is released, and delivering them.
#include "velct_messages.h"

#include <algorithm>
#include <cstring>

#include "velct_state.h"

namespace velct::detail {
namespace {

// Copies text into a fixed field, cut to its size; returns the length kept.
int32_t CopyCut(char* field, size_t size, std::string_view text) {
  const size_t n = std::min(size, text.size());
  std::memcpy(field, text.data(), n);
  return static_cast<int32_t>(n);
}

}  // namespace

cs_servermsg MakeServerMessage(int32_t number, int32_t severity, int32_t state, int32_t line,
                               std::string_view text, std::string_view server,
                               std::string_view proc) {
  cs_servermsg msg{};
  msg.msgnumber = number;
  msg.severity = severity;
  msg.state = state;
  msg.line = line;
  msg.textlen = CopyCut(msg.text, sizeof msg.text, text);
  msg.svrnlen = CopyCut(msg.svrname, sizeof msg.svrname, server);
  // The procedure name is terminated, so one byte of the field is kept free.
  msg.proclen = CopyCut(msg.proc, sizeof msg.proc - 1, proc);
  return msg;
}

cs_clientmsg MakeClientMessage(ClientCode code, std::string_view text) {
  cs_clientmsg msg{};
  msg.severity = code.severity;
  msg.msgnumber = code.packed();
  msg.msgstringlen = CopyCut(msg.msgstring, sizeof msg.msgstring, text);
  return msg;
}

void Outbox::Address(cs_context* ctx, cs_connection* con) {
  ctx_ = ctx;
  con_ = con;
}

void Outbox::Server(const cs_servermsg& msg) {
  Entry& e = entries_.emplace_back();
  e.ctx = ctx_;
  e.con = con_;
  e.is_server = true;
  e.server = msg;
  e.server_fn = con_ && con_->server_message ? con_->server_message
                : ctx_                       ? ctx_->server_message.load()
                                             : nullptr;
}

void Outbox::Client(const cs_clientmsg& msg) {
  Entry& e = entries_.emplace_back();
  e.ctx = ctx_;
  e.con = con_;
  e.is_server = false;
  e.client = msg;
  e.client_fn = con_ && con_->client_message ? con_->client_message
                : ctx_                       ? ctx_->client_message.load()
                                             : nullptr;
}

void Outbox::Client(ClientCode code, std::string_view text) {
  Client(MakeClientMessage(code, text));
}

void Outbox::Drop() { entries_.clear(); }

void Outbox::DeliverAll() {
  // The callbacks may call in again and raise messages of their own; those
  // go to an outbox of that call.
  std::vector<Entry> entries = std::move(entries_);
  entries_.clear();
  for (Entry& e : entries) {
    if (e.is_server && e.server_fn) e.server_fn(e.ctx, e.con, &e.server);
    if (!e.is_server && e.client_fn) e.client_fn(e.ctx, e.con, &e.client);
  }
}

}  // namespace velct::detail
