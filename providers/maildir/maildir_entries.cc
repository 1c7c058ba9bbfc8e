// The exported CMC entry points, handed to this provider.
#include "maildir/provider.h"

using CmcProvider = velcmc::Provider;
#include "common/cmc_exports.inc"
