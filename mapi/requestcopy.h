// A mail request's inputs, copied for the worker. A worker that is cut off
// may still run provider code long after the requester has returned and its
// buffers are gone, so the worker is handed copies that live in its own
// request slot.
#ifndef VELMAIL_MAPI_REQUESTCOPY_H
#define VELMAIL_MAPI_REQUESTCOPY_H

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "cmc.h"

class sm_requestcopy {
 public:
  // Each keeps a copy (null for null) until Clear() and returns it.
  char* Keep(const char* text);
  CMC_extension* KeepExtensions(const CMC_extension* extensions);
  CMC_message_reference* KeepReference(const CMC_message_reference* reference);
  CMC_message* KeepMessage(const CMC_message* message);
  void Clear();

 private:
  std::deque<std::string> strings_;
  std::vector<CMC_extension> extensions_;
  std::vector<uint32_t> reference_;  // length, then the bytes
  CMC_message message_ = {};
  std::vector<CMC_recipient> recipients_;
  std::vector<CMC_attachment> attachments_;
};

#endif
