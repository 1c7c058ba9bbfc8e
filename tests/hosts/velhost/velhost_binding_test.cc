// From a call as written to the host's RPC parameters and back: variables,
// datatypes, output values, the reply as the user sees it, and the
// encoding of the mail profile's password.
#include <gtest/gtest.h>

#include <cstring>

#include "call_syntax.h"
#include "output_format.h"
#include "profile_password.h"
#include "variables.h"

namespace velhost {
namespace {

ExecStatement Exec(const std::string& text) {
  std::vector<ParsedStatement> parsed = ParseScript(text);
  EXPECT_EQ(parsed.size(), 1u);
  return std::get<ExecStatement>(parsed.at(0).statement);
}

void DeclareAll(Variables& variables, const std::string& text) {
  for (const ParsedStatement& parsed : ParseScript(text)) {
    for (const Declaration& declaration :
         std::get<DeclareStatement>(parsed.statement).declarations) {
      ASSERT_TRUE(variables.Declare(declaration).ok()) << declaration.variable;
    }
  }
}

std::string IntBytes(int32_t value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

TEST(VelhostBinding, LiteralsBecomeParametersOfTheirDatatype) {
  Variables variables;
  BuiltCall built = BuildParams(
      Exec("exec p @a = 'text', @b = 80, @c = 0x0102, @d = NULL, @e = DEFAULT"), variables);
  ASSERT_TRUE(built.error.empty()) << built.error;
  ASSERT_EQ(built.params.size(), 5u);
  EXPECT_EQ(built.params[0].name, "@a");
  EXPECT_EQ(built.params[0].datatype, VEL_CHAR_TYPE);
  EXPECT_EQ(built.params[0].value, "text");
  EXPECT_EQ(built.params[1].datatype, VEL_INT_TYPE);
  EXPECT_EQ(built.params[1].value, IntBytes(80));
  EXPECT_EQ(built.params[2].datatype, VEL_BINARY_TYPE);
  EXPECT_EQ(built.params[2].value, "\x01\x02");
  EXPECT_TRUE(built.params[3].null);
  EXPECT_EQ(built.params[4].datatype, VEL_VOID_TYPE);
  for (const auto& param : built.params) EXPECT_FALSE(param.output);
}

TEST(VelhostBinding, VariablesPassTheirTypeLengthAndNullness) {
  Variables variables;
  DeclareAll(variables, "declare @id varbinary(256), @text varchar(40) = 'hi', @n int = 5");
  BuiltCall built = BuildParams(Exec("exec p @id output, @text, @n output"), variables);
  ASSERT_TRUE(built.error.empty()) << built.error;
  ASSERT_EQ(built.params.size(), 3u);
  EXPECT_TRUE(built.params[0].name.empty());
  EXPECT_TRUE(built.params[0].output);
  EXPECT_TRUE(built.params[0].null);  // declared, never set
  EXPECT_EQ(built.params[0].datatype, VEL_BINARY_TYPE);
  EXPECT_EQ(built.params[0].maxlength, 256);
  EXPECT_FALSE(built.params[1].output);
  EXPECT_EQ(built.params[1].value, "hi");
  EXPECT_EQ(built.params[1].maxlength, 40);
  EXPECT_EQ(built.params[2].datatype, VEL_INT_TYPE);
  EXPECT_EQ(built.params[2].value, IntBytes(5));
}

TEST(VelhostBinding, UndeclaredVariablesAreRefused) {
  Variables variables;
  EXPECT_EQ(BuildParams(Exec("exec p @msg_id = @id output"), variables).error,
            "variable @id is not declared");
  EXPECT_EQ(BuildParams(Exec("exec @rc = p"), variables).error, "variable @rc is not declared");
  DeclareAll(variables, "declare @rc varchar(5)");
  EXPECT_EQ(BuildParams(Exec("exec @rc = p"), variables).error,
            "the return status needs an int variable, not @rc");
  EXPECT_FALSE(variables.Declare({"@RC", {SqlType::Base::kInt, 4}, std::nullopt}).ok())
      << "names are matched without regard to case";
}

TEST(VelhostBinding, AssignmentsConvertOrRefuse) {
  Variables variables;
  DeclareAll(variables, "declare @t varchar(3), @n int, @b varbinary(2)");
  EXPECT_TRUE(variables.Assign("@t", {Literal::Kind::kText, "abcdef", 0}).ok());
  EXPECT_EQ(variables.Find("@t")->value, "abc");  // cut to the declared length
  EXPECT_TRUE(variables.Assign("@t", {Literal::Kind::kInteger, "", 42}).ok());
  EXPECT_EQ(variables.Find("@t")->value, "42");
  EXPECT_FALSE(variables.Assign("@n", {Literal::Kind::kText, "7", 0}).ok());
  EXPECT_FALSE(variables.Assign("@b", {Literal::Kind::kInteger, "", 1}).ok());
  EXPECT_TRUE(variables.Assign("@n", {Literal::Kind::kInteger, "", -3}).ok());
  EXPECT_TRUE(variables.Assign("@t", {Literal::Kind::kVariable, "@n", 0}).ok());
  EXPECT_EQ(variables.Find("@t")->value, "-3");
  EXPECT_TRUE(variables.Assign("@n", {Literal::Kind::kNull, "", 0}).ok());
  EXPECT_TRUE(variables.Find("@n")->null);
  EXPECT_EQ(variables.Assign("@zz", {Literal::Kind::kNull, "", 0}).error,
            "variable @zz is not declared");
}

TEST(VelhostBinding, OutputsGoBackToTheVariablesTheyWerePassedIn) {
  Variables variables;
  DeclareAll(variables, "declare @id varbinary(4), @body varchar(255), @n int, @rc int");
  ExecStatement exec =
      Exec("exec @rc = p @msg_id = @id output, @message = @body output, @x = @n, 'lit'");
  velsrv::CallResult result;
  velsrv::OutputValue id{1, "@msg_id", VEL_BINARY_TYPE, "\x01\x02\x03\x04\x05", 0};
  velsrv::OutputValue body{2, "@message", VEL_CHAR_TYPE, "", -1};
  velsrv::OutputValue not_output{3, "@x", VEL_INT_TYPE, IntBytes(9), 0};
  result.output_batches.push_back({id, body, not_output});
  StoreOutputs(exec, result, 1, variables);

  EXPECT_EQ(variables.Find("@id")->value, "\x01\x02\x03\x04");  // cut to varbinary(4)
  EXPECT_FALSE(variables.Find("@id")->null);
  EXPECT_TRUE(variables.Find("@body")->null);
  EXPECT_TRUE(variables.Find("@n")->null) << "not passed as output: left alone";
  EXPECT_EQ(ShowValue(*variables.Find("@rc")), "1");
  EXPECT_EQ(ShowValue(*variables.Find("@id")), "0x01020304");
}

TEST(VelhostOutput, RepliesInTheOrderTheyWereSent) {
  velsrv::CallResult result;
  result.returned = 1;
  result.messages.push_back({11526, 16, 1, "No message was found.\n", "", "", 0, false});
  result.output_batches.push_back({{1, "", VEL_BINARY_TYPE, "\xab\x01", 0},
                                   {2, "@msg_length", VEL_INT_TYPE, IntBytes(600), 0},
                                   {3, "@cc", VEL_CHAR_TYPE, "", -1}});
  result.dones.push_back({2, 0, 0});
  result.statuses.push_back(0);
  result.sequence = {{velsrv::ReplyKind::kMessage, 0},
                     {velsrv::ReplyKind::kOutputs, 0},
                     {velsrv::ReplyKind::kDone, 0},
                     {velsrv::ReplyKind::kStatus, 0}};
  EXPECT_EQ(FormatCallResult(result, {"@id", "", ""}),
            "Msg 11526, Level 16, State 1\n"
            "No message was found.\n"
            "@id = 0xAB01\n"
            "@msg_length = 600\n"
            "@cc = NULL\n"
            "(return status = 0)\n");
}

TEST(VelhostOutput, WithoutAStatusTheProcedureResultDecides) {
  velsrv::CallResult failed;
  failed.returned = 0;
  EXPECT_EQ(FormatCallResult(failed, {}), "(return status = 1)\n");
  velsrv::CallResult succeeded;
  succeeded.returned = 1;
  EXPECT_EQ(ReturnStatus(succeeded), 0);
}

TEST(VelhostProfilePassword, EncodesWhatTheLibraryDecodes) {
  // The library decodes "abc" to the bytes 0x62 0x03 0x01.
  EXPECT_EQ(EncodeProfilePassword("\x62\x03\x01"), "abc");
  EXPECT_EQ(EncodeProfilePassword(""), "");
  // Decoding as the library does gives the password back.
  const std::string password = "ops-demo";
  std::optional<std::string> encoded = EncodeProfilePassword(password);
  ASSERT_TRUE(encoded);
  ASSERT_EQ(encoded->size(), password.size());
  std::string decoded(encoded->size(), '\0');
  decoded[0] =
      static_cast<char>((encoded->size() % 256) ^ static_cast<unsigned char>((*encoded)[0]));
  for (size_t i = 1; i < encoded->size(); ++i) decoded[i] = (*encoded)[i - 1] ^ (*encoded)[i];
  EXPECT_EQ(decoded, password);
  EXPECT_EQ(std::strlen(encoded->c_str()), encoded->size()) << "no NUL inside";
  // Length 1 and the byte 1 encode to 0, which would end the text.
  EXPECT_FALSE(EncodeProfilePassword("\x01"));
}

}  // namespace
}  // namespace velhost
