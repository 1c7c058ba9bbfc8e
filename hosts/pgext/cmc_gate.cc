// The provider the library loads inside a database backend: it hands every
// CMC call to the configured provider, and asks the backend before each
// send whether the statement that asked for it is still wanted. A cancelled
// statement ends in an ERROR, and a statement that ends in an ERROR sends
// nothing: a send refused here returns CMC_E_USER_CANCEL without reaching
// the provider.
//
// The backend's module loads this module first (velpg_gate_open), names
// the provider and the question to ask, and then writes this module's path
// into the profile the library reads; the library's own load of it finds
// the module already loaded.
#include <dlfcn.h>

#include <atomic>
#include <cstddef>
#include <cstdio>

#include "cmc.h"

namespace {

struct Provider {
  CMC_return_code(VEL_CDECL* logon)(CMC_string, CMC_string, CMC_string, CMC_object_identifier,
                                    CMC_ui_id, uint16_t, CMC_flags, CMC_session_id*,
                                    CMC_extension*) = nullptr;
  CMC_return_code(VEL_CDECL* logoff)(CMC_session_id, CMC_ui_id, CMC_flags,
                                     CMC_extension*) = nullptr;
  CMC_return_code(VEL_CDECL* free_memory)(void*) = nullptr;
  CMC_return_code(VEL_CDECL* send)(CMC_session_id, CMC_message*, CMC_flags, CMC_ui_id,
                                   CMC_extension*) = nullptr;
  CMC_return_code(VEL_CDECL* look_up)(CMC_session_id, CMC_recipient*, CMC_flags, CMC_ui_id,
                                      CMC_uint32*, CMC_recipient**, CMC_extension*) = nullptr;
  CMC_return_code(VEL_CDECL* list)(CMC_session_id, CMC_string, CMC_flags, CMC_message_reference*,
                                   CMC_uint32*, CMC_ui_id, CMC_message_summary**,
                                   CMC_extension*) = nullptr;
  CMC_return_code(VEL_CDECL* read)(CMC_session_id, CMC_message_reference*, CMC_flags, CMC_message**,
                                   CMC_ui_id, CMC_extension*) = nullptr;
  CMC_return_code(VEL_CDECL* act_on)(CMC_session_id, CMC_message_reference*, CMC_enum, CMC_flags,
                                     CMC_ui_id, CMC_extension*) = nullptr;
};

// Written once by velpg_gate_open, before the library loads this module
// (and so before any of its calls); read-only afterwards.
Provider g_provider;
std::atomic<bool> g_open{false};
std::atomic<int (*)()> g_may_send{nullptr};

template <class Fn>
bool Resolve(void* module, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(dlsym(module, name));
  return fn != nullptr;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int velpg_gate_open(const char* path, int (*may_send)(),
                                                           char* problem, size_t size);

// Loads the provider at path and keeps may_send as the question asked
// before each send (1: send). Returns 0, or -1 with the reason in
// problem (terminated, cut to size).
__attribute__((visibility("default"))) int velpg_gate_open(const char* path, int (*may_send)(),
                                                           char* problem, size_t size) {
  if (g_open.load()) {
    g_may_send.store(may_send);
    return 0;
  }
  void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* why = dlerror();
    std::snprintf(problem, size, "%s", why ? why : path);
    return -1;
  }
  Provider found;
  const bool complete =
      Resolve(module, "cmc_logon", found.logon) && Resolve(module, "cmc_logoff", found.logoff) &&
      Resolve(module, "cmc_free", found.free_memory) && Resolve(module, "cmc_send", found.send) &&
      Resolve(module, "cmc_look_up", found.look_up) && Resolve(module, "cmc_list", found.list) &&
      Resolve(module, "cmc_read", found.read) && Resolve(module, "cmc_act_on", found.act_on);
  if (!complete) {
    std::snprintf(problem, size, "%s is not a CMC provider (an entry point is missing)", path);
    dlclose(module);
    return -1;
  }
  g_provider = found;
  g_may_send.store(may_send);
  g_open.store(true);
  return 0;
}

__attribute__((visibility("default"))) CMC_return_code VEL_CDECL
cmc_logon(CMC_string service, CMC_string user, CMC_string password,
          CMC_object_identifier character_set, CMC_ui_id ui_id, uint16_t version, CMC_flags flags,
          CMC_session_id* session, CMC_extension* extensions) {
  if (!g_open.load()) return CMC_E_FAILURE;
  return g_provider.logon(service, user, password, character_set, ui_id, version, flags, session,
                          extensions);
}

__attribute__((visibility("default"))) CMC_return_code VEL_CDECL
cmc_logoff(CMC_session_id session, CMC_ui_id ui_id, CMC_flags flags, CMC_extension* extensions) {
  if (!g_open.load()) return CMC_E_FAILURE;
  return g_provider.logoff(session, ui_id, flags, extensions);
}

__attribute__((visibility("default"))) CMC_return_code VEL_CDECL cmc_free(void* memory) {
  if (!g_open.load()) return CMC_E_FAILURE;
  return g_provider.free_memory(memory);
}

__attribute__((visibility("default"))) CMC_return_code VEL_CDECL
cmc_send(CMC_session_id session, CMC_message* message, CMC_flags flags, CMC_ui_id ui_id,
         CMC_extension* extensions) {
  if (!g_open.load()) return CMC_E_FAILURE;
  int (*may_send)() = g_may_send.load();
  if (may_send != nullptr && may_send() == 0) return CMC_E_USER_CANCEL;
  return g_provider.send(session, message, flags, ui_id, extensions);
}

__attribute__((visibility("default"))) CMC_return_code VEL_CDECL
cmc_look_up(CMC_session_id session, CMC_recipient* recipient, CMC_flags flags, CMC_ui_id ui_id,
            CMC_uint32* count, CMC_recipient** recipients, CMC_extension* extensions) {
  if (!g_open.load()) return CMC_E_FAILURE;
  return g_provider.look_up(session, recipient, flags, ui_id, count, recipients, extensions);
}

__attribute__((visibility("default"))) CMC_return_code VEL_CDECL cmc_list(
    CMC_session_id session, CMC_string type, CMC_flags flags, CMC_message_reference* seed,
    CMC_uint32* count, CMC_ui_id ui_id, CMC_message_summary** result, CMC_extension* extensions) {
  if (!g_open.load()) return CMC_E_FAILURE;
  return g_provider.list(session, type, flags, seed, count, ui_id, result, extensions);
}

__attribute__((visibility("default"))) CMC_return_code VEL_CDECL
cmc_read(CMC_session_id session, CMC_message_reference* reference, CMC_flags flags,
         CMC_message** message, CMC_ui_id ui_id, CMC_extension* extensions) {
  if (!g_open.load()) return CMC_E_FAILURE;
  return g_provider.read(session, reference, flags, message, ui_id, extensions);
}

__attribute__((visibility("default"))) CMC_return_code VEL_CDECL
cmc_act_on(CMC_session_id session, CMC_message_reference* reference, CMC_enum operation,
           CMC_flags flags, CMC_ui_id ui_id, CMC_extension* extensions) {
  if (!g_open.load()) return CMC_E_FAILURE;
  return g_provider.act_on(session, reference, operation, flags, ui_id, extensions);
}

}  // extern "C"
