// What every provider does with an outgoing CMC message before it composes
// it: the walk over its recipients and attachments as the caller's arrays
// give them, the title an attachment goes by, and the opening of an
// attachment's file (a regular file, never through a symbolic link as its
// last component, never one of the provider's own files).
#ifndef VELPROVIDERS_OUTGOING_H
#define VELPROVIDERS_OUTGOING_H

#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "cmc.h"
#include "file_system.h"
#include "platform.h"

namespace velproviders {

// Calls visit(recipient) for each recipient up to the one marked last (a
// null array has none), the originator left out. A role past BCC ends the
// walk with CMC_E_INVALID_ENUM; a code other than 0 from visit ends it with
// that code. Returns 0 when every recipient was visited.
template <typename Visit>
CMC_return_code ForEachRecipient(const CMC_recipient* recipients, const Visit& visit) {
  for (const CMC_recipient* r = recipients; r != nullptr; ++r) {
    if (r->role != CMC_ROLE_ORIGINATOR) {
      if (r->role > CMC_ROLE_BCC) return CMC_E_INVALID_ENUM;
      if (CMC_return_code rc = visit(*r)) return rc;
    }
    if (r->recip_flags & CMC_RECIP_LAST_ELEMENT) break;
  }
  return CMC_SUCCESS;
}

// Calls visit(attachment) for each attachment up to the one marked last (a
// null array has none); a code other than 0 from visit ends the walk with
// that code.
template <typename Visit>
CMC_return_code ForEachAttachment(const CMC_attachment* attachments, const Visit& visit) {
  for (const CMC_attachment* a = attachments; a != nullptr; ++a) {
    if (CMC_return_code rc = visit(*a)) return rc;
    if (a->attach_flags & CMC_ATT_LAST_ELEMENT) break;
  }
  return CMC_SUCCESS;
}

// The title an attachment goes by: its own, else its file's name.
inline std::string AttachmentTitle(const CMC_attachment& attachment) {
  if (attachment.attach_title != nullptr && *attachment.attach_title != '\0')
    return attachment.attach_title;
  return std::filesystem::path(attachment.attach_filename ? attachment.attach_filename : "")
      .filename()
      .string();
}

// Opens an attachment's file for reading: a regular file, never through a
// symbolic link as its last component, and not a file is_own(fd, info)
// claims for the provider (its store, spool, log or configuration, by
// whatever name or link it was reached). Returns the descriptor with the
// file's size in *size, or -1 with *rc set: CMC_E_ATTACHMENT_NOT_FOUND when
// nothing is there, CMC_E_ATTACHMENT_OPEN_FAILURE otherwise (and *own set
// when the file is the provider's own).
template <typename IsOwn>
int OpenAttachment(const char* file_name, const IsOwn& is_own, uint64_t* size, CMC_return_code* rc,
                   bool* own) {
  *own = false;
  if (file_name == nullptr || *file_name == '\0') {
    *rc = CMC_E_ATTACHMENT_NOT_FOUND;
    return -1;
  }
  vel::os::FileSystem& files = vel::os::Files();
  int fd = files.OpenRegularFile(file_name, size, /*follow_link=*/false);
  if (fd < 0) {
    *rc = vel::os::LastError() == static_cast<int32_t>(std::errc::no_such_file_or_directory)
              ? CMC_E_ATTACHMENT_NOT_FOUND
              : CMC_E_ATTACHMENT_OPEN_FAILURE;
    return -1;
  }
  vel::os::FileInfo info;
  const bool known = files.StatFile(fd, &info);
  if (!known || is_own(fd, info)) {
    *own = known;
    files.CloseFile(fd);
    *rc = CMC_E_ATTACHMENT_OPEN_FAILURE;
    return -1;
  }
  *rc = CMC_SUCCESS;
  return fd;
}

}  // namespace velproviders

#endif
