#include "frame/params.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "frame/errors.h"

namespace {

// Items a call may pass at most: the largest table has 18 entries, and
// every getter refuses a count above its table's size before reading.
constexpr int32_t kMaxItems = 32;

// What sm_getparam checks for each procedure kind: the procedure's name in
// messages and the counts of parameters it takes.
struct KindLimits {
  const char* procedure;
  int32_t min, max;
};
const KindLimits kKindLimits[] = {
    {"xp_startmail", 0, 2},    // SM_KIND_STARTMAIL
    {"xp_readmail", 0, 15},    // SM_KIND_READMAIL
    {"xp_sendmail", 1, 18},    // SM_KIND_SENDMAIL
    {"xp_findnextmsg", 1, 3},  // SM_KIND_FINDNEXTMSG
    {"xp_deletemail", 0, 1},   // SM_KIND_DELETEMAIL
};
constexpr int32_t kKinds = sizeof(kKindLimits) / sizeof(kKindLimits[0]);

bool EqualsIgnoringCase(const char* text, const char* word) {
  for (; *text != '\0' && *word != '\0'; ++text, ++word) {
    if (std::tolower(static_cast<unsigned char>(*text)) != *word) return false;
  }
  return *text == *word;
}

// The label of a parameter in messages: its name, or its position when it
// has none.
void ParamLabel(const cs_datafmt* description, int32_t item, char* label, size_t size) {
  const int32_t namelen = sm_namelength(description);
  if (namelen > 0) {
    snprintf(label, size, "%.*s", namelen, description->name);
  } else {
    snprintf(label, size, "at location %d", item);
  }
}

}  // namespace

char* sm_paramtext(sm_param* entry) {
  int32_t length = std::clamp<int32_t>(entry->length, 0, SM_VALUE_SIZE);
  entry->value[length] = '\0';  // value[256] is the spare byte
  return entry->value;
}

bool sm_isipmtype(const sm_param* entry) {
  return entry->length == SM_IPM_TYPE_LENGTH &&
         memcmp(entry->value, SM_IPM_TYPE, SM_IPM_TYPE_LENGTH) == 0;
}

int32_t sm_paramint(const sm_param* entry) {
  int32_t value = 0;
  memcpy(&value, entry->value, sizeof(value));
  return value;
}

void sm_setparamtext(sm_param* entry, const char* text) {
  size_t n = std::min<size_t>(strlen(text), SM_VALUE_SIZE);
  memcpy(entry->value, text, n);
  entry->length = static_cast<int32_t>(n);
  entry->value[n] = '\0';
}

void sm_presettable(sm_param* table, const sm_paramdefault* defaults, int32_t entries) {
  for (int32_t i = 0; i < entries; ++i) {
    sm_param& entry = table[i];
    memset(&entry, 0, sizeof(entry));
    snprintf(entry.name, sizeof(entry.name), "%s", defaults[i].name);
    entry.position = i + 1;
    entry.datatype = defaults[i].datatype;
    if (defaults[i].value != nullptr) {
      memcpy(entry.value, defaults[i].value, static_cast<size_t>(defaults[i].length));
    } else {
      const int32_t width = 80;
      memcpy(entry.value, &width, sizeof(width));
    }
    entry.length = defaults[i].length;
  }
}

int32_t sm_getparam(srv_proc* thread, int32_t kind, int32_t* count) {
  *count = 0;
  if (kind < 0 || kind >= kKinds) {
    sm_raise_failed(thread, SM_MSG_UNKNOWN_KIND, "sm_getparam", 0);
    return 0;
  }
  const KindLimits& limits = kKindLimits[kind];
  return sm_getparamcount(thread, limits.procedure, limits.min, limits.max, count);
}

int32_t sm_getparamcount(srv_proc* thread, const char* procedure, int32_t min, int32_t max,
                         int32_t* count) {
  *count = 0;
  if (srv_numparams(thread, count) != VEL_SUCCEED) {
    sm_raise_failed(thread, SM_MSG_NUMPARAMS_FAILED, procedure, 0);
    return 0;
  }
  if (*count < min || *count > max) {
    sm_raise(thread, 0, SM_MSG_PARAM_COUNT, procedure, *count);
    return 0;
  }
  return 1;
}

int32_t sm_namelength(const cs_datafmt* description) {
  return std::clamp<int32_t>(description->namelen, 0, sizeof(description->name));
}

sm_param* sm_matchparam(sm_param* table, int32_t entries, const cs_datafmt* description,
                        int32_t item, bool positional) {
  const size_t namelen = static_cast<size_t>(sm_namelength(description));
  for (int32_t i = 0; i < entries; ++i) {
    const bool match = positional ? table[i].position == item
                                  : strlen(table[i].name) == namelen &&
                                        memcmp(table[i].name, description->name, namelen) == 0;
    if (match) return &table[i];
  }
  return nullptr;
}

