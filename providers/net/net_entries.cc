// The exported CMC entry points, handed to this provider.
#include "net/provider.h"

using CmcProvider = velnet::Provider;
#include "common/cmc_exports.inc"
