// The exported CMC entry points, handed to this provider.
#include "provider.h"

using CmcProvider = velnet::Provider;
#include "../cmc_exports.inc"
