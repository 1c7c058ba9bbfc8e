#include "mapi/cmcbind.h"

#include <cstring>

#include "frame/errors.h"
#include "frame/startup.h"
#include "platform.h"

void* sm_cmcdll = nullptr;
sm_cmcentries sm_cmc = {};

namespace {

// Whether the library took a reference on the provider: one that was found
// already loaded is used without one, and must not be released by us.
bool sm_cmcdll_owned = false;

// Export names, in the order of sm_cmcentries.
const char* const kEntryNames[8] = {"cmc_logon",   "cmc_logoff", "cmc_free", "cmc_send",
                                    "cmc_look_up", "cmc_list",   "cmc_read", "cmc_act_on"};

}  // namespace

int32_t sm_loadcmc(srv_proc* thread) {
  sm_cmc = {};
  sm_cmcdll_owned = false;
  sm_cmcdll = vel::os::FindLoadedModule(sm_cmcdllname);
  if (sm_cmcdll == nullptr) {
    sm_cmcdll = vel::os::LoadModule(sm_cmcdllname);
    if (sm_cmcdll == nullptr) {
      sm_raise(thread, 0, SM_MSG_CANNOT_LOAD_PROVIDER, nullptr, 0);
      return 0;
    }
    sm_cmcdll_owned = true;
  }

  void* resolved[8];
  for (int i = 0; i < 8; ++i) {
    resolved[i] = vel::os::ModuleSymbol(sm_cmcdll, kEntryNames[i]);
    if (resolved[i] == nullptr) {
      sm_raise_failed(thread, SM_MSG_MISSING_ENTRY_POINT, kEntryNames[i], 0);
      // The attach fails; a provider we loaded is not kept loaded for nothing.
      sm_unloadcmc();
      return 0;
    }
  }
  sm_cmc.logon = reinterpret_cast<CMC_logon_fn>(resolved[0]);
  sm_cmc.logoff = reinterpret_cast<CMC_logoff_fn>(resolved[1]);
  sm_cmc.free = reinterpret_cast<CMC_free_fn>(resolved[2]);
  sm_cmc.send = reinterpret_cast<CMC_send_fn>(resolved[3]);
  sm_cmc.look_up = reinterpret_cast<CMC_look_up_fn>(resolved[4]);
  sm_cmc.list = reinterpret_cast<CMC_list_fn>(resolved[5]);
  sm_cmc.read = reinterpret_cast<CMC_read_fn>(resolved[6]);
  sm_cmc.act_on = reinterpret_cast<CMC_act_on_fn>(resolved[7]);
  return 1;
}

void sm_unloadcmc() {
  if (sm_cmcdll_owned) vel::os::FreeModule(sm_cmcdll);
  sm_cmcdll = nullptr;
  sm_cmcdll_owned = false;
  sm_cmc = {};
}
