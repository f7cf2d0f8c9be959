#include "qmxactdir_portable.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct CodeText {
  unsigned code;
  const char* text;
};

// By the last four hexadecimal digits of the code.
const CodeText kLdapTexts[] = {
    {5, "User has insufficient access rights."},
    {8, "System is out of memory."},
    {31, "Unknown error."},
    {234, "Partial results and referrals received."},
    {1223, "User cancelled the operation."},
    {1225, "Cannot establish the connection."},
    {1326, "Supplied credential is invalid."},
    {1460, "Search timed out."},
    {5010, "Object already exists."},
    {8202, "Requested attribute does not exist."},
    {8203, "Syntax is invalid."},
    {8204, "Type not defined."},
    {8205, "Attribute exists or the value has been assigned."},
    {8206, "Server is busy."},
    {8207, "Server is not available."},
    {8212, "Object class violation."},
    {8213, "Operation is not allowed on a non- leaf object."},
    {8214, "Operation is not allowed on an RDN."},
    {8215, "Cannot modify object class."},
    {8224, "Operation error occurred."},
    {8225, "Protocol error occurred."},
    {8226, "Exceeded time limit."},
    {8227, "Exceeded size limit."},
    {8228, "Exceeded administration limit on the server."},
    {8229, "Compare yielded FALSE."},
    {8230, "Compare yielded TRUE."},
    {8231, "The authentication method is not supported."},
    {8232, "Strong authentication is required."},
    {8233, "Authentication is inappropriate."},
    {8234, "Unknown authentication error occurred."},
    {8235, "Cannot resolve referral."},
    {8236, "Critical extension is unavailable."},
    {8237, "Confidentiality is required."},
    {8238, "There was an inappropriate matching."},
    {8239, "There was a constrain violation."},
    {8240, "Object does not exist."},
    {8241, "Alias is invalid."},
    {8242, "Distinguished name has an invalid syntax."},
    {8243, "The object is a leaf."},
    {8244, "Cannot dereference the alias."},
    {8245, "Server cannot perform operation."},
    {8246, "Loop was detected."},
    {8247, "There was a naming violation."},
    {8248, "Results set is too large."},
    {8249, "Multiple directory service agents are affected."},
    {8250, "Cannot contact the LDAP server."},
    {8251, "Local error occurred."},
    {8252, "Encoding error occurred."},
    {8253, "Decoding error occurred."},
    {8254, "The search filter is bad."},
    {8255, "A bad parameter was passed to a function."},
    {8256, "Feature not supported."},
    {8257, "Results are not returned."},
    {8258, "Control was not found."},
    {8259, "Client loop was detected."},
    {8260, "Exceeded referral limit."},
};

// Second table, by the same number; its own texts end with a blank. (It also carries 5, 8, 31,
// 234 and 1223, which the first table always answers.)
const CodeText kWin32Texts[] = {
    {2, "Object does not exist. "},
    {55, "Server is not available. "},
    {58, "Cannot contact the LDAP server. "},
    {59, "Encoding error occurred. "},
    {68, "Exceeded administration limit on the server. "},
    {86, "Invalid credential. "},
    {87, "Distinguished name has an invalid syntax. "},
    {110, "Operation error occurred. "},
    {122, "Results set is too large. "},
    {123, "Invalid syntax. "},
    {124, "Protocol error. "},
    {183, "Object already exists. "},
    {1003, "Server cannot perform operation."},
    {1053, "Search timed out. "},
    {1208, "Cannot resolve referral. "},
    {1816, "Exceeded time limit. "},
};

