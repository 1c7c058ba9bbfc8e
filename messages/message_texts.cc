#include "message_texts.h"

#include <algorithm>
#include <iterator>

namespace velmsgs {
namespace {

constexpr int32_t kFirst = 11517;
constexpr int32_t kLast = 11551;

// Each text names what went wrong and what to do about it. "{text}" and
// "{number}" stand for the message's arguments.
struct Entry {
  int32_t number;
  const char* text;
};

constexpr Entry kTexts[] = {
    {11517,
     "{text}: a mail session is already open, so no new one was started (code {number}); "
     "use the open session, or run xp_stopmail first to start over with another mail user."},
    {11518,
     "A mail request failed ({text}); check that the mail system is running and that the "
     "mail profile is valid, then try again."},
    {11519, "{text}: no mail session is open (code {number}); run xp_startmail first."},
    {11520,
     "{text}: the number of parameters of this call could not be read from the server "
     "(code {number}); see the server log and run the call again."},
    {11521,
     "{text}: {number} parameters were given, a number this procedure does not accept; "
     "check the call against the procedure's parameter list."},
    {11522,
     "{text}: a parameter of this call could not be described by the server "
     "(code {number}); see the server log and run the call again."},
    {11523,
     "{text}: the parameter values of this call could not be transferred from the server "
     "(code {number}); see the server log and run the call again."},
    {11524, "{text}: no @recipient was given (code {number}); name at least one recipient."},
    {11525,
     "{text}: out of memory, {number} bytes could not be allocated; free memory on the "
     "server or make the request smaller, then try again."},
    {11526,
     "No message was found (code {number}): the inbox holds no message, or none that "
     "matches the request."},
    {11527,
     "Parameter {text} could not be bound to its buffer (code {number}); see the server "
     "log and run the call again."},
    {11528,
     "Mail library error 11528 ({text}, code {number}); see the messages before this one "
     "and the server log."},
    {11529,
     "The mail provider could not be loaded (code {number}); the server log names the "
     "file that was tried. Check the CMCDLLNAME32 key in the [Mail] section of the profile "
     "and that the provider's library is installed."},
    {11530,
     "The mail provider lacks the entry point {text} (code {number}); install a CMC 1.0 "
     "provider that exports it."},
    {11531,
     "The library call {text} failed (code {number}); see the messages before this one "
     "and the server log."},
    {11532,
     "The results file could not be created (system error {number}); check that the "
     "server's current directory exists and is writable."},
    {11533,
     "The results file could not be written in full (system error {number}); free disk "
     "space in the server's current directory and try again."},
    {11534,
     "Unknown parameter '{text}' (code {number}); check the name, letter case included, "
     "against the procedure's parameter list."},
    {11535,
     "Parameter {text} has the wrong datatype (code {number}); pass it with the datatype "
     "the procedure declares for it."},
    {11536, "{text} cannot both be given (code {number}); pass only one of them."},
    {11537,
     "Parameter {text} has a value that is not allowed (code {number}); a switch takes "
     "true or false, other parameters the values the procedure documents."},
    {11538,
     "A result set of the query has no columns (code {number}); change the query so that "
     "every result set returns at least one column."},
    {11539,
     "{text}: the client thread of this request could not be found (code {number}); the "
     "request could not be answered, run it again."},
    {11540,
     "Mail library error 11540 ({text}, code {number}); see the messages before this one "
     "and the server log."},
    {11541,
     "Mail library error 11541 ({text}, code {number}); see the messages before this one "
     "and the server log."},
    {11542,
     "No mail user was given for the mail profile (code {number}); configure the profile "
     "with a mail user name."},
    {11543,
     "{text}: unknown procedure kind {number}; this is an internal error of the mail "
     "library, please report it."},
    {11544, "The mail procedure failed (code {number}); the message before this one tells why."},
    {11545,
     "The query produced a result of type {number}, which cannot be mailed; remove the "
     "statement that produces it from the query."},
    {11546,
     "Parameter {text} must be passed as an output parameter (code {number}); mark it as "
     "output in the call."},
    {11547,
     "Parameter {text} is required but was not given (code {number}); pass it in the "
     "call."},
    {11548,
     "Mail library error 11548 ({text}, code {number}); see the messages before this one "
     "and the server log."},
    {11549,
     "Include file {text} does not exist or cannot be read (system error {number}); check "
     "the file name and its permissions."},
    {11550,
     "xp_startmail was called without parameters and no mail profile is stored "
     "(code {number}); pass @mail_user and @mail_password, or configure a mail profile."},
    {11551,
     "The message's {number} attachments were saved in the folder {text}; their paths do "
     "not all fit in @attachments, which lists only the first of them."},
};
static_assert(std::size(kTexts) == kLast - kFirst + 1, "one text for every number");

constexpr int32_t kNumberOnly[] = {11526, 11529, 11532, 11533, 11538, 11542, 11544, 11545, 11550};

void ReplaceAll(std::string& text, const std::string& placeholder, const std::string& value) {
  for (size_t at = text.find(placeholder); at != std::string::npos;
       at = text.find(placeholder, at + value.size())) {
    text.replace(at, placeholder.size(), value);
  }
}

}  // namespace

ArgShape ShapeOf(int32_t msgnum) {
  if (msgnum < kFirst || msgnum > kLast) return ArgShape::kUnknown;
  if (msgnum == 11518) return ArgShape::kText;
  if (std::find(std::begin(kNumberOnly), std::end(kNumberOnly), msgnum) != std::end(kNumberOnly)) {
    return ArgShape::kNumber;
  }
  return ArgShape::kTextAndNumber;
}

std::string MessageText(int32_t msgnum, const std::vector<velsrv::RouteArg>& args) {
  if (msgnum < kFirst || msgnum > kLast) {
    return "Mail library message " + std::to_string(msgnum) +
           ", for which no text is known; see the server log for what happened before it.";
  }
  std::string text = kTexts[msgnum - kFirst].text;
  for (const velsrv::RouteArg& arg : args) {
    if (arg.is_text) {
      ReplaceAll(text, "{text}", arg.text);
    } else if (arg.number == 0) {
      // A code of 0 tells the reader nothing.
      ReplaceAll(text, " (code {number})", "");
      ReplaceAll(text, "{number}", "0");
    } else {
      ReplaceAll(text, "{number}", std::to_string(arg.number));
    }
  }
  return text;
}

}  // namespace velmsgs
