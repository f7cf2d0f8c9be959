// The two details file readers on any bytes: no crash, never more rows than lines, never more than
// line 1 declares, fields of the widths the rows take.
#include <cstddef>
#include <cstdint>
#include <string>

#include "qmxmaildetail_portable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  size_t lines = text.empty() ? 0 : 1;
  for (char c : text) lines += c == '\n';
  const std::string first = text.substr(0, text.find('\n'));
  const int64_t declared = qmx::DeclaredCount(first);

  const auto mailboxes = qmx::ParseMailboxDetails(text);
  if (mailboxes.size() > lines || static_cast<int64_t>(mailboxes.size()) > (declared < 0 ? 0 : declared))
    __builtin_trap();
  for (const qmx::MailboxRecord& r : mailboxes)
    if (r.lastLogon.size() != 16 || r.storageGroup.empty() || r.store.empty()) __builtin_trap();

  int32_t count = 0;
  const auto folders = qmx::ParsePublicFolderDetails(text, &count);
  if (count != declared || (!folders.empty() && folders.size() + 1 > lines) ||
      static_cast<int64_t>(folders.size()) > (declared < 0 ? 0 : declared))
    __builtin_trap();
  for (const qmx::PublicFolderRecord& r : folders)
    if (r.lastAccess.size() > 16 || r.storageGroup.empty() || r.store.empty()) __builtin_trap();
  return 0;
}
