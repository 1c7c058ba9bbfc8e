// Control of the programmable test CMC providers. The providers
// (libveltestcmc.so and its variants, each lacking one export) record
// their calls here; tests program how each entry point answers.
#ifndef TESTCMC_CONTROL_H
#define TESTCMC_CONTROL_H

#include <cstdint>
#include <string>
#include <vector>

#include "cmc.h"

#if defined(_WIN32)
#define TESTCMC_API __declspec(dllexport)
#else
#define TESTCMC_API __attribute__((visibility("default")))
#endif

namespace testcmc {

// What one entry point does when called.
enum class Action {
  kNormal,  // behave as a working provider (see below)
  kReturn,  // return the given code without doing anything else
  kHang,    // block until released (Release), inside a noexcept function
            // (unwinding the thread there would end the process)
  kSleep,   // sleep the given milliseconds, then behave normally
  kFault,   // make a real invalid memory access
  kThrow,   // throw a C++ exception (on Windows: the system's C++ exception,
            // see testcmc_serve.cc)
  kDivide   // divide an integer by zero (a hardware arithmetic fault)
};

struct Behaviour {
  Action action = Action::kNormal;
  uint32_t code = 0;      // for kReturn
  uint32_t sleep_ms = 0;  // for kSleep
  int64_t times = -1;     // how many calls it applies to (-1: until reset);
                          // afterwards the entry point is normal again
};

// Entry points by their export names: "cmc_logon", "cmc_logoff", "cmc_free",
// "cmc_send", "cmc_look_up", "cmc_list", "cmc_read", "cmc_act_on".
TESTCMC_API void Program(const std::string& entry, Behaviour behaviour);
// Random delays of 0 to max_ms on every call (for stress tests); 0 turns
// them off.
TESTCMC_API void RandomDelays(uint32_t max_ms);
// Lets every hung call go on (they then behave normally).
TESTCMC_API void Release();
// Back to normal behaviour, empty mailbox, no record of calls.
TESTCMC_API void Reset();

// One recorded call.
struct Call {
  std::string entry;
  uint64_t thread = 0;         // an id of the calling thread
  uint32_t session = 0;        // session id argument (where any)
  std::string user, password;  // cmc_logon (empty when null)
  bool user_null = false, password_null = false, service_null = false;
  uint32_t ui_id = 0;
  uint32_t version = 0;  // cmc_logon caller version
  uint32_t flags = 0;
  bool character_set_null = true;
  std::vector<CMC_extension> extensions;  // copied up to the last element
  bool extensions_null = true;
  std::string message_type;  // cmc_list
  bool message_type_null = true;
  bool seed_null = true;   // cmc_list
  uint32_t count_in = 0;   // cmc_list
  std::string reference;   // cmc_read, cmc_act_on
  uint32_t operation = 0;  // cmc_act_on
  void* memory = nullptr;  // cmc_free
  // cmc_send: copied from the message
  std::string subject, text_note, send_type;
  bool text_note_null = true;
  std::vector<std::pair<std::string, uint32_t>> recipients;  // name, role
  std::vector<uint32_t> recipient_flags;
  std::vector<std::pair<std::string, std::string>> attachments;  // title, file name
  uint32_t result = 0;                                           // what the entry point returned
  bool finished = false;  // false while the call is in progress
};
TESTCMC_API std::vector<Call> Calls();
TESTCMC_API int64_t CallCount(const std::string& entry);

// A message in the test mailbox, served by cmc_list / cmc_read in order.
struct Message {
  std::string reference;
  std::string type = "CMC: IPM";
  std::string subject;
  std::string text;
  std::string sender;
  std::vector<std::pair<std::string, uint32_t>> recipients;      // name, role
  std::vector<std::pair<std::string, std::string>> attachments;  // title, file name
  CMC_time time{};
  bool read = false;
  bool null_reference = false;  // summary / message with no reference
  bool null_subject = false, null_type = false, null_text = false;
};
TESTCMC_API void SetMailbox(std::vector<Message> messages);
TESTCMC_API std::vector<Message> Mailbox();

// The text note of the last message cmc_send accepted, as it read it when
// the call completed.
TESTCMC_API std::string LastSentNote();
// Sessions opened and not closed.
TESTCMC_API int64_t OpenSessions();
// Blocks handed out and not yet given back with cmc_free.
TESTCMC_API int64_t OutstandingBlocks();

}  // namespace testcmc

#endif
