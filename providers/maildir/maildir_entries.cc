// The exported CMC entry points, handed to this provider.
#include "maildir/maildir_provider.h"

using CmcProvider = velcmc::Provider;
#include "common/cmc_exports.inc"
