#include "velhost_session.h"

#include <array>
#include <cctype>

#include "host_log_file.h"
#include "output_format.h"
#include "progress_line.h"

namespace velhost {
namespace {

constexpr std::array<const char*, 6> kProcedures = {
    "xp_startmail", "xp_stopmail", "xp_sendmail", "xp_findnextmsg", "xp_readmail", "xp_deletemail"};

// Calls ended in Finish() on every way out of a call.
class CallScope {
 public:
  explicit CallScope(const Session::Hooks& hooks) : hooks_(hooks) {
    if (hooks_.progress != nullptr) hooks_.progress->Begin();
  }
  ~CallScope() {
    if (hooks_.progress != nullptr) hooks_.progress->End();
    if (hooks_.log != nullptr) hooks_.log->Flush();
  }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  const Session::Hooks& hooks_;
};

}  // namespace

bool IsRegisteredProcedure(const std::string& name, std::string* exported_name) {
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const char* procedure : kProcedures) {
    if (lower == procedure) {
      *exported_name = procedure;
      return true;
    }
  }
  return false;
}

void Session::Error(int line, const std::string& message) {
  ++errors_;
  out_ << "velhost: ";
  if (line_numbers_ && line > 0) out_ << "line " << line << ": ";
  out_ << message << "\n";
  out_.flush();
}

bool Session::Execute(const ParsedStatement& parsed) {
  const int line = parsed.line;
  const Statement& statement = parsed.statement;
  if (const auto* error = std::get_if<SyntaxError>(&statement)) {
    Error(line, error->message);
  } else if (const auto* exec = std::get_if<ExecStatement>(&statement)) {
    Exec(line, *exec);
  } else if (const auto* declare = std::get_if<DeclareStatement>(&statement)) {
    Declare(line, *declare);
  } else if (const auto* set = std::get_if<SetStatement>(&statement)) {
    Outcome assigned = variables_.Assign(set->variable, set->value);
    if (!assigned.ok()) Error(line, assigned.error);
  } else if (const auto* select = std::get_if<SelectStatement>(&statement)) {
    for (const std::string& name : select->variables) {
      const Variable* variable = variables_.Find(name);
      if (variable == nullptr) {
        Error(line, "variable " + name + " is not declared");
        return true;
      }
    }
    for (const std::string& name : select->variables) {
      const Variable* variable = variables_.Find(name);
      out_ << variable->name << " = " << ShowValue(*variable) << "\n";
    }
  } else if (const auto* print = std::get_if<PrintStatement>(&statement)) {
    const Literal& value = print->value;
    if (value.kind == Literal::Kind::kVariable) {
      const Variable* variable = variables_.Find(value.text);
      if (variable == nullptr) {
        Error(line, "variable " + value.text + " is not declared");
      } else {
        out_ << ShowValue(*variable) << "\n";
      }
    } else if (value.kind == Literal::Kind::kInteger) {
      out_ << value.integer << "\n";
    } else if (value.kind == Literal::Kind::kBinary) {
      out_ << HexText(value.text) << "\n";
    } else if (value.kind == Literal::Kind::kNull) {
      out_ << "\n";
    } else {
      out_ << value.text << "\n";
    }
  } else if (std::holds_alternative<HelpStatement>(statement)) {
    out_ << HelpText();
  } else if (std::holds_alternative<QuitStatement>(statement)) {
    return false;
  }
  out_.flush();
  return true;
}

void Session::Declare(int line, const DeclareStatement& declare) {
  for (const Declaration& declaration : declare.declarations) {
    Outcome declared = variables_.Declare(declaration);
    if (!declared.ok()) {
      Error(line, declared.error);
      return;
    }
  }
}

void Session::Exec(int line, const ExecStatement& exec) {
  std::string procedure;
  if (!IsRegisteredProcedure(exec.procedure, &procedure)) {
    Error(line, "unknown procedure '" + exec.procedure + "'");
    return;
  }
  BuiltCall built = BuildParams(exec, variables_);
  if (!built.error.empty()) {
    Error(line, built.error);
    return;
  }
  velsrv::CallResult result;
  {
    CallScope scope(hooks_);
    result = client_.Call(procedure, std::move(built.params));
  }
  if (!result.attached) {
    Error(line, "the mail library could not be loaded (see the host log)");
    return;
  }
  if (!result.found) {
    Error(line, "the mail library does not export '" + procedure + "'");
    return;
  }
  const int32_t status = ReturnStatus(result);
  StoreOutputs(exec, result, status, variables_);

  // A positional output parameter is shown by the variable it went to.
  std::vector<std::string> display_names;
  for (const Argument& argument : exec.arguments) {
    display_names.push_back(argument.name.empty() ? argument.value.text : argument.name);
  }
  out_ << FormatCallResult(result, display_names);
}

const char* HelpText() {
  return "Statements (one a line; ';' separates several; a line ending in ',' goes on):\n"
         "  [exec] PROCEDURE [@name =] value [output], ...\n"
         "      values: 'text' (quote doubled inside), 123, 0x0A1B, NULL, DEFAULT, @variable\n"
         "      procedures: xp_startmail xp_stopmail xp_sendmail xp_findnextmsg\n"
         "                  xp_readmail xp_deletemail\n"
         "  exec @status = PROCEDURE ...   keeps the return status in an int variable\n"
         "  declare @name varchar(n) | varbinary(n) | int [= value], ...\n"
         "  set @name = value\n"
         "  select @name, ...              shows variables\n"
         "  print value                    shows one value\n"
         "  help, quit\n"
         "Comments: -- to the end of the line, /* ... */\n";
}

}  // namespace velhost
