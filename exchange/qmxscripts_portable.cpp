// Script text, rewrite decision and output condensing; no operating system.
#include "qmxscripts_portable.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "jbx.h"
#include "qmxtrace.h"

namespace qmx {
namespace {

const char kTwoThousandThreeServer[] = "xxxxxxxx";

bool StartsWith(const std::string& s, const char* prefix) {
  return s.compare(0, std::strlen(prefix), prefix) == 0;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

void ReplaceAll(std::string& s, const char* what, const std::string& with) {
  const size_t n = std::strlen(what);
  for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + with.size()))
    s.replace(at, n, with);
}

// A "Name : value" line; without the colon the line is not one of the shell's.
bool HasValue(const std::string& line) {
  if (line.find(':') != std::string::npos) return true;
  QMX_ENTRY_NAMED("HasValue");
  QMX_ERROR("Script output line without a colon skipped: %s", line.c_str());
  return false;
}

// The text after the first ":" of a line, trimmed.
std::string ValueOf(const std::string& line) {
  size_t colon = line.find(':');
  return colon == std::string::npos ? std::string() : Trim(line.substr(colon + 1));
}

}  // namespace

const ScriptEntry* FindScript(const char* name) {
  if (!name) return nullptr;
  for (const ScriptEntry& s : ScriptTable())
    if (std::strcmp(s.name, name) == 0) return &s;
  return nullptr;
}

std::string StoredLine(const ScriptEntry& script, const char* text) {
  std::string line = std::string(script.name) + " " + text;
  if (line.size() < kStoredLineWidth) line.append(kStoredLineWidth - line.size(), ' ');
  line += '\n';
  return line;
}

const char* ScriptExtension(const ScriptEntry& script, int release) {
  return std::strcmp(script.name, "nlbStatus") == 0 || IsPre2007(release) ? ".vbs" : ".ps1";
}

std::string ScriptPath(const ScriptEntry& script, int release, const std::string& directory) {
  return directory + "\\" + script.name + ScriptExtension(script, release);
}

std::string ScriptOutputPath(const ScriptEntry& script, const std::string& directory) {
  if (std::strcmp(script.name, "mbxdetails2010") == 0) return directory + "\\MailBox_Details.log";
  return directory + "\\" + script.name + ".log";
}

bool IsSafeScriptDirectory(const std::string& directory) {
  if (directory.empty()) return false;
  for (char c : directory) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F || std::strchr("\"'$`%", c)) return false;
  }
  return true;
}

std::string BuildScriptText(const ScriptEntry& script, int release, const std::string& server,
                            const std::string& outputPath) {
  const std::string quotedOutput = "\"" + outputPath + "\"";
  const size_t prefix = std::strlen(script.name) + 1;
  std::string text;
  for (const char* const* l = script.lines; *l; ++l) {
    std::string line = StoredLine(script, *l).substr(prefix);
    if (StartsWith(line, kEndOfScript)) break;
    if (IsPre2007(release)) {
      size_t at = line.find(kTwoThousandThreeServer);
      if (at != std::string::npos) line = line.substr(0, at) + "\"" + server + "\"\n";
    } else {
      ReplaceAll(line, "servername", server);
    }
    ReplaceAll(line, "outputfilename", quotedOutput);
    text += line;
  }
  return text;
}

bool ExistingScriptServerDiffers(const ScriptEntry& script, int release, const std::string& text,
                                 const std::string& server) {
  if (!script.serverKeyword) return false;
  const std::string keyword = Upper(script.serverKeyword);
  const std::string expected = script.quotedServer ? "\"" + server + "\"" : server;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = Upper(text.substr(start, std::min(end - start, kScriptReadLine)));
    start = end + 1;
    size_t at = line.find(keyword);
    if (at == std::string::npos) continue;
    size_t p = at + keyword.size();
    while (p < line.size() && (IsBlank(line[p]) || line[p] == '=')) ++p;
    size_t q = p;
    while (q < line.size() && !IsBlank(line[q]) && q - p < kServerWordMax) ++q;
    return Upper(expected) != line.substr(p, q - p);
  }
  return true;
}

