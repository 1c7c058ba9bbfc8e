// The call syntax velhost reads: values, names, outputs, statement ends,
// and the one-line errors for bad input.
#include <gtest/gtest.h>

#include "call_syntax.h"

namespace velhost {
namespace {

using Kind = Literal::Kind;

ExecStatement ParseExec(const std::string& text) {
  std::vector<ParsedStatement> parsed = ParseScript(text);
  EXPECT_EQ(parsed.size(), 1u) << text;
  if (parsed.empty()) return {};
  const auto* exec = std::get_if<ExecStatement>(&parsed[0].statement);
  if (exec == nullptr) {
    const auto* error = std::get_if<SyntaxError>(&parsed[0].statement);
    ADD_FAILURE() << text << " -> " << (error ? error->message : "not a call");
    return {};
  }
  return *exec;
}

std::string ParseError(const std::string& text) {
  std::vector<ParsedStatement> parsed = ParseScript(text);
  for (const ParsedStatement& statement : parsed) {
    if (const auto* error = std::get_if<SyntaxError>(&statement.statement)) return error->message;
  }
  ADD_FAILURE() << "no error for: " << text;
  return {};
}

TEST(VelhostSyntax, NamedParametersWithEveryKindOfValue) {
  ExecStatement exec = ParseExec(
      "EXEC xp_sendmail @recipient = 'ops', @width = -120, @msg_id = 0x0aFF, "
      "@cc_recipient = NULL, @subject = default, @query = @q");
  EXPECT_EQ(exec.procedure, "xp_sendmail");
  ASSERT_EQ(exec.arguments.size(), 6u);
  EXPECT_EQ(exec.arguments[0], (Argument{"@recipient", {Kind::kText, "ops", 0}, false}));
  EXPECT_EQ(exec.arguments[1], (Argument{"@width", {Kind::kInteger, "", -120}, false}));
  EXPECT_EQ(exec.arguments[2], (Argument{"@msg_id", {Kind::kBinary, "\x0a\xff", 0}, false}));
  EXPECT_EQ(exec.arguments[3].value.kind, Kind::kNull);
  EXPECT_EQ(exec.arguments[4].value.kind, Kind::kDefault);
  EXPECT_EQ(exec.arguments[5], (Argument{"@query", {Kind::kVariable, "@q", 0}, false}));
}

TEST(VelhostSyntax, QuotedStrings) {
  ExecStatement exec = ParseExec(
      "exec p 'it''s', '', \"say \"\"hi\"\"\", N'wide', 'two\nlines', '-- not a comment'");
  ASSERT_EQ(exec.arguments.size(), 6u);
  EXPECT_EQ(exec.arguments[0].value.text, "it's");
  EXPECT_EQ(exec.arguments[1].value, (Literal{Kind::kText, "", 0}));
  EXPECT_EQ(exec.arguments[2].value.text, "say \"hi\"");
  EXPECT_EQ(exec.arguments[3].value.text, "wide");
  EXPECT_EQ(exec.arguments[4].value.text, "two\nlines");
  EXPECT_EQ(exec.arguments[5].value.text, "-- not a comment");
}

TEST(VelhostSyntax, PositionalAndOutputParameters) {
  ExecStatement exec = ParseExec("xp_readmail @id, @body OUTPUT, 'true', @n out");
  EXPECT_EQ(exec.procedure, "xp_readmail");
  ASSERT_EQ(exec.arguments.size(), 4u);
  EXPECT_EQ(exec.arguments[0], (Argument{"", {Kind::kVariable, "@id", 0}, false}));
  EXPECT_EQ(exec.arguments[1], (Argument{"", {Kind::kVariable, "@body", 0}, true}));
  EXPECT_EQ(exec.arguments[2], (Argument{"", {Kind::kText, "true", 0}, false}));
  EXPECT_TRUE(exec.arguments[3].output);

  ExecStatement named = ParseExec("exec xp_findnextmsg @msg_id = @id output");
  EXPECT_EQ(named.arguments.at(0), (Argument{"@msg_id", {Kind::kVariable, "@id", 0}, true}));
}

TEST(VelhostSyntax, ReturnStatusQualifiedNamesAndBinaryPadding) {
  ExecStatement exec = ParseExec("execute @rc = master..xp_deletemail 0x123, 0x");
  EXPECT_EQ(exec.status_variable, "@rc");
  EXPECT_EQ(exec.procedure, "xp_deletemail");
  ASSERT_EQ(exec.arguments.size(), 2u);
  EXPECT_EQ(exec.arguments[0].value.text, std::string("\x01\x23", 2));  // odd digits: leading 0
  EXPECT_EQ(exec.arguments[1].value, (Literal{Kind::kBinary, "", 0}));
  EXPECT_TRUE(ParseExec("exec xp_stopmail").arguments.empty());
}

TEST(VelhostSyntax, StatementsEndAtLineEndsUnlessTheyGoOn) {
  std::vector<ParsedStatement> parsed = ParseScript(
      "-- comment line\n"
      "exec xp_sendmail @recipient = 'ops',\n"  // trailing comma: goes on
      "   @subject =\n"                         // trailing '=': goes on
      "   'x'\n"
      "   , @message = 'y'\n"  // leading comma: goes on
      "go\n"
      "declare @a int; /* a\ncomment */ exec xp_stopmail\n"
      "\n"
      "exec\n"  // bare exec: goes on
      "xp_startmail\n");
  ASSERT_EQ(parsed.size(), 4u);
  EXPECT_EQ(parsed[0].line, 2);
  EXPECT_EQ(std::get<ExecStatement>(parsed[0].statement).arguments.size(), 3u);
  EXPECT_EQ(parsed[1].line, 7);
  EXPECT_TRUE(std::holds_alternative<DeclareStatement>(parsed[1].statement));
  EXPECT_EQ(std::get<ExecStatement>(parsed[2].statement).procedure, "xp_stopmail");
  EXPECT_EQ(parsed[3].line, 10);
  EXPECT_EQ(std::get<ExecStatement>(parsed[3].statement).procedure, "xp_startmail");
}

TEST(VelhostSyntax, DeclarationsSetSelectAndPrint) {
  std::vector<ParsedStatement> parsed = ParseScript(
      "declare @id varbinary(256), @body AS varchar(40), @n int = 7, @t char\n"
      "set @body = 'x'\n"
      "select @id, @n\n"
      "print 'hello'\n"
      "HELP\n"
      "quit\n");
  ASSERT_EQ(parsed.size(), 6u);
  const auto& declare = std::get<DeclareStatement>(parsed[0].statement);
  ASSERT_EQ(declare.declarations.size(), 4u);
  EXPECT_EQ(declare.declarations[0].type, (SqlType{SqlType::Base::kBinary, 256}));
  EXPECT_EQ(declare.declarations[1].type, (SqlType{SqlType::Base::kText, 40}));
  EXPECT_EQ(declare.declarations[2].type, (SqlType{SqlType::Base::kInt, 4}));
  EXPECT_EQ(declare.declarations[2].initial, (Literal{Kind::kInteger, "", 7}));
  EXPECT_EQ(declare.declarations[3].type.length, 255);  // no length given
  EXPECT_EQ(std::get<SetStatement>(parsed[1].statement).variable, "@body");
  EXPECT_EQ(std::get<SelectStatement>(parsed[2].statement).variables,
            (std::vector<std::string>{"@id", "@n"}));
  EXPECT_EQ(std::get<PrintStatement>(parsed[3].statement).value.text, "hello");
  EXPECT_TRUE(std::holds_alternative<HelpStatement>(parsed[4].statement));
  EXPECT_TRUE(std::holds_alternative<QuitStatement>(parsed[5].statement));
}

TEST(VelhostSyntax, BadInputGivesOneLineErrors) {
  EXPECT_EQ(ParseError("exec xp_sendmail @recipient = 'ops"), "unterminated string");
  EXPECT_EQ(ParseError("exec p /* open"), "unterminated comment");
  EXPECT_EQ(ParseError("exec p @a = 'x' output"), "only a variable can be passed as output (@a)");
  EXPECT_EQ(ParseError("exec p DEFAULT output"), "only a variable can be passed as output");
  EXPECT_EQ(ParseError("exec p 2147483648"), "integer out of range: 2147483648");
  EXPECT_EQ(ParseError("exec p 0x12G4"), "bad binary literal '0x12G4'");
  EXPECT_EQ(ParseError("exec p 'a' 'b'"), "expected ',' between parameters, found ''b''");
  EXPECT_EQ(ParseError("exec p @a = ,"), "expected a value for @a, found ','");
  EXPECT_EQ(ParseError("exec 'p'"), "expected a procedure name, found ''p''");
  EXPECT_EQ(ParseError("declare @x float"),
            "unknown data type 'float' (use varchar(n), varbinary(n) or int)");
  EXPECT_EQ(ParseError("declare @x varchar(0)"), "length out of range (1 to 8000): 0");
  EXPECT_EQ(ParseError("set @x = DEFAULT"), "expected a value, found 'DEFAULT'");
  EXPECT_EQ(ParseError("@x = 1"),
            "expected a statement (exec, declare, set, select, print), found '@x'");
  EXPECT_EQ(ParseError("exec p ?"), "unexpected character '?'");
}

TEST(VelhostSyntax, AnErrorSpoilsOnlyItsOwnStatement) {
  std::vector<ParsedStatement> parsed =
      ParseScript("exec p 'a' 'b'\nexec q 1; exec r ?\nexec s\n", 5);
  ASSERT_EQ(parsed.size(), 4u);
  EXPECT_TRUE(std::holds_alternative<SyntaxError>(parsed[0].statement));
  EXPECT_EQ(parsed[0].line, 5);
  EXPECT_EQ(std::get<ExecStatement>(parsed[1].statement).procedure, "q");
  EXPECT_TRUE(std::holds_alternative<SyntaxError>(parsed[2].statement));
  EXPECT_EQ(std::get<ExecStatement>(parsed[3].statement).procedure, "s");
  EXPECT_EQ(parsed[3].line, 7);
}

TEST(VelhostSyntax, WhenMoreInputIsNeeded) {
  EXPECT_FALSE(NeedsMoreInput("exec xp_stopmail\n"));
  EXPECT_FALSE(NeedsMoreInput(""));
  EXPECT_TRUE(NeedsMoreInput("exec xp_sendmail @recipient = 'ops',\n"));
  EXPECT_TRUE(NeedsMoreInput("exec xp_sendmail @message = 'first line\n"));
  EXPECT_FALSE(NeedsMoreInput("exec xp_sendmail @message = 'first line\nsecond'\n"));
  EXPECT_TRUE(NeedsMoreInput("exec\n"));
  EXPECT_TRUE(NeedsMoreInput("exec p /* comment\n"));
  EXPECT_FALSE(NeedsMoreInput("exec p 'a' -- a comma, in a comment,\n"));
  EXPECT_TRUE(NeedsMoreInput("exec p 'a', -- the comma before the comment\n"));
  EXPECT_EQ(OpenQuoteLine("exec p 1\nexec q 'x\ny\n"), 2);
  EXPECT_EQ(OpenQuoteLine("exec p 'x'\n"), 0);
}

}  // namespace
}  // namespace velhost
