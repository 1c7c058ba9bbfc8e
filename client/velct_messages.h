// Messages raised during one call, held until the call has let go of the
// stand-in's locks and then handed to the callbacks that were installed when
// they were raised. Internal to libvelct.so.
#ifndef VELCT_OUTBOX_H
#define VELCT_OUTBOX_H

#include <cstdint>
#include <string_view>
#include <vector>

#include "velcs.h"
#include "velct_control.h"

namespace velct::detail {

class Outbox {
 public:
  // The connection (or, without one, the context) whose callbacks receive
  // the messages added from now on. Caller holds the connection.
  void Address(cs_context* ctx, cs_connection* con);

  void Server(const cs_servermsg& msg);
  void Client(const cs_clientmsg& msg);
  void Client(ClientCode code, std::string_view text);

  // Forgets the messages raised so far.
  void Drop();

  // Calls the callbacks in the order the messages were raised. Call without
  // any lock.
  void Deliver() {
    if (!entries_.empty()) DeliverAll();
  }

 private:
  void DeliverAll();
  struct Entry {
    cs_context* ctx;
    cs_connection* con;
    cs_servermsg_fn server_fn;
    cs_clientmsg_fn client_fn;
    bool is_server;
    cs_servermsg server;
    cs_clientmsg client;
  };
  cs_context* ctx_ = nullptr;
  cs_connection* con_ = nullptr;
  std::vector<Entry> entries_;
};

// A server message record; text and names are cut to their fields.
cs_servermsg MakeServerMessage(int32_t number, int32_t severity, int32_t state, int32_t line,
                               std::string_view text, std::string_view server,
                               std::string_view proc);
cs_clientmsg MakeClientMessage(ClientCode code, std::string_view text);

}  // namespace velct::detail

#endif
