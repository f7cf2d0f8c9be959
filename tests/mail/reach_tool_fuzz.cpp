// The mail tool's output reader on any text: no crash, lines of at most 1023 characters, and a
// reply time only when it is a valid date; the found-list rules on what it gives.
#include <cstddef>
#include <cstdint>
#include <string>

#include "qmxmailbox_portable.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  qmx::reach::ToolOutput out = qmx::reach::ReadToolOutput(text);
  for (const std::string& l : out.lines)
    if (l.size() > 1023) __builtin_trap();
  if (out.replySeen && qmx::reach::StampOf(out.received).size() != 16) __builtin_trap();
  if (out.sentSeen && out.replySeen) {
    double s = -1;
    if (qmx::reach::ReplyCounts(out.sent, out.received, &s) && s < 0) __builtin_trap();
  }
  // A target whose record is completed is always found afterwards.
  const std::string target = out.replyFrom.empty() ? "a@x" : out.replyFrom;
  const std::string all = qmx::reach::CheckResponsesComplete("s", target, "");
  if (target.find(';') == std::string::npos && qmx::reach::CheckReplies(target, all) != 0)
    __builtin_trap();
  return 0;
}
