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
#include "frame/srvblock.h"

class sm_requestcopy {
 public:
  sm_requestcopy() = default;
  // Destroyed without Clear() only by a worker that was cut off, long after
  // its requester has gone: a text note handed over is then left alone.
  ~sm_requestcopy() { note_.release(); }
  sm_requestcopy(const sm_requestcopy&) = delete;
  sm_requestcopy& operator=(const sm_requestcopy&) = delete;

  // Each keeps a copy (null for null) until Clear() and returns it.
  char* Keep(const char* text);
  CMC_extension* KeepExtensions(const CMC_extension* extensions);
  CMC_message_reference* KeepReference(const CMC_message_reference* reference);
  // note, when given, holds the block message->text_note points to: it is
  // taken over instead of copied (the text may be a whole query result).
  CMC_message* KeepMessage(const CMC_message* message, sm_srvblock* note = nullptr);
  // Drops the copies; a text note taken over goes back to the allocator.
  void Clear();

 private:
  std::deque<std::string> strings_;
  std::vector<CMC_extension> extensions_;
  std::vector<uint32_t> reference_;  // length, then the bytes
  CMC_message message_ = {};
  std::vector<CMC_recipient> recipients_;
  std::vector<CMC_attachment> attachments_;
  sm_srvblock note_;
};

#endif
