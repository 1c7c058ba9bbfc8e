// One client's session: its variables, and the statements it runs on its
// own host thread, with what each call sent back written to out.
#ifndef VELHOST_SESSION_H
#define VELHOST_SESSION_H

#include <ostream>
#include <string>

#include "call_syntax.h"
#include "variables.h"
#include "velsrv_host.h"

namespace velhost {

class ProgressLine;
class HostLogFile;

// The procedures the host runs as RPCs, by their exported names. Nothing
// else the library exports is callable by a client.
bool IsRegisteredProcedure(const std::string& name, std::string* exported_name);

class Session {
 public:
  struct Hooks {
    ProgressLine* progress = nullptr;  // shows rows fetched during long calls
    HostLogFile* log = nullptr;        // receives the host log after each call
  };

  Session(velsrv::Client& client, std::ostream& out, Hooks hooks)
      : client_(client), out_(out), hooks_(hooks) {}
  Session(velsrv::Client& client, std::ostream& out) : Session(client, out, Hooks()) {}

  // Runs one statement; false when it asks to quit.
  bool Execute(const ParsedStatement& statement);

  // Reports a bad statement in one line, "velhost: line N: why" (without
  // the line number when line is 0), and counts it.
  void Error(int line, const std::string& message);

  // Whether errors carry line numbers (scripts) or not (the prompt).
  void set_line_numbers(bool on) { line_numbers_ = on; }

  Variables& variables() { return variables_; }
  std::ostream& out() { return out_; }
  int errors() const { return errors_; }

 private:
  void Exec(int line, const ExecStatement& exec);
  void Declare(int line, const DeclareStatement& declare);

  velsrv::Client& client_;
  std::ostream& out_;
  Hooks hooks_;
  Variables variables_;
  bool line_numbers_ = true;
  int errors_ = 0;
};

// The short description of the syntax that "help" shows.
const char* HelpText();

}  // namespace velhost

#endif
