// The side of the test provider's control library that the provider
// modules call: every entry point records its call and is served here.
// Not for tests; they use testcmc_control.h.
#ifndef TESTCMC_INTERNAL_H
#define TESTCMC_INTERNAL_H

#include <functional>

#include "testcmc/testcmc_control.h"

namespace testcmc::internal {

// Serves one call of an entry point: records it (call.entry names the
// entry point), applies random delays and the programmed behaviour, and
// runs normal() where that behaviour says the call behaves normally. The
// result is recorded and returned. Holds no lock while it sleeps, hangs,
// faults or throws, or while normal() runs.
TESTCMC_API CMC_return_code Serve(Call call, const std::function<CMC_return_code()>& normal);

// Copies of what the caller handed in, for the call record.
TESTCMC_API void RecordExtensions(Call& call, const CMC_extension* extensions);
TESTCMC_API void RecordMessage(Call& call, const CMC_message* message);
TESTCMC_API std::string ReferenceBytes(const CMC_message_reference* reference);

// The normal behaviour of each entry point, on the shared mail store.
TESTCMC_API CMC_return_code Logon(CMC_session_id* session);
TESTCMC_API CMC_return_code Logoff(CMC_session_id session);
TESTCMC_API CMC_return_code Free(void* memory);
TESTCMC_API CMC_return_code Send(CMC_session_id session, const CMC_message* message);
TESTCMC_API CMC_return_code LookUp(CMC_session_id session, CMC_uint32* count,
                                   CMC_recipient** recipients_out);
TESTCMC_API CMC_return_code List(CMC_session_id session, const char* message_type,
                                 CMC_flags list_flags, CMC_uint32* count,
                                 CMC_message_summary** result);
TESTCMC_API CMC_return_code Read(CMC_session_id session, const CMC_message_reference* reference,
                                 CMC_flags read_flags, CMC_message** message);
TESTCMC_API CMC_return_code ActOn(CMC_session_id session, const CMC_message_reference* reference,
                                  CMC_enum operation);

}  // namespace testcmc::internal

#endif
