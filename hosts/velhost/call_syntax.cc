#include "call_syntax.h"

#include <cctype>
#include <limits>
#include <utility>

namespace velhost {
namespace {

// ------------------------------------------------------------ tokens

enum class TokenKind {
  kWord,
  kVariable,
  kString,
  kInteger,
  kBinary,
  kPunct,
  kNewline,
  kSemicolon,
  kError,
  kEnd
};

struct Token {
  TokenKind kind = TokenKind::kEnd;
  std::string text;     // words and variables as written; a string's or binary's value;
                        // an integer's digits; the punctuation mark; the error's message
  std::string written;  // the token as it appears in the input (for messages)
  int line = 0;
  // An error that more input could still mend: the quote of a string, or
  // '*' for a comment, left open at the end of the text.
  char open = 0;
};

bool IsWordStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == '#';
}
bool IsWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '#' || c == '$' ||
         c == '.';
}
bool IsVariableChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '#' || c == '$' ||
         c == '@';
}
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

class Tokenizer {
 public:
  // open: a string's quote or '*' for a comment when the text starts
  // inside one that an earlier text left open; 0 when it does not.
  Tokenizer(std::string_view text, int first_line, char open = 0)
      : text_(text), line_(first_line), open_(open) {}

  std::vector<Token> All() {
    std::vector<Token> tokens;
    for (;;) {
      Token token = Next();
      const bool stop = token.kind == TokenKind::kEnd;
      tokens.push_back(std::move(token));
      if (stop) break;
    }
    return tokens;
  }

 private:
  Token Make(TokenKind kind, std::string text, size_t start, int line) {
    Token token;
    token.kind = kind;
    token.text = std::move(text);
    token.written = std::string(text_.substr(start, pos_ - start));
    token.line = line;
    return token;
  }

  Token Error(std::string message, size_t start, int line, char open = 0) {
    Token token = Make(TokenKind::kError, std::move(message), start, line);
    token.open = open;
    return token;
  }

  char Peek(size_t ahead = 0) const {
    return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0';
  }
  bool AtEnd(size_t ahead = 0) const { return pos_ + ahead >= text_.size(); }

  Token Next() {
    if (open_ != 0) {
      const char open = std::exchange(open_, 0);
      const int line = line_;
      if (open != '*') return StringRest(open, pos_, line);
      if (!CommentRest()) return Error("unterminated comment", 0, line, '*');
    }
    // Blanks and comments; newlines are tokens of their own.
    for (;;) {
      if (AtEnd()) return Make(TokenKind::kEnd, "", pos_, line_);
      const char c = Peek();
      if (c == '\n') {
        const size_t start = pos_++;
        return Make(TokenKind::kNewline, "\n", start, line_++);
      }
      if (c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v') {
        ++pos_;
      } else if (c == '-' && Peek(1) == '-') {
        while (!AtEnd() && Peek() != '\n') ++pos_;
      } else if (c == '/' && Peek(1) == '*') {
        const size_t start = pos_;
        const int line = line_;
        pos_ += 2;
        if (!CommentRest()) return Error("unterminated comment", start, line, '*');
      } else {
        break;
      }
    }

    const size_t start = pos_;
    const int line = line_;
    const char c = Peek();
    if (c == '\'' || c == '"') return String(c, start, line);
    if ((c == 'N' || c == 'n') && Peek(1) == '\'') {  // N'...' is the same string
      ++pos_;
      return String('\'', start, line);
    }
    if (c == '0' && (Peek(1) == 'x' || Peek(1) == 'X')) return Binary(start, line);
    if (std::isdigit(static_cast<unsigned char>(c)) ||
        ((c == '-' || c == '+') && std::isdigit(static_cast<unsigned char>(Peek(1))))) {
      ++pos_;
      while (std::isdigit(static_cast<unsigned char>(Peek()))) ++pos_;
      if (IsWordChar(Peek())) {
        while (IsWordChar(Peek())) ++pos_;
        return Error("bad number '" + std::string(text_.substr(start, pos_ - start)) + "'", start,
                     line);
      }
      return Make(TokenKind::kInteger, std::string(text_.substr(start, pos_ - start)), start, line);
    }
    if (c == '@') {
      ++pos_;
      while (IsVariableChar(Peek())) ++pos_;
      if (pos_ - start == 1) return Error("'@' without a name", start, line);
      return Make(TokenKind::kVariable, std::string(text_.substr(start, pos_ - start)), start,
                  line);
    }
    if (IsWordStart(c)) {
      while (IsWordChar(Peek())) ++pos_;
      return Make(TokenKind::kWord, std::string(text_.substr(start, pos_ - start)), start, line);
    }
    if (c == '[') {  // a bracketed name: [xp_sendmail]
      ++pos_;
      while (!AtEnd() && Peek() != ']' && Peek() != '\n') ++pos_;
      if (Peek() != ']') return Error("unterminated bracketed name", start, line);
      ++pos_;
      return Make(TokenKind::kWord, std::string(text_.substr(start + 1, pos_ - start - 2)), start,
                  line);
    }
    ++pos_;
    if (c == ',' || c == '=' || c == '(' || c == ')') {
      return Make(TokenKind::kPunct, std::string(1, c), start, line);
    }
    if (c == ';') return Make(TokenKind::kSemicolon, ";", start, line);
    return Error(std::string("unexpected character '") + c + "'", start, line);
  }