OutputKind OutputKindFor(int release, const std::string& scriptPath) {
  if (IsPre2007(release)) return OutputKind::kLines2003;
  if (scriptPath.find("nlbStatus.vbs") != std::string::npos) return OutputKind::kNotCondensed;
  if (scriptPath.find("PublicFolderDetails2010.ps1") != std::string::npos)
    return OutputKind::kPublicFolderCount;
  if (scriptPath.find("mbxdetails2010.ps1") != std::string::npos) return OutputKind::kMailboxCount;
  if (scriptPath.find("clustermbxstatus2007.ps1") != std::string::npos)
    return OutputKind::kClusteredServer;
  return OutputKind::kStoreStatus;
}

OutputCondenser::OutputCondenser(OutputKind kind) : kind_(kind) {}

void OutputCondenser::Feed(const char* data, size_t size) {
  QMX_ENTRY_NAMED("OutputCondenser::Feed");
  size_t i = 0;
  if (utf16_) return;
  while (i < size) {
    const char* nl = static_cast<const char*>(std::memchr(data + i, '\n', size - i));
    size_t end = nl ? static_cast<size_t>(nl - data) : size;
    if (!overlong_) {
      if (partial_.size() + (end - i) > kMaxOutputLine) {
        overlong_ = true;
        partial_.clear();
      } else {
        partial_.append(data + i, end - i);
      }
    }
    if (!nl) break;
    if (overlong_)
      QMX_ERROR("Script output line longer than %d characters skipped", static_cast<int>(kMaxOutputLine));
    else
      Line(std::move(partial_));
    partial_.clear();
    overlong_ = false;
    i = end + 1;
  }
}

void OutputCondenser::Line(std::string line) {
  QMX_ENTRY_NAMED("OutputCondenser::Line");
  if (utf16_) return;
  // A file in UTF-16 (the shell's default encoding) cannot be read as text; decided on the whole
  // first line, so that any chunking of the file decides alike.
  if (lines_ == 0 && (StartsWith(line, "\xFF\xFE") || StartsWith(line, "\xFE\xFF"))) {
    QMX_ERROR("Script output is UTF-16 text and is not read");
    utf16_ = true;
    return;
  }
  // The byte-order mark of a UTF-8 file.
  if (lines_ == 0 && StartsWith(line, "\xEF\xBB\xBF")) line.erase(0, 3);
  ++lines_;
  if (line.find('\0') != std::string::npos) {
    QMX_ERROR("Script output line %d holds binary data and is skipped", lines_);
    return;
  }
  QMX_DETAIL("Script log file record : %s", line.c_str());
  line = Trim(line);
  if (line.empty() || line[0] == '#') return;
  switch (kind_) {
    case OutputKind::kLines2003:
      result_ += line;
      return;
    case OutputKind::kPublicFolderCount:
      if (line.size() > 4 && StartsWith(line, "DatabaseName")) ++count_;
      return;
    case OutputKind::kMailboxCount:
      if (line.size() > 4 && StartsWith(line, "Name")) ++count_;
      return;
    case OutputKind::kClusteredServer:
      if (line.size() <= 4 || !HasValue(line)) return;
      if (StartsWith(line, "ClusteredMailboxServerName"))
        result_ += "Mailbox Server Name=" + ValueOf(line) + ";";
      else if (StartsWith(line, "State"))
        result_ += "State=" + ValueOf(line) + ";";
      else if (StartsWith(line, "OperationalMachines"))
        result_ += "OperationalMachines=" + ValueOf(line) + ";";
      return;
    case OutputKind::kStoreStatus:
      if (line.size() > 4 && HasValue(line)) Store(line);
      return;
    case OutputKind::kNotCondensed:
      return;
  }
}

