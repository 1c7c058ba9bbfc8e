#include "mapi/cmcbind.h"

#include <cstring>
#include <string>

#include "frame/errors.h"
#include "frame/startup.h"
#include "platform.h"

namespace {

// The library takes a reference on the provider only when it loads it: one
// that was found already loaded is used without one, and must not be
// released by us.

// Export names, in the order of sm_cmcentries.
const char* const kEntryNames[8] = {"cmc_logon",   "cmc_logoff", "cmc_free", "cmc_send",
                                    "cmc_look_up", "cmc_list",   "cmc_read", "cmc_act_on"};

// The message raised for a provider that cannot be loaded carries no name,
// so the host log says which file was tried, under which configured name,
// and what the loader said: "libvelnet.so" and "MAPI32.DLL" stand for
// different files. Best effort: a line that cannot be made is left out.
void LogLoadFailure(const char* name) {
  try {
    const std::string loader = vel::os::ModuleError();
    const std::string file = vel::os::ModuleFileName(name);
    std::string line = "Velmail: Cannot load the mail provider " + file;
    if (file != name) line += std::string(" (CMCDLLNAME32=") + name + ")";
    if (!loader.empty()) line += ": " + loader;
    line += "\n";
    srv_log(nullptr, 1, line.c_str(), static_cast<int32_t>(line.size()));
  } catch (...) {
  }
}

}  // namespace

int32_t sm_loadcmc(srv_proc* thread) {
  sm_state.cmc = {};
  sm_state.cmcdll_owned = false;
  sm_state.cmcdll = vel::os::FindLoadedModule(sm_state.cmcdllname);
  if (sm_state.cmcdll == nullptr) {
    sm_state.cmcdll = vel::os::LoadModule(sm_state.cmcdllname);
    if (sm_state.cmcdll == nullptr) {
      LogLoadFailure(sm_state.cmcdllname);
      sm_raise(thread, 0, SM_MSG_CANNOT_LOAD_PROVIDER, nullptr, 0);
      return 0;
    }
    sm_state.cmcdll_owned = true;
  }

  void* resolved[8];
  for (int i = 0; i < 8; ++i) {
    resolved[i] = vel::os::ModuleSymbol(sm_state.cmcdll, kEntryNames[i]);
    if (resolved[i] == nullptr) {
      sm_raise_failed(thread, SM_MSG_MISSING_ENTRY_POINT, kEntryNames[i], 0);
      // The attach fails; a provider we loaded is not kept loaded for nothing.
      sm_unloadcmc();
      return 0;
    }
  }
  sm_state.cmc.logon = reinterpret_cast<CMC_logon_fn>(resolved[0]);
  sm_state.cmc.logoff = reinterpret_cast<CMC_logoff_fn>(resolved[1]);
  sm_state.cmc.free = reinterpret_cast<CMC_free_fn>(resolved[2]);
  sm_state.cmc.send = reinterpret_cast<CMC_send_fn>(resolved[3]);
  sm_state.cmc.look_up = reinterpret_cast<CMC_look_up_fn>(resolved[4]);
  sm_state.cmc.list = reinterpret_cast<CMC_list_fn>(resolved[5]);
  sm_state.cmc.read = reinterpret_cast<CMC_read_fn>(resolved[6]);
  sm_state.cmc.act_on = reinterpret_cast<CMC_act_on_fn>(resolved[7]);
  return 1;
}

void sm_unloadcmc() {
  if (sm_state.cmcdll_owned) vel::os::FreeModule(sm_state.cmcdll);
  sm_state.cmcdll = nullptr;
  sm_state.cmcdll_owned = false;
  sm_state.cmc = {};
}