// Search status codes by the number; ADSI errors by the whole code.
const CodeText kSearchTexts[] = {
    {20497, "During a query, one or more errors occurred."},
    {20498, "The search operation has reached the last row."},
    {20499, "The search operation has reached the last column for the current row."},
};
const CodeText kAdsiTexts[] = {
    {0x80005000u, "An invalid ADSI pathname was passed."},
    {0x80005001u, "An unknown ADSI domain object was requested."},
    {0x80005002u, "An unknown ADSI user object was requested."},
    {0x80005003u, "An unknown ADSI computer object was requested."},
    {0x80005004u, "An unknown ADSI object was requested."},
    {0x80005005u, "The specified ADSI property was not set."},
    {0x80005006u, "The specified ADSI property is not supported."},
    {0x80005007u, "The specified ADSI property is invalid."},
    {0x80005008u, "One or more input parameters are invalid."},
    {0x80005009u, "The specified ADSI object is not bound to a remote resource."},
    {0x8000500Au, "The specified ADSI object has not been modified."},
    {0x8000500Bu, "The specified ADSI object has been modified."},
    {0x8000500Cu, "The data type cannot be converted to/from a native DS data type."},
    {0x8000500Du, "The property cannot be found in the cache."},
    {0x8000500Eu, "The ADSI object exists. Use a different name to create the object."},
    {0x8000500Fu, "The attempted action violates the directory service schema rules."},
    {0x80005010u, "The specified column in the ADSI was not set."},
    {0x80005014u, "The specified search filter is invalid."},
};

template <size_t N>
const char* Lookup(const CodeText (&table)[N], unsigned code) {
  for (const CodeText& e : table)
    if (e.code == code) return e.text;
  return nullptr;
}

void CopyText(const char* text, char* out, size_t size) {
  if (!out || size == 0) return;
  std::snprintf(out, size, "%s", text);
}

struct RoleEntry {
  long long value;
  const char* text;
};
const RoleEntry kRoleTexts[] = {
    {2, "Mailbox Role"},
    {4, "Client Access Role"},
    {6, "MailBox Role, Client Access Role"},
    {16, "Unified Messaging Role"},
    {18, "Mailbox Role, Unified Messaging Role"},
    {20, "Client Access Role, Unified Messaging Role"},
    {22, "Mailbox Role, Client Access Role, Unified Messaging Role"},
    {32, "Hub Transport Role"},
    {34, "Mailbox Role, Hub Transport Role"},
    {36, "Client Access Role, Hub Transport Role"},
    {38, "Mailbox Role, Client Access Role, Hub Transport Role"},
    {48, "Unified Messaging Role, Hub Transport Role"},
    {50, "Mailbox Role, Unified Messaging Role, Hub Transport Role"},
    {52, "Client Access Role, Unified Messaging Role, Hub Transport Role"},
    {54, "Mailbox Role, Client Access Role, Unified Messaging Role, Hub Transport Role"},
    {64, "Edge Tranport Role"},
};

const char kTopologyHeader[] = "######  Topology Data - Number of Machines ######'";

}  // namespace

int ADsErrorText(long code, char* codeText, size_t codeTextSize, char* message,
                 size_t messageSize) {
  const unsigned whole = static_cast<unsigned>(code);
  const unsigned n = whole & 0xFFFFu;  // the last four hexadecimal digits
  const char* text = Lookup(kLdapTexts, n);
  if (!text) text = Lookup(kWin32Texts, n);
  if (!text) text = Lookup(kSearchTexts, n);
  if (!text) text = Lookup(kAdsiTexts, whole);
  if (!text) text = "Message text not found.";
  if (message && messageSize) CopyText(text, message, messageSize < 4096 ? messageSize : 4096);
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%x", whole);
  size_t len = std::strlen(hex);
  char ads[16] = "ADS";
  std::strcat(ads, hex + (len > 4 ? len - 4 : 0));
  for (char* p = ads; *p; ++p) *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  CopyText(ads, codeText, codeTextSize < 15 ? codeTextSize : 15);
  return 0;
}

namespace qmx::ad {

const char* RoleText(long long roles) {
  for (const RoleEntry& e : kRoleTexts)
    if (e.value == roles) return e.text;
  return "";
}

std::vector<ServerRoleRecord> SplitRoleList(const std::string& list) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t end = list.find(';', start);
    if (end == std::string::npos) {
      fields.push_back(list.substr(start));
      break;
    }
    fields.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  std::vector<ServerRoleRecord> records(fields.size() / 3);
  for (size_t i = 0; i < records.size(); ++i)
    records[i] = ServerRoleRecord{fields[3 * i], fields[3 * i + 1], fields[3 * i + 2]};
  return records;
}

