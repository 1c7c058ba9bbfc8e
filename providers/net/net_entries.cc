// The exported CMC entry points, handed to this provider.
#include "net/net_provider.h"

using CmcProvider = velnet::Provider;
#include "common/cmc_exports.inc"
