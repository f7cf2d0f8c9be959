// Fuzz target for the statistics tool's record reader and the details files made from what it
// read. First byte: mode; second: chunk size of the feed. Whole and chunked reads must agree; a
// read in shape must give a details file whose lines keep their field count, stay within 1023
// characters, never begin with "#" and are UTF-8.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "qmxmbstat_portable.h"

using namespace qmx::mbstat;

namespace {

struct Outcome {
  bool ok;
  std::string error;
  size_t records;
  std::string details;
};

Outcome Read(const ModeEntry& mode, const std::string& input, size_t step) {
  RecordReader reader(mode);
  for (size_t i = 0; i < input.size(); i += step) reader.Feed(input.data() + i, std::min(step, input.size() - i));
  Outcome o;
  o.ok = reader.Finish(&o.error);
  const bool mailboxes = mode.mode == Mode::kMailboxes;
  o.records = mailboxes ? reader.mailboxes().size() : reader.folders().size();
  if (o.ok) o.details = mailboxes ? MailboxDetailsText(reader.mailboxes()) : PublicFolderDetailsText(reader.folders());
  return o;
}

bool IsUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char b = static_cast<unsigned char>(s[i]);
    size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
    i += n;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const ModeEntry& mode = Modes()[data[0] % Modes().size()];
  const size_t step = 1u + data[1];
  const std::string input(reinterpret_cast<const char*>(data) + 2, size - 2);

  const Outcome whole = Read(mode, input, input.size() + 1);
  const Outcome chunked = Read(mode, input, step);
  if (whole.ok != chunked.ok || whole.error != chunked.error || whole.records != chunked.records ||
      whole.details != chunked.details)
    std::abort();
  if (!whole.ok) {
    if (whole.error.empty()) std::abort();
    return 0;
  }
  const size_t separators = mode.fields - 2;  // the type letter is not written
  size_t lines = 0;
  for (size_t at = 0; at < whole.details.size(); ++lines) {
    const size_t end = whole.details.find("\r\n", at);
    if (end == std::string::npos) std::abort();  // every line ends with CRLF
    const std::string line = whole.details.substr(at, end - at);
    at = end + 2;
    if (line.size() + 2 > 1023 || line.find_first_of("\r\n") != std::string::npos) std::abort();
    if (lines == 0) {
      if (line.rfind("# ", 0) != 0 || line.find("'" + std::to_string(whole.records) + "'") == std::string::npos)
        std::abort();
      continue;
    }
    size_t semicolons = 0;
    for (char c : line) semicolons += c == ';';
    const size_t first = line.find_first_not_of(' ');
    if (semicolons != separators || first == std::string::npos || line[first] == '#' || !IsUtf8(line))
      std::abort();
  }
  if (lines != whole.records + 1) std::abort();
  return 0;
}