  // Past the end of a comment whose "/*" is behind; false when the text
  // ends first.
  bool CommentRest() {
    while (!AtEnd() && !(Peek() == '*' && Peek(1) == '/')) {
      if (Peek() == '\n') ++line_;
      ++pos_;
    }
    if (AtEnd()) return false;
    pos_ += 2;
    return true;
  }

  // A quoted string; the quote doubled stands for itself.
  Token String(char quote, size_t start, int line) {
    ++pos_;
    return StringRest(quote, start, line);
  }

  // The rest of a string whose opening quote is behind.
  Token StringRest(char quote, size_t start, int line) {
    std::string value;
    for (;;) {
      if (AtEnd()) return Error("unterminated string", start, line, quote);
      const char c = Peek();
      ++pos_;
      if (c == quote) {
        if (Peek() != quote) break;
        ++pos_;
      } else if (c == '\n') {
        ++line_;
      }
      value += c;
    }
    return Make(TokenKind::kString, std::move(value), start, line);
  }

  // 0x followed by hex digits; an odd count is padded with a leading 0.
  Token Binary(size_t start, int line) {
    pos_ += 2;
    std::string digits;
    while (IsWordChar(Peek())) digits += text_[pos_++];
    for (char d : digits) {
      if (HexValue(d) < 0) {
        return Error("bad binary literal '" + std::string(text_.substr(start, pos_ - start)) + "'",
                     start, line);
      }
    }
    if (digits.size() % 2 != 0) digits.insert(digits.begin(), '0');
    std::string bytes;
    for (size_t i = 0; i < digits.size(); i += 2) {
      bytes += static_cast<char>(HexValue(digits[i]) * 16 + HexValue(digits[i + 1]));
    }
    return Make(TokenKind::kBinary, std::move(bytes), start, line);
  }

  std::string_view text_;
  size_t pos_ = 0;
  int line_;
  char open_;
};

bool IsPunct(const Token& token, char mark) {
  return token.kind == TokenKind::kPunct && token.text.size() == 1 && token.text[0] == mark;
}
bool IsKeyword(const Token& token, std::string_view keyword) {
  return token.kind == TokenKind::kWord && Lower(token.text) == keyword;
}
bool IsExecKeyword(const Token& token) {
  return IsKeyword(token, "exec") || IsKeyword(token, "execute");
}
// A statement whose first word alone is not yet a statement.
bool IsOpeningKeyword(const Token& token) {
  return IsExecKeyword(token) || IsKeyword(token, "declare") || IsKeyword(token, "set") ||
         IsKeyword(token, "select") || IsKeyword(token, "print");
}

// Whether a line end after these tokens leaves the statement open.
bool ContinuesOverLineEnd(const std::vector<Token>& statement) {
  if (statement.empty()) return false;
  const Token& last = statement.back();
  if (IsPunct(last, ',') || IsPunct(last, '=') || IsPunct(last, '(')) return true;
  return statement.size() == 1 && IsOpeningKeyword(last);
}

