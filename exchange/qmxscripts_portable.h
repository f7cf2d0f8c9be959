// The management-shell and VBScript scripts the agent writes, and the condensing of their output
// files: the parts that need no operating system (script table, script text, rewrite decision,
// output condensing, and the readers of the condensed cluster text and of the load-balancing
// output).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qmx {

enum class ScriptKind { kVBScript, kPowerShell };

// One script of the built-in table. lines ends with the marker line "# end of script" and a null.
struct ScriptEntry {
  const char* name;
  ScriptKind kind;
  const char* const* lines;
  // Word after which the server name stands in a written script (null: never compared).
  const char* serverKeyword;
  // The server stands in double quotes after the keyword.
  bool quotedServer;
};

constexpr const char kEndOfScript[] = "# end of script";
// Stored lines are "<script name> <text>" padded with blanks to this width.
constexpr size_t kStoredLineWidth = 768;
// Lines of an existing script are compared up to this length; the server word up to 63.
constexpr size_t kScriptReadLine = 1024;
constexpr size_t kServerWordMax = 63;

// The seven scripts, in table order.
const std::vector<ScriptEntry>& ScriptTable();
const ScriptEntry* FindScript(const char* name);

// The stored form of one line: "<script name> <text>" padded with blanks to kStoredLineWidth
// (longer texts are not cut), followed by a line end.
std::string StoredLine(const ScriptEntry& script, const char* text);

// Release codes of the pre-2007 branches.
inline bool IsPre2007(int release) { return release == 1 || release == 2; }

// ".vbs" for "nlbStatus" and for every script on releases 1 and 2, ".ps1" otherwise.
const char* ScriptExtension(const ScriptEntry& script, int release);
// <directory>\<name><extension> and <directory>\<name>.log ("MailBox_Details.log" for
// "mbxdetails2010").
std::string ScriptPath(const ScriptEntry& script, int release, const std::string& directory);
std::string ScriptOutputPath(const ScriptEntry& script, const std::string& directory);

// A server name the scripts may carry unquoted: letters, digits, "-" and "." only (a host
// name), 1 to 253 characters. Inline: the mailbox statistics tool checks its argument alike.
inline bool IsSafeServerName(const std::string& server) {
  if (server.empty() || server.size() > 253) return false;
  for (char c : server) {
    bool letterOrDigit = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!letterOrDigit && c != '-' && c != '.') return false;
  }
  return true;
}
// A directory the scripts may name inside double or single quotes and a command line may carry:
// no quotes, "$", "`", "%", and no control characters.
bool IsSafeScriptDirectory(const std::string& directory);

// The script file's text: every stored line with the script name and one blank removed from its
// front, up to the marker line. Releases 1 and 2: a line holding "xxxxxxxx" becomes the text
// before it, the server in double quotes and a line end; otherwise "servername" is replaced by
// the server. "outputfilename" becomes the output path in double quotes.
std::string BuildScriptText(const ScriptEntry& script, int release, const std::string& server,
                            const std::string& outputPath);

// Whether an existing script names another server than `server`: the first line holding the
// keyword (compared in upper case, lines cut at kScriptReadLine) gives the word after it (at most
// kServerWordMax characters), compared without regard to case. A script without the keyword
// line is not ours as written and counts as differing. Scripts without a keyword never differ.
bool ExistingScriptServerDiffers(const ScriptEntry& script, int release, const std::string& text,
                                 const std::string& server);

// What an output file holds and how it is condensed.
enum class OutputKind {
  kLines2003,          // releases 1 and 2: the lines as they are
  kPublicFolderCount,  // "PublicFolderDetails2010.ps1"
  kMailboxCount,       // "mbxdetails2010.ps1"
  kClusteredServer,    // "clustermbxstatus2007.ps1"
  kStoreStatus,        // every other script (the store scripts)
  kNotCondensed,       // "nlbStatus.vbs" on 2007 and later: its table reads the file itself
};
OutputKind OutputKindFor(int release, const std::string& scriptPath);

// Longest output line read; a longer one is skipped as a whole.
constexpr size_t kMaxOutputLine = 65536;

// Condenses a script output file fed in chunks of any size. Lines are trimmed of blanks, lines
// beginning with "#" skipped. Only lines ended by a line feed are used: the last line of a file
// the script is still writing may be cut. A store ("Name") yields its items only together with
// its "Mounted" line, so a cut record never reports a wrong state.
class OutputCondenser {
 public:
  explicit OutputCondenser(OutputKind kind);
  void Feed(const char* data, size_t size);
  // The condensed text (count kinds: the header text with the count, or empty).
  std::string Finish();
  // Number of lines used so far (for the traces and tests).
  int linesRead() const { return lines_; }

 private:
  void Line(std::string line);
  void Store(const std::string& line);

  OutputKind kind_;
  std::string partial_;
  bool overlong_ = false;
  bool utf16_ = false;
  int lines_ = 0;
  int count_ = 0;
  std::string result_;
  // Store kind: -1 no object class seen, 0 public, 1 mailbox; the store named but not yet
  // given its state.
  int storeClass_ = -1;
  std::string pendingStore_;
};

// Whole-text convenience over OutputCondenser.
std::string CondenseScriptOutput(OutputKind kind, const std::string& output);

// Table 42: the items of the condensed clustered server text. False when the text is shorter
// than 2 characters. The server name is cut at its first ".".
struct ClusteredServerItems {
  std::string name, state, nodes;
};
bool ParseClusteredServerText(const std::string& text, ClusteredServerItems* items);

// Table 43: node status and upper-cased node name from the lines of "nlbStatus.log" (each cut to
// 79 characters). No status code gives the name "Undefined".
struct NlbNodeStatus {
  int32_t status = 0;
  std::string name;
};
NlbNodeStatus ParseNlbOutput(const std::string& text);

}  // namespace qmx
