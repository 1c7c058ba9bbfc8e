// The call syntax velhost reads: procedure calls with named or positional
// parameters, variable declarations, and a few session commands.
//
//   declare @id varbinary(256), @body varchar(255)
//   exec xp_findnextmsg @msg_id = @id output
//   exec xp_readmail @msg_id = @id, @message = @body output, @peek = 'true'
//   xp_sendmail 'ops', 'Subject', DEFAULT, NULL, 'select 1'
//
// A statement ends at the end of a line or at ';'. It goes on over the line
// end when the line ends inside a string or comment, after ',', '=' or '(',
// or when the next line starts with ','. Keywords are matched without
// regard to case; '--' and '/* */' are comments.
#ifndef VELHOST_CALL_SYNTAX_H
#define VELHOST_CALL_SYNTAX_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velhost {

// A value as written in a statement.
struct Literal {
  enum class Kind { kText, kInteger, kBinary, kNull, kDefault, kVariable };
  Kind kind = Kind::kNull;
  std::string text;     // kText: the string; kBinary: the bytes; kVariable: its name
  int32_t integer = 0;  // kInteger
  bool operator==(const Literal&) const = default;
};

// One parameter of a call.
struct Argument {
  std::string name;  // "@recipient"; empty for a positional parameter
  Literal value;
  bool output = false;  // written "output" (or "out"); value is a variable
  bool operator==(const Argument&) const = default;
};

// The declared type of a variable.
struct SqlType {
  enum class Base { kText, kBinary, kInt };
  Base base = Base::kText;
  int32_t length = 0;  // maximum bytes; 4 for int
  bool operator==(const SqlType&) const = default;
};

struct ExecStatement {
  std::string procedure;        // as written, without a qualifier ("master..x" -> "x")
  std::string status_variable;  // "exec @rc = proc": receives the return status
  std::vector<Argument> arguments;
};

struct Declaration {
  std::string variable;
  SqlType type;
  std::optional<Literal> initial;  // "declare @n int = 5"
};
struct DeclareStatement {
  std::vector<Declaration> declarations;
};

// "set @var = value"
struct SetStatement {
  std::string variable;
  Literal value;
};

// "select @a, @b": shows each variable by name.
struct SelectStatement {
  std::vector<std::string> variables;
};

// "print 'text'" or "print @var": shows one value alone.
struct PrintStatement {
  Literal value;
};

struct QuitStatement {};
struct HelpStatement {};

// A statement the parser refused, with the reason in one line.
struct SyntaxError {
  std::string message;
};

using Statement = std::variant<ExecStatement, DeclareStatement, SetStatement, SelectStatement,
                               PrintStatement, QuitStatement, HelpStatement, SyntaxError>;

struct ParsedStatement {
  int line = 0;  // where the statement starts
  Statement statement;
};

// Parses a piece of script; first_line is the number of its first line.
// After an error the parser goes on with the next statement, so one bad
// line does not hide the rest. "go" separates statements and is dropped.
std::vector<ParsedStatement> ParseScript(std::string_view text, int first_line = 1);

// Whether text ends in the middle of a statement (inside a string or a
// comment, or after ',', '=', '(' or a bare "exec"): a reader then asks for
// another line before parsing. LineScanner tells the same line by line.
bool NeedsMoreInput(std::string_view text);

// The line (counting from 1 within text) on which a string or comment
// that text leaves open starts; 0 when none is open.
int OpenQuoteLine(std::string_view text);

// The text of a type as it would be declared ("varchar(255)", "int").
std::string TypeName(const SqlType& type);

// Tells, line by line, what NeedsMoreInput and OpenQuoteLine tell of the
// text of all the lines so far, looking at each line once: a string or
// comment that a line leaves open is carried into the next.
class LineScanner {
 public:
  // How many values state() has.
  static constexpr int kOpenStates = 6;

  // Takes the next line, without its line end.
  void Add(std::string_view line);

  // Whether the lines so far end in the middle of a statement.
  bool NeedsMore() const;

  // The line (counting from 1 among the lines added) on which a string or
  // comment that the lines so far leave open starts; 0 when none is open.
  int open_quote_line() const { return open_ != 0 ? open_line_ : 0; }

  // With a string or comment open, a number below kOpenStates for what
  // the lines that follow will make of it: two scanners in the same state
  // take those lines the same way. -1 when nothing is open.
  int state() const;

 private:
  // What the open statement's tokens so far make of a line end.
  enum class Tail { kNone, kOpeningKeyword, kContinued, kEnds };

  char open_ = 0;  // the open string's quote, '*' for a comment, 0
  int open_line_ = 0;
  int lines_ = 0;
  Tail tail_ = Tail::kNone;
};

}  // namespace velhost

#endif