// The index of the first token from `from` on that is not a newline.
size_t PastNewlines(const std::vector<Token>& tokens, size_t from) {
  while (from < tokens.size() && tokens[from].kind == TokenKind::kNewline) ++from;
  return from;
}

// Splits the tokens into statements (without their terminators).
std::vector<std::vector<Token>> SplitStatements(const std::vector<Token>& tokens) {
  std::vector<std::vector<Token>> statements;
  std::vector<Token> current;
  size_t after_newlines = 0;  // the first token after the newlines at hand
  auto finish = [&] {
    if (!current.empty()) statements.push_back(std::move(current));
    current.clear();
  };
  for (size_t i = 0; i < tokens.size(); ++i) {
    const Token& token = tokens[i];
    if (token.kind == TokenKind::kEnd || token.kind == TokenKind::kSemicolon) {
      finish();
    } else if (token.kind == TokenKind::kNewline) {
      if (ContinuesOverLineEnd(current)) continue;
      if (!current.empty()) {
        if (after_newlines <= i) after_newlines = PastNewlines(tokens, i + 1);
        if (after_newlines < tokens.size() && IsPunct(tokens[after_newlines], ',')) continue;
      }
      finish();
    } else {
      current.push_back(token);
    }
  }
  finish();
  return statements;
}

// ------------------------------------------------------------ parser

// Thrown inside the parser of one statement; becomes a SyntaxError.
struct ParseFailure {
  std::string message;
};

std::string Describe(const Token& token) {
  if (token.kind == TokenKind::kEnd) return "the end of the statement";
  return "'" + token.written + "'";
}

class StatementParser {
 public:
  explicit StatementParser(const std::vector<Token>& tokens) : tokens_(tokens) {
    end_.kind = TokenKind::kEnd;
  }

  // Nothing for "go".
  std::optional<Statement> Parse() {
    for (const Token& token : tokens_) {
      if (token.kind == TokenKind::kError) return SyntaxError{token.text};
    }
    try {
      const Token& first = Peek();
      if (IsKeyword(first, "go") && tokens_.size() == 1) return std::nullopt;
      if (first.kind != TokenKind::kWord) {
        throw ParseFailure{"expected a statement (exec, declare, set, select, print), found " +
                           Describe(first)};
      }
      const std::string keyword = Lower(first.text);
      if (keyword == "exec" || keyword == "execute") {
        ++pos_;
        return Exec();
      }
      if (keyword == "declare") return (++pos_, Declare());
      if (keyword == "set") return (++pos_, Set());
      if (keyword == "select") return (++pos_, Select());
      if (keyword == "print") return (++pos_, Print());
      if (keyword == "quit" || keyword == "exit") return (++pos_, Alone(QuitStatement{}));
      if (keyword == "help") return (++pos_, Alone(HelpStatement{}));
      return Exec();  // a procedure named without "exec"
    } catch (const ParseFailure& failure) {
      return SyntaxError{failure.message};
    }
  }

 private:
  const Token& Peek(size_t ahead = 0) const {
    return pos_ + ahead < tokens_.size() ? tokens_[pos_ + ahead] : end_;
  }
  const Token& Take() {
    const Token& token = Peek();
    if (pos_ < tokens_.size()) ++pos_;
    return token;
  }
  bool AtEnd() const { return pos_ >= tokens_.size(); }

  Statement Alone(Statement statement) {
    if (!AtEnd()) throw ParseFailure{"unexpected " + Describe(Peek())};
    return statement;
  }

  void Expect(char mark, const std::string& what) {
    if (!IsPunct(Peek(), mark)) {
      throw ParseFailure{"expected '" + std::string(1, mark) + "' " + what + ", found " +
                         Describe(Peek())};
    }
    ++pos_;
  }

  std::string Variable(const std::string& what) {
    if (Peek().kind != TokenKind::kVariable) {
      throw ParseFailure{"expected " + what + ", found " + Describe(Peek())};
    }
    return Take().text;
  }

  static int32_t Integer(const Token& token) {
    try {
      size_t used = 0;
      const long long value = std::stoll(token.text, &used);
      if (used == token.text.size() && value >= std::numeric_limits<int32_t>::min() &&
          value <= std::numeric_limits<int32_t>::max()) {
        return static_cast<int32_t>(value);
      }
    } catch (const std::exception&) {
    }
    throw ParseFailure{"integer out of range: " + token.text};
  }

