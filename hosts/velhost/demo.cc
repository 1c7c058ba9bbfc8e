#include "demo.h"

#include <cstring>
#include <string>

#include "script_runner.h"

namespace velhost {
namespace {

// Subjects the tour gives its messages; it deletes only messages whose
// subject starts so, and leaves any other mail in the inbox alone.
constexpr const char* kSubjectPrefix = "velhost demo: ";

constexpr int kMessagesSent = 3;

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    out += c;
    if (c == '\'') out += '\'';
  }
  return out + "'";
}

class Tour {
 public:
  Tour(Session& session, const DemoAccount& account) : session_(session), account_(account) {}

  int Run() {
    const std::string me = Quoted(account_.name);
    const std::string prefix = kSubjectPrefix;
    Step(
        "-- Log on to mail.\n"
        "exec xp_startmail @mail_user = " +
        me + ", @mail_password = " + Quoted(account_.password));
    Step(
        "-- Send a plain message, with a copy to dba.\n"
        "exec xp_sendmail @recipient = " +
        me +
        ", @cc_recipient = 'dba',\n"
        "    @subject = '" +
        prefix +
        "hello',\n"
        "    @message = 'Hello from the database server.'");
    Step(
        "-- Send a query result as the message text.\n"
        "exec xp_sendmail @recipient = " +
        me + ", @subject = '" + prefix +
        "disks',\n"
        "    @query = 'select name, mount, size_mb, free_mb from disks order by name'");
    Step(
        "-- Send a query result as an attached file.\n"
        "exec xp_sendmail @recipient = " +
        me + ", @subject = '" + prefix +
        "open orders',\n"
        "    @query = 'select id, customer, item, qty from orders where status = ''open'' "
        "order by id',\n"
        "    @attach_result = 'true'");
    Step(
        "-- Walk the inbox: find the next unread message, read it, delete it.\n"
        "declare @id varbinary(256), @rc int, @sender varchar(255), @subject varchar(255),\n"
        "    @cc varchar(255), @date varchar(64), @body varchar(255), @length int,\n"
        "    @skip int, @attachments varchar(255)");
    int deleted = 0;
    bool from_start = true;
    for (int found = 0; deleted < kMessagesSent && found < 20; ++found) {
      // After a deletion the walk starts over: the deleted message's id is
      // no longer in the inbox to go on from.
      Step(std::string(from_start ? "set @id = NULL\n" : "") +
           "exec @rc = xp_findnextmsg @msg_id = @id output");
      if (IntVariable("@rc") != 0) break;
      // Outputs the message lacks (a message without text) come back as
      // they went in, so they go in empty.
      Step(
          "set @skip = 0; set @length = 0; set @body = NULL\n"
          "exec xp_readmail @msg_id = @id, @sender = @sender output,\n"
          "    @subject = @subject output, @cc = @cc output, @date_received = @date output,\n"
          "    @message = @body output, @msg_length = @length output,\n"
          "    @bytes_to_skip = @skip output,\n"
          "    @suppress_attach = 'false', @attachments = @attachments output");
      // A body longer than one piece is read on from where the last piece
      // ended.
      for (int32_t skip = IntVariable("@skip"); skip < IntVariable("@length");) {
        Step(
            "-- The rest of the body, from @bytes_to_skip on.\n"
            "exec xp_readmail @msg_id = @id, @message = @body output,\n"
            "    @bytes_to_skip = @skip output, @peek = 'true'");
        if (IntVariable("@skip") <= skip) break;  // no progress: a failed read
        skip = IntVariable("@skip");
      }
      if (TextVariable("@subject").rfind(prefix, 0) == 0) {
        Step("exec xp_deletemail @msg_id = @id");
        ++deleted;
        from_start = true;
      } else {
        from_start = false;
        Step("-- Not one of the tour's messages: it stays; find the one after it.");
      }
    }
    Step("-- Log off.\nexec xp_stopmail");
    return failures_;
  }

 private:
  void Step(const std::string& text) {
    failures_ += RunText(session_, text + "\n", {.echo = true});
    session_.out() << "\n";
    session_.out().flush();
  }

  int32_t IntVariable(const char* name) const {
    const Variable* variable = session_.variables().Find(name);
    if (variable == nullptr || variable->null || variable->value.size() < 4) return 0;
    int32_t value = 0;
    std::memcpy(&value, variable->value.data(), sizeof value);
    return value;
  }

  std::string TextVariable(const char* name) const {
    const Variable* variable = session_.variables().Find(name);
    return variable == nullptr || variable->null ? std::string() : variable->value;
  }

  Session& session_;
  const DemoAccount& account_;
  int failures_ = 0;
};

}  // namespace

int RunDemo(Session& session, const DemoAccount& account) { return Tour(session, account).Run(); }

}  // namespace velhost