void sm_raiseunknownparam(srv_proc* thread, const cs_datafmt* description) {
  char name[sizeof(description->name) + 1];
  const int32_t namelen = sm_namelength(description);
  memcpy(name, description->name, static_cast<size_t>(namelen));
  name[namelen] = '\0';
  sm_raise(thread, 0, SM_MSG_UNKNOWN_PARAMETER, name, 0);
}

int32_t sm_getparams(srv_proc* thread, sm_param* table, int32_t entries, int32_t count,
                     const char* getter) {
  if (count < 0 || count > kMaxItems) {
    sm_raise(thread, 0, SM_MSG_PARAM_COUNT, getter, count);
    return 0;
  }
  sm_param* bound[kMaxItems] = {};
  int16_t indicators[kMaxItems] = {};
  bool positional = false;

  for (int32_t item = 1; item <= count; ++item) {
    cs_datafmt description;
    memset(&description, 0, sizeof(description));
    if (srv_descfmt(thread, VEL_GET, VEL_RPC_DATA, item, &description) != VEL_SUCCEED) {
      sm_raise_failed(thread, SM_MSG_DESCFMT_FAILED, getter, 0);
      return 0;
    }
    if (item == 1 && sm_namelength(&description) == 0) positional = true;

    sm_param* entry = sm_matchparam(table, entries, &description, item, positional);
    if (entry == nullptr) {
      sm_raiseunknownparam(thread, &description);
      return 0;
    }
    int16_t* indicator = &indicators[item - 1];
    if (!sm_bindparam(thread, entry->value, &entry->length, item, &description, entry->datatype,
                      indicator)) {
      return 0;
    }
    if (description.datatype != VEL_VOID_TYPE) bound[item - 1] = entry;
  }

  if (srv_xferdata(thread, VEL_GET, VEL_RPC_DATA) != VEL_SUCCEED) {
    sm_raise_failed(thread, SM_MSG_XFERDATA_FAILED, getter, 0);
    return 0;
  }
  // A value longer than its entry was cut by the transfer: refuse it rather
  // than act on a text the caller did not write.
  for (int32_t item = 1; item <= count; ++item) {
    if (bound[item - 1] != nullptr && indicators[item - 1] > 0) {
      sm_raise(thread, 0, SM_MSG_BAD_VALUE, bound[item - 1]->name, 0);
      return 0;
    }
  }
  return 1;
}

int32_t sm_bindparam(srv_proc* thread, char* value, int32_t* length, int32_t item,
                     cs_datafmt* description, int32_t datatype, int16_t* indicator) {
  if (value == nullptr || description == nullptr) return 0;
  if (description->datatype == VEL_VOID_TYPE) return 1;  // not supplied: keep the default
  char label[160];
  if (description->datatype != datatype) {
    ParamLabel(description, item, label, sizeof(label));
    sm_raise(thread, 0, SM_MSG_WRONG_DATATYPE, label, 0);
    return 0;
  }
  // The entry holds SM_VALUE_SIZE bytes whatever the caller declared.
  cs_datafmt bounded = *description;
  if (bounded.maxlength < 0 || bounded.maxlength > SM_VALUE_SIZE) bounded.maxlength = SM_VALUE_SIZE;
  if (srv_bind(thread, VEL_GET, VEL_RPC_DATA, item, &bounded, value, length, indicator) !=
      VEL_SUCCEED) {
    ParamLabel(description, item, label, sizeof(label));
    sm_raise_failed(thread, SM_MSG_BIND_FAILED, label, 0);
    return 0;
  }
  return 1;
}

int32_t sm_getbool(srv_proc* thread, sm_param* entry, int32_t* flag) {
  const char* text = sm_paramtext(entry);
  if (EqualsIgnoringCase(text, "true")) {
    *flag = 1;
    return 1;
  }
  if (EqualsIgnoringCase(text, "false")) {
    *flag = 0;
    return 1;
  }
  sm_raise(thread, 0, SM_MSG_BAD_VALUE, entry->name, 0);
  return 0;
}

int32_t sm_bindretparam(srv_proc* thread, void* value, int32_t* length, int32_t item,
                        cs_datafmt* description, int16_t* indicator) {
  if (value == nullptr || length == nullptr || description == nullptr) return 0;
  char label[160];
  if ((description->status & VEL_STATUS_RETURN) == 0) {
    ParamLabel(description, item, label, sizeof(label));
    sm_raise_failed(thread, SM_MSG_NOT_OUTPUT, label, 0);
    return 0;
  }
  if (srv_bind(thread, VEL_SET, VEL_RPC_DATA, item, description, value, length, indicator) !=
      VEL_SUCCEED) {
    ParamLabel(description, item, label, sizeof(label));
    sm_raise_failed(thread, SM_MSG_BIND_FAILED, label, 0);
    return 0;
  }
  return 1;
}