  // A value; DEFAULT only where allow_default says.
  Literal Value(const std::string& what, bool allow_default) {
    const Token& token = Peek();
    Literal value;
    switch (token.kind) {
      case TokenKind::kString:
        value.kind = Literal::Kind::kText;
        value.text = token.text;
        break;
      case TokenKind::kInteger:
        value.kind = Literal::Kind::kInteger;
        value.integer = Integer(token);
        break;
      case TokenKind::kBinary:
        value.kind = Literal::Kind::kBinary;
        value.text = token.text;
        break;
      case TokenKind::kVariable:
        value.kind = Literal::Kind::kVariable;
        value.text = token.text;
        break;
      default:
        if (IsKeyword(token, "null")) {
          value.kind = Literal::Kind::kNull;
        } else if (IsKeyword(token, "default") && allow_default) {
          value.kind = Literal::Kind::kDefault;
        } else {
          throw ParseFailure{"expected " + what + ", found " + Describe(token)};
        }
    }
    ++pos_;
    return value;
  }

  Statement Exec() {
    ExecStatement exec;
    if (Peek().kind == TokenKind::kVariable && IsPunct(Peek(1), '=')) {
      exec.status_variable = Take().text;
      ++pos_;
    }
    if (Peek().kind != TokenKind::kWord) {
      throw ParseFailure{"expected a procedure name, found " + Describe(Peek())};
    }
    exec.procedure = Take().text;
    const size_t dot = exec.procedure.find_last_of('.');
    if (dot != std::string::npos) exec.procedure.erase(0, dot + 1);
    if (exec.procedure.empty()) throw ParseFailure{"expected a procedure name after the qualifier"};

    while (!AtEnd()) {
      if (!exec.arguments.empty()) Expect(',', "between parameters");
      Argument argument;
      if (Peek().kind == TokenKind::kVariable && IsPunct(Peek(1), '=')) {
        argument.name = Take().text;
        ++pos_;
      }
      argument.value =
          Value(argument.name.empty() ? "a parameter value" : "a value for " + argument.name, true);
      if (IsKeyword(Peek(), "output") || IsKeyword(Peek(), "out")) {
        if (argument.value.kind != Literal::Kind::kVariable) {
          throw ParseFailure{"only a variable can be passed as output" +
                             (argument.name.empty() ? std::string() : " (" + argument.name + ")")};
        }
        argument.output = true;
        ++pos_;
      }
      exec.arguments.push_back(std::move(argument));
    }
    return exec;
  }

  SqlType Type() {
    const Token& token = Peek();
    if (token.kind != TokenKind::kWord) {
      throw ParseFailure{"expected a data type, found " + Describe(token)};
    }
    const std::string name = Lower(token.text);
    SqlType type;
    if (name == "int" || name == "integer") {
      ++pos_;
      type.base = SqlType::Base::kInt;
      type.length = 4;
      return type;
    }
    if (name == "varchar" || name == "char" || name == "text" || name == "nvarchar" ||
        name == "nchar") {
      type.base = SqlType::Base::kText;
    } else if (name == "varbinary" || name == "binary" || name == "image") {
      type.base = SqlType::Base::kBinary;
    } else {
      throw ParseFailure{"unknown data type '" + token.text +
                         "' (use varchar(n), varbinary(n) or int)"};
    }
    ++pos_;
    type.length = 255;
    if (IsPunct(Peek(), '(')) {
      ++pos_;
      if (Peek().kind != TokenKind::kInteger) {
        throw ParseFailure{"expected a length, found " + Describe(Peek())};
      }
      const int32_t length = Integer(Take());
      if (length < 1 || length > 8000) {
        throw ParseFailure{"length out of range (1 to 8000): " + std::to_string(length)};
      }
      type.length = length;
      Expect(')', "after the length");
    }
    return type;
  }

  Statement Declare() {
    DeclareStatement declare;
    do {
      if (!declare.declarations.empty()) ++pos_;  // the ','
      Declaration declaration;
      declaration.variable = Variable("a variable name");
      if (IsKeyword(Peek(), "as")) ++pos_;
      declaration.type = Type();
      if (IsPunct(Peek(), '=')) {
        ++pos_;
        declaration.initial = Value("an initial value", false);
      }
      declare.declarations.push_back(std::move(declaration));
    } while (IsPunct(Peek(), ','));
    return Alone(std::move(declare));
  }

