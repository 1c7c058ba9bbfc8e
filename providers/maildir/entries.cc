// The exported CMC entry points, handed to this provider.
#include "provider.h"

using CmcProvider = velcmc::Provider;
#include "../cmc_exports.inc"
