// Message numbers and routing values as the tests expect them. They are
// written down here, apart from the library's own table, so that a number
// the library gets wrong fails a test instead of agreeing with itself.
#ifndef VELMAIL_TESTS_MESSAGE_NUMBERS_H
#define VELMAIL_TESTS_MESSAGE_NUMBERS_H

#include <cstdint>

#include "velmsgs.h"

namespace veltest {

inline constexpr int32_t kMsgAlreadyLoggedOn = 11517;
inline constexpr int32_t kMsgMailRequestFailed = 11518;
inline constexpr int32_t kMsgNoSession = 11519;
inline constexpr int32_t kMsgNumparamsFailed = 11520;
inline constexpr int32_t kMsgParamCount = 11521;
inline constexpr int32_t kMsgDescfmtFailed = 11522;
inline constexpr int32_t kMsgXferdataFailed = 11523;
inline constexpr int32_t kMsgNoRecipient = 11524;
inline constexpr int32_t kMsgNoMemory = 11525;
inline constexpr int32_t kMsgNoMessage = 11526;
inline constexpr int32_t kMsgBindFailed = 11527;
inline constexpr int32_t kMsgCannotLoadProvider = 11529;
inline constexpr int32_t kMsgMissingEntryPoint = 11530;
inline constexpr int32_t kMsgLibraryCallFailed = 11531;
inline constexpr int32_t kMsgCannotCreateFile = 11532;
inline constexpr int32_t kMsgCannotWriteFile = 11533;
inline constexpr int32_t kMsgUnknownParameter = 11534;
inline constexpr int32_t kMsgWrongDatatype = 11535;
inline constexpr int32_t kMsgQueryAndMessage = 11536;
inline constexpr int32_t kMsgBadValue = 11537;
inline constexpr int32_t kMsgNoColumns = 11538;
inline constexpr int32_t kMsgNoCurrentThread = 11539;
inline constexpr int32_t kMsgNoMailUser = 11542;
inline constexpr int32_t kMsgUnknownKind = 11543;
inline constexpr int32_t kMsgFailed = 11544;
inline constexpr int32_t kMsgUnexpectedResult = 11545;
inline constexpr int32_t kMsgNotOutput = 11546;
inline constexpr int32_t kMsgNoMsgId = 11547;
inline constexpr int32_t kMsgIncludeFile = 11549;
inline constexpr int32_t kMsgNoProfile = 11550;

// Where a routed message goes: the log only, or the log and the client.
inline constexpr int32_t kToLog = VEL_ROUTE_LOG;
inline constexpr int32_t kToLogAndClient = VEL_ROUTE_LOG | VEL_ROUTE_CLIENT;

}  // namespace veltest

#endif