  Statement Set() {
    SetStatement set;
    set.variable = Variable("a variable name");
    Expect('=', "after " + set.variable);
    set.value = Value("a value", false);
    return Alone(std::move(set));
  }

  Statement Select() {
    SelectStatement select;
    do {
      if (!select.variables.empty()) ++pos_;
      select.variables.push_back(Variable("a variable"));
    } while (IsPunct(Peek(), ','));
    return Alone(std::move(select));
  }

  Statement Print() {
    PrintStatement print;
    print.value = Value("a value", false);
    return Alone(std::move(print));
  }

  const std::vector<Token>& tokens_;
  size_t pos_ = 0;
  Token end_;
};

}  // namespace

std::vector<ParsedStatement> ParseScript(std::string_view text, int first_line) {
  std::vector<ParsedStatement> parsed;
  for (const auto& tokens : SplitStatements(Tokenizer(text, first_line).All())) {
    std::optional<Statement> statement = StatementParser(tokens).Parse();
    if (statement) parsed.push_back({tokens.front().line, std::move(*statement)});
  }
  return parsed;
}

bool NeedsMoreInput(std::string_view text) {
  const std::vector<Token> tokens = Tokenizer(text, 1).All();
  for (const Token& token : tokens) {
    if (token.kind == TokenKind::kError && token.open != 0) return true;
  }
  // The open statement at the end, if any.
  std::vector<Token> last;
  for (const Token& token : tokens) {
    if (token.kind == TokenKind::kSemicolon) {
      last.clear();
    } else if (token.kind == TokenKind::kNewline) {
      if (!ContinuesOverLineEnd(last)) last.clear();
    } else if (token.kind != TokenKind::kEnd) {
      last.push_back(token);
    }
  }
  return ContinuesOverLineEnd(last);
}

int OpenQuoteLine(std::string_view text) {
  for (const Token& token : Tokenizer(text, 1).All()) {
    if (token.kind == TokenKind::kError && token.open != 0) return token.line;
  }
  return 0;
}

void LineScanner::Add(std::string_view line) {
  std::string text(line);
  text += '\n';
  const bool carried = open_ != 0;
  const std::vector<Token> tokens = Tokenizer(text, ++lines_, open_).All();
  open_ = 0;
  for (const Token& token : tokens) {
    if (token.kind == TokenKind::kEnd) break;
    if (token.kind == TokenKind::kError && token.open != 0) {
      // The last token; the one carried in when it covers the whole line.
      open_ = token.open;
      if (!carried || token.written.size() != text.size()) open_line_ = token.line;
      break;
    }
    if (token.kind == TokenKind::kSemicolon) {
      tail_ = Tail::kNone;
    } else if (token.kind == TokenKind::kNewline) {
      if (tail_ == Tail::kEnds) tail_ = Tail::kNone;
    } else if (IsPunct(token, ',') || IsPunct(token, '=') || IsPunct(token, '(')) {
      tail_ = Tail::kContinued;
    } else if (tail_ == Tail::kNone && IsOpeningKeyword(token)) {
      tail_ = Tail::kOpeningKeyword;
    } else {
      tail_ = Tail::kEnds;
    }
  }
}

bool LineScanner::NeedsMore() const {
  return open_ != 0 || tail_ == Tail::kOpeningKeyword || tail_ == Tail::kContinued;
}

// Once a string closes, the statement goes on the same way whatever came
// before the string; once a comment closes, it goes on as before the
// comment.
int LineScanner::state() const {
  if (open_ == 0) return -1;
  if (open_ == '\'') return 4;
  if (open_ == '"') return 5;
  return static_cast<int>(tail_);
}

std::string TypeName(const SqlType& type) {
  switch (type.base) {
    case SqlType::Base::kInt:
      return "int";
    case SqlType::Base::kBinary:
      return "varbinary(" + std::to_string(type.length) + ")";
    case SqlType::Base::kText:
      break;
  }
  return "varchar(" + std::to_string(type.length) + ")";
}

}  // namespace velhost