void OutputCondenser::Store(const std::string& line) {
  QMX_ENTRY_NAMED("OutputCondenser::Store");
  auto dropPending = [&] {
    if (pendingStore_.empty()) return;
    QMX_ERROR("Store without its Mounted line left out: %s", pendingStore_.c_str());
    pendingStore_.clear();
  };
  if (StartsWith(line, "ObjectClass")) {
    dropPending();
    storeClass_ = line.find("Private") != std::string::npos ? 1 : 0;
  } else if (StartsWith(line, "StorageGroupName")) {
    dropPending();
    result_ += "Storage Group=" + ValueOf(line) + ";";
  } else if (StartsWith(line, "Name")) {
    dropPending();
    if (storeClass_ < 0) {
      QMX_ERROR("Store without its ObjectClass line left out: %s", line.c_str());
      return;
    }
    pendingStore_ = (storeClass_ ? "Mailbox Store=" : "Public Store=") + ValueOf(line) + ";";
  } else if (StartsWith(line, "Mounted")) {
    if (pendingStore_.empty()) {
      QMX_ERROR("Mounted line without its store skipped: %s", line.c_str());
      return;
    }
    result_ += pendingStore_;
    result_ += line.find("True") != std::string::npos ? "Status=0;" : "Status=1;";
    pendingStore_.clear();
  }
}

std::string OutputCondenser::Finish() {
  QMX_ENTRY_NAMED("OutputCondenser::Finish");
  if (!partial_.empty() || overlong_)
    QMX_ERROR("Script output ends inside a line, which is left out (still being written?)");
  partial_.clear();
  overlong_ = false;
  if (!pendingStore_.empty()) {
    QMX_ERROR("Store without its Mounted line left out: %s", pendingStore_.c_str());
    pendingStore_.clear();
  }
  if (count_ > 0) {
    const char* header = kind_ == OutputKind::kPublicFolderCount
                             ? "######    Public Folder Details - Total Public Folders:'"
                             : "######    MailBox Details - Number Mailboxes:'";
    result_ = header + std::to_string(count_) + "'";
  }
  return result_;
}

std::string CondenseScriptOutput(OutputKind kind, const std::string& output) {
  OutputCondenser c(kind);
  c.Feed(output.data(), output.size());
  return c.Finish();
}

bool ParseClusteredServerText(const std::string& text, ClusteredServerItems* items) {
  QMX_ENTRY();
  *items = ClusteredServerItems();
  if (text.size() < 2) QMX_RETURN(false);
  std::vector<std::string> parts;
  size_t start = 0;
  while (parts.size() < 3 && start <= text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    parts.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  struct Item {
    const char* key;
    std::string* out;
  } keys[] = {{"Mailbox Server Name=", &items->name},
              {"State=", &items->state},
              {"OperationalMachines=", &items->nodes}};
  for (size_t i = 0; i < parts.size(); ++i) {
    size_t at = parts[i].find(keys[i].key);
    if (at != std::string::npos) *keys[i].out = parts[i].substr(at + std::strlen(keys[i].key));
  }
  items->name = items->name.substr(0, items->name.find('.'));
  QMX_RETURN(true);
}

NlbNodeStatus ParseNlbOutput(const std::string& text) {
  QMX_ENTRY();
  NlbNodeStatus node;
  bool statusFound = false, skipNext = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = Trim(text.substr(start, std::min<size_t>(end - start, 79)));
    start = end + 1;
    if (line == "End of file") break;
    if (skipNext) {
      skipNext = false;
      continue;
    }
    if (line.empty()) continue;
    bool number = std::all_of(line.begin(), line.end(),
                              [](char c) { return c >= '0' && c <= '9'; }) && line.size() <= 9;
    if (number) {
      int32_t v = static_cast<int32_t>(std::stol(line));
      if (v == 0) {
        skipNext = true;
      } else {
        node.status = v;
        statusFound = true;
      }
      continue;
    }
    node.name = Upper(line.substr(0, line.find('.')));
    if (statusFound) break;
  }
  if (!statusFound) node.name = "Undefined";
  QMX_FLOW("NLB node status %d, name %s", static_cast<int>(node.status), node.name.c_str());
  return node;
}

}  // namespace qmx