std::string FormatTopology(const std::vector<ServerRoleRecord>& records) {
  std::string text = kTopologyHeader + std::to_string(records.size()) + "'\n";
  for (const ServerRoleRecord& r : records) text += r.server + ";" + r.domain + ";" + r.role + "\n";
  return text;
}

std::vector<ServerRoleRecord> ParseTopology(const std::string& text) {
  std::vector<ServerRoleRecord> out;
  size_t lineEnd = text.find('\n');
  std::string header = text.substr(0, lineEnd);
  size_t quote = header.find('\'');
  if (quote == std::string::npos) return out;
  long long count = std::strtoll(header.c_str() + quote + 1, nullptr, 10);
  if (count <= 0) return out;
  size_t pos = lineEnd == std::string::npos ? text.size() : lineEnd + 1;
  while (pos < text.size() && static_cast<long long>(out.size()) < count) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos) continue;
    line.erase(0, first);
    if (line[0] == '#') continue;
    ServerRoleRecord r;
    size_t a = line.find(';');
    r.server = line.substr(0, a);
    if (a != std::string::npos) {
      size_t b = line.find(';', a + 1);
      r.domain = line.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
      if (b != std::string::npos) {
        size_t c = line.find(';', b + 1);
        r.role = line.substr(b + 1, c == std::string::npos ? std::string::npos : c - b - 1);
      }
    }
    out.push_back(std::move(r));
  }
  return out;
}

long TopologyInterval(const char* setting) {
  if (!setting || !*setting) return -1;
  char* end = nullptr;
  long long v = std::strtoll(setting, &end, 10);
  if (end == setting || v < 1) return -1;
  if (v <= 300) return 300;
  // Sleep takes milliseconds in 32 bits.
  return v > 4000000 ? 4000000 : static_cast<long>(v);
}

std::string CommonName(const std::string& dn) {
  if (dn.size() < 3 || std::toupper(static_cast<unsigned char>(dn[0])) != 'C' ||
      std::toupper(static_cast<unsigned char>(dn[1])) != 'N' || dn[2] != '=')
    return std::string();
  std::string out;
  for (size_t i = 3; i < dn.size(); ++i) {
    if (dn[i] == '\\' && i + 1 < dn.size()) {
      out += dn[++i];
      continue;
    }
    if (dn[i] == ',') break;
    out += dn[i];
  }
  return out;
}

std::string WitnessServer(const std::string& share) {
  if (share.size() < 3 || share[0] != '\\' || share[1] != '\\') return std::string();
  return share.substr(2, share.find('\\', 2) - 2);
}

bool ParseDecimal(const std::string& text, long long* out) {
  if (text.empty() || text.size() > 20) return false;
  size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (i == text.size()) return false;
  for (size_t j = i; j < text.size(); ++j)
    if (!std::isdigit(static_cast<unsigned char>(text[j]))) return false;
  errno = 0;
  long long v = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE) return false;
  *out = v;
  return true;
}

int32_t ActivationPreference(long long value) {
  long long p = value / 268435456LL;  // 2^28
  if (p > INT32_MAX) return INT32_MAX;
  if (p < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(p);
}

int32_t ReplayLagMinutes(long long seconds) {
  long long m = seconds / 60;
  if (m > INT32_MAX) return INT32_MAX;
  if (m < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(m);
}

bool SimpleBind(const char* setting, bool* usable) {
  *usable = true;
  if (!setting || !*setting) return false;
  std::string s(setting);
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (s == "secure") return false;
  if (s == "simple") return true;
  *usable = false;
  return false;
}

bool UsableServerName(const std::string& name) {
  if (name.empty()) return true;
  if (name.size() > 253) return false;
  if (name.front() == '[') {  // IPv6 in brackets
    if (name.back() != ']' || name.size() < 4) return false;
    for (size_t i = 1; i + 1 < name.size(); ++i)
      if (!std::isxdigit(static_cast<unsigned char>(name[i])) && name[i] != ':' && name[i] != '.')
        return false;
    return true;
  }
  size_t label = 0;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '.') {
      if (label == 0 || label > 63) return false;
      if (name[i - 1] == '-' || name[i - label] == '-') return false;
      label = 0;
      continue;
    }
    char c = name[i];
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
    ++label;
  }
  return true;
}

}  // namespace qmx::ad
