// A module of the extension's tests only: programs, from SQL, the
// programmable test provider that the library has loaded in this backend
// (both share its control library), so that a test can make a provider
// call hang and see what reached the provider.
#include <exception>
#include <string>

#include "pg_headers.h"
#include "providers/testcmc/testcmc_control.h"

extern "C" {
PG_MODULE_MAGIC;
PG_FUNCTION_INFO_V1(velmail_test_program);
PG_FUNCTION_INFO_V1(velmail_test_release);
PG_FUNCTION_INFO_V1(velmail_test_last_sent);
PG_FUNCTION_INFO_V1(velmail_test_call_count);
}

// velmail_test_program(entry text, action text, times int): action is
// 'hang', 'fault' (an invalid memory access), 'divide' (an integer divided
// by zero) or 'normal'; it applies to the next times calls of entry.
extern "C" Datum velmail_test_program(PG_FUNCTION_ARGS) {
  char* entry = text_to_cstring(PG_GETARG_TEXT_PP(0));
  char* action = text_to_cstring(PG_GETARG_TEXT_PP(1));
  const int32 times = PG_GETARG_INT32(2);
  testcmc::Behaviour behaviour;
  behaviour.times = times;
  if (std::string(action) == "hang")
    behaviour.action = testcmc::Action::kHang;
  else if (std::string(action) == "fault")
    behaviour.action = testcmc::Action::kFault;
  else if (std::string(action) == "divide")
    behaviour.action = testcmc::Action::kDivide;
  else if (std::string(action) != "normal")
    ereport(ERROR, (errmsg("unknown action \"%s\"", action)));
  bool programmed = true;
  try {
    testcmc::Program(entry, behaviour);
  } catch (const std::exception&) {
    programmed = false;
  }
  if (!programmed) ereport(ERROR, (errmsg("no entry point \"%s\"", entry)));
  PG_RETURN_VOID();
}

// Lets every hung provider call go on.
extern "C" Datum velmail_test_release(PG_FUNCTION_ARGS) {
  testcmc::Release();
  PG_RETURN_VOID();
}

// The text of the last message the provider took.
extern "C" Datum velmail_test_last_sent(PG_FUNCTION_ARGS) {
  std::string note;
  try {
    note = testcmc::LastSentNote();
  } catch (const std::exception&) {
  }
  PG_RETURN_TEXT_P(cstring_to_text_with_len(note.data(), static_cast<int>(note.size())));
}

// How many calls of entry the provider has seen.
extern "C" Datum velmail_test_call_count(PG_FUNCTION_ARGS) {
  char* entry = text_to_cstring(PG_GETARG_TEXT_PP(0));
  int64 count = 0;
  try {
    count = testcmc::CallCount(entry);
  } catch (const std::exception&) {
  }
  PG_RETURN_INT64(count);
}
