// libFuzzer target: the MIME reader as both providers call it -- a whole
// message in, every field, the text note and every attachment's decoded
// content out. Built with -DVEL_FUZZ=ON by clang (tests/fuzz/CMakeLists.txt);
// its seed corpus is the tests' own mail (tests/data/mail).
#include <cstddef>
#include <cstdint>
#include <new>

#include "mime/parse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  velcmc::EnsureGMime();
  velcmc::GObjectPtr<GMimeStream> in(
      g_mime_stream_mem_new_with_buffer(reinterpret_cast<const char*>(data), size));
  try {
    velcmc::DeliveryKey delivery;
    velcmc::ParsedMessage parsed = velcmc::ParseMessage(in.get(), delivery, "reader@example.org");
    size_t seen =
        parsed.subject.size() + parsed.type.size() + (parsed.text ? parsed.text->size() : 0);
    for (const auto& recipient : parsed.recipients)
      seen += velcmc::DisplayName(recipient.address).size();
    for (const auto& attachment : parsed.attachments) {
      velcmc::GObjectPtr<GMimeStream> out(g_mime_stream_null_new());
      velcmc::WriteAttachment(attachment, out.get());
      seen += attachment.title.size();
    }
    return seen == SIZE_MAX ? 1 : 0;
  } catch (const std::bad_alloc&) {
    return 0;  // a message too large for memory is refused, not a fault
  }
}
