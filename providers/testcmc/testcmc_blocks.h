// The memory the provider hands out: each list or message is one block
// from malloc that holds the records and every string they point to, so
// that cmc_free releases it whole.
#ifndef TESTCMC_BLOCKS_H
#define TESTCMC_BLOCKS_H

#include <vector>

#include "testcmc/testcmc_control.h"

namespace testcmc::detail {

// The summaries of the given messages, in order, the last one flagged.
// Null for no messages.
CMC_message_summary* BuildSummaryBlock(const std::vector<const Message*>& messages);

// The message as cmc_read hands it out: originator first among the
// recipients, last recipient and last attachment flagged.
CMC_message* BuildMessageBlock(const Message& message);

}  // namespace testcmc::detail

#endif
