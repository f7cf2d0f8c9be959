#include "qmxstorage_portable.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "qmxactdir_portable.h"
#include "qmxtrace.h"

namespace qmx::storage {
namespace {

bool EqualNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// "CN=" value of a relative name, empty for another attribute.
std::string CnValue(const std::string& rdn) {
  if (rdn.size() < 3 || !EqualNoCase(rdn.substr(0, 3), "CN=")) return std::string();
  return rdn.substr(3);
}

int32_t Int32Field(const std::string& text) {
  long long v = 0;
  if (text.empty()) return 0;
  if (!qmx::ad::ParseDecimal(Trim(text), &v)) return 0;
  return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : static_cast<int32_t>(v);
}

// The owner of a persisted line: its fourth field; empty for a line of three.
struct Line {
  std::string text;
  std::string owner;
};

std::vector<Line> Lines(const std::string& stored) {
  std::vector<Line> out;
  size_t start = 0;
  while (start < stored.size()) {
    size_t end = stored.find('\n', start);
    if (end == std::string::npos) end = stored.size();
    Line l;
    l.text = stored.substr(start, end - start);
    if (!l.text.empty() && l.text.back() == '\r') l.text.pop_back();
    start = end + 1;
    if (Trim(l.text).empty()) continue;
    std::vector<std::string> f = Tokens(l.text);
    if (f.size() >= 4) l.owner = f[3];
    out.push_back(std::move(l));
  }
  return out;
}

double SizeOfLine(const std::string& line) {
  if (line.find(':') == std::string::npos) return 0;
  const std::string first = Trim(line.substr(0, line.find(';')));
  if (first.empty()) return 0;
  char* end = nullptr;
  double v = std::strtod(first.c_str(), &end);
  if (end != first.c_str() + first.size() || !std::isfinite(v) || v < 0) return 0;
  return v;
}

}  // namespace

std::vector<std::string> Tokens(const std::string& text) {
  std::vector<std::string> out;
  if (text.empty()) return out;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) {
      out.push_back(text.substr(start));
      return out;
    }
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

std::string FieldText(const std::string& value) {
  std::string out = value;
  std::replace(out.begin(), out.end(), ';', '_');
  return out;
}

std::vector<std::string> RelativeNames(const std::string& dn) {
  std::vector<std::string> out;
  std::string current;
  bool any = false;
  for (size_t i = 0; i < dn.size(); ++i) {
    any = true;
    if (dn[i] == '\\' && i + 1 < dn.size()) {
      current += dn[++i];
    } else if (dn[i] == ',') {
      out.push_back(Trim(current));
      current.clear();
    } else {
      current += dn[i];
    }
  }
  if (any) out.push_back(Trim(current));
  return out;
}

std::string OwningServer(const std::string& dn) {
  return Trim(qmx::ad::CommonName(Trim(dn)));
}

std::string DnOfAdsPath(const std::string& path) {
  std::string rest = path;
  if (rest.size() >= 7 && EqualNoCase(rest.substr(0, 7), "LDAP://")) rest.erase(0, 7);
  // A server part ends at the first "/" before any "=".
  size_t slash = rest.find('/');
  size_t equals = rest.find('=');
  if (slash != std::string::npos && (equals == std::string::npos || slash < equals))
    rest.erase(0, slash + 1);
  return rest;
}

std::string ParentName(const std::string& adsPath) {
  std::vector<std::string> names = RelativeNames(DnOfAdsPath(adsPath));
  return names.size() < 2 ? std::string() : CnValue(names[1]);
}

bool UnderServer(const std::string& dn, const std::string& server) {
  const std::string name = Trim(server);
  if (name.empty()) return false;
  for (const std::string& rdn : RelativeNames(dn))
    if (EqualNoCase(CnValue(rdn), name)) return true;
  return false;
}

bool UnderInformationStore(const std::string& adsPath) {
  std::vector<std::string> names = RelativeNames(DnOfAdsPath(adsPath));
  for (size_t i = 1; i < names.size(); ++i)
    if (EqualNoCase(CnValue(names[i]), "InformationStore")) return true;
  return false;
}

std::vector<std::string> ServerStorageGroups(const std::vector<StorageGroupObject>& groups,
                                             const std::string& server, int release) {
  QMX_ENTRY();
  std::vector<std::string> out;
  for (const StorageGroupObject& g : groups) {
    if (!UnderServer(g.dn, server)) continue;
    if ((release == 1 || release == 3) && EqualNoCase(Trim(g.baseName), "R00")) {
      QMX_DETAIL("Recovery storage group left out: %s", g.name.c_str());
      continue;
    }
    QMX_DETAIL("This is not an RSG so set the Name");
    out.push_back(g.name);
  }
  return out;
}

std::string DatabaseRecordText(const std::vector<DatabaseObject>& objects, const std::string& server,
                               int release, char type, const std::vector<std::string>* groups) {
  QMX_ENTRY();
  std::string text;
  std::set<std::string> names;          // release 5: database names taken
  std::set<std::string> groupsWithDb;   // upper-cased
  const bool listed = type == 'M' && groups && (release == 1 || release == 3);
  for (const DatabaseObject& o : objects) {
    const std::string owner = OwningServer(o.owningServer);
    QMX_DETAIL("Server name extracted from Active Directory: %s", owner.c_str());
    if (owner.empty() || !EqualNoCase(owner, Trim(server))) continue;
    std::string group;
    if (release == 5) {
      if (UnderInformationStore(o.adsPath)) {
        QMX_DETAIL("Database %s under a storage group left out: Exchange 2010 keeps its databases "
                   "in the Databases container",
                   o.adsPath.c_str());
        continue;
      }
      if (!names.insert(Upper(o.name)).second) {
        QMX_DETAIL("Database %s seen before: one record", o.name.c_str());
        continue;
      }
      group = owner;
    } else {
      if (Upper(o.adsPath).find("CN=POLICIES") != std::string::npos) continue;
      group = ParentName(o.adsPath);
      if (listed && std::none_of(groups->begin(), groups->end(),
                                 [&](const std::string& g) { return EqualNoCase(g, group); })) {
        QMX_DETAIL("Database %s of group %s left out: not a storage group of the server",
                   o.name.c_str(), group.c_str());
        continue;
      }
    }
    groupsWithDb.insert(Upper(group));
    if (!text.empty()) text += ';';
    text += FieldText(group) + ';' + FieldText(o.name) + ';' + FieldText(o.edbFile) + ';' +
            FieldText(o.slvFile) + ';' + std::to_string(Int32Field(o.hardQuota)) + ';' +
            std::to_string(Int32Field(o.warningQuota)) + ';' +
            std::to_string(Int32Field(o.storageQuota)) + ';';
    if (type == 'M') text += std::to_string(o.mailboxes) + ";M";
    else text += "P";
  }
  if (listed) {
    for (const std::string& g : *groups) {
      if (groupsWithDb.count(Upper(g))) continue;
      if (!text.empty()) text += ';';
      text += FieldText(g) + ";;;;;;;;M";
    }
  }
  QMX_DETAIL("Results: %s", text.c_str());
  return text;
}

std::vector<DbFileRecord> ParseRecordText(const std::string& text, int release) {
  QMX_ENTRY();
  std::vector<std::string> f = Tokens(text);
  const bool pub = std::find(f.begin(), f.end(), "P") != f.end();
  const size_t width = pub ? 8 : 9;
  const size_t count = f.size() / width;
  QMX_DETAIL("num file : %d", static_cast<int>(count));
  std::vector<DbFileRecord> out;
  out.reserve(count);
  for (size_t r = 0; r < count; ++r) {
    const std::string* v = &f[r * width];
    const std::string& marker = v[width - 1];
    if (marker != (pub ? "P" : "M")) {
      QMX_ERROR("GetNumDBFiles: record %d ends with \"%s\", not \"%s\": a field is missing or one "
                "too many; left out",
                static_cast<int>(r + 1), marker.c_str(), pub ? "P" : "M");
      continue;
    }
    DbFileRecord d;
    d.storageGroup = release == 5 ? "Undefined" : v[0];
    d.name = v[1];
    d.edbPath = v[2];
    d.stmPath = v[3];
    d.hardQuota = Int32Field(v[4]);
    d.warningQuota = Int32Field(v[5]);
    d.storageQuota = Int32Field(v[6]);
    if (!pub) d.mailboxes = Int32Field(v[7]);
    d.type = pub ? 'P' : 'M';
    out.push_back(std::move(d));
  }
  return out;
}

std::string DriveOf(const std::string& path) {
  if (path.size() < 2 || path[1] != ':' || !std::isalpha(static_cast<unsigned char>(path[0])))
    return std::string();
  return path.substr(0, 2);
}

std::string SummaryText(const std::vector<DbFileRecord>& records, const DriveSpaceQuery& space) {
  QMX_ENTRY();
  std::string text;
  std::set<std::string> counted;  // drives, upper case
  std::set<std::string> done;     // database names
  for (size_t i = 0; i < records.size(); ++i) {
    const std::string& name = records[i].name;
    if (name.empty() || !done.insert(name).second) continue;
    double size = 0, freeMB = 0, totalMB = 0;
    for (size_t j = i; j < records.size(); ++j) {
      if (records[j].name != name) continue;
      size += records[j].sizeBytes;
      for (const std::string* path : {&records[j].edbPath, &records[j].stmPath}) {
        const std::string drive = DriveOf(*path);
        if (drive.empty() || !counted.insert(Upper(drive)).second) continue;
        double f = 0, t = 0;
        if (space(drive, &f, &t)) freeMB += f, totalMB += t;
      }
    }
    char numbers[128];
    std::snprintf(numbers, sizeof numbers, ";%f;%f;%f", size, freeMB, totalMB);
    if (!text.empty()) text += ';';
    text += FieldText(name) + numbers;
  }
  return text;
}

std::vector<StorageGroupDetails> GroupFigures(const std::vector<DbFileRecord>& mailbox,
                                              const std::vector<DbFileRecord>& pub,
                                              const DriveSpaceQuery& space) {
  QMX_ENTRY();
  std::vector<StorageGroupDetails> out;
  std::vector<std::set<std::string>> drives;
  std::vector<const DbFileRecord*> all;
  for (const auto* set : {&mailbox, &pub})
    for (const DbFileRecord& r : *set) all.push_back(&r);
  for (const DbFileRecord* r : all) {
    size_t g = 0;
    while (g < out.size() && out[g].name != r->storageGroup) ++g;
    if (g == out.size()) {
      StorageGroupDetails d;
      d.name = r->storageGroup;
      out.push_back(d);
      drives.emplace_back();
    }
    out[g].sizeBytes += r->sizeBytes;
    if (r->type == 'M') {  // a record's count is any 32-bit number: the sum holds at the limit
      const int64_t sum = int64_t{out[g].mailboxes} + r->mailboxes;
      out[g].mailboxes = static_cast<int32_t>(std::clamp<int64_t>(sum, INT32_MIN, INT32_MAX));
    }
    for (const std::string* path : {&r->edbPath, &r->stmPath}) {
      const std::string drive = DriveOf(*path);
      if (!drive.empty()) drives[g].insert(Upper(drive));
    }
  }
  for (size_t g = 0; g < out.size(); ++g) {
    double freeMB = 0, totalMB = 0;
    for (const std::string& drive : drives[g]) {
      double f = 0, t = 0;
      if (space(drive, &f, &t)) freeMB += f, totalMB += t;
    }
    out[g].freeHundredthsPercent = totalMB > 0 ? freeMB / totalMB * 10000.0 : -1.0;
  }
  return out;
}

double Growth(double size, double previous) {
  if (previous > 0 && size - previous > 1.0) return (size - previous) / previous * 100.0;
  return 0;
}

std::string OwnerText(const std::string& text) {
  std::string out = text.substr(0, 160);
  for (char& c : out)
    if (c == ';' || c == '\n' || c == '\r' || c == '\0') c = '_';
  return out;
}

double PreviousSize(const std::string& stored, const std::string& owner) {
  const std::string mine = OwnerText(owner);
  const std::vector<Line> lines = Lines(stored);
  for (const Line& l : lines)
    if (l.owner == mine) return SizeOfLine(l.text);
  for (const Line& l : lines)
    if (l.owner.empty()) return SizeOfLine(l.text);
  return 0;
}

std::string PersistedValue(const std::string& stored, const std::string& owner, double size,
                           double growth, const std::string& time24, size_t maxChars) {
  const std::string mine = OwnerText(owner);
  char numbers[96];
  std::snprintf(numbers, sizeof numbers, "%f;%f;", size, growth);
  std::string value = numbers + OwnerText(time24) + ";" + mine + "\n";
  for (const Line& l : Lines(stored)) {
    if (l.owner.empty() || l.owner == mine) continue;
    if (value.size() + l.text.size() + 1 > maxChars) break;
    value += l.text + "\n";
  }
  return value;
}

}  // namespace qmx::storage

namespace qmx::storage {
int32_t RowFigure(double value) {
  if (std::isnan(value)) return -1;
  if (value >= 2147483647.0) return INT32_MAX;
  if (value <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(value);
}
}  // namespace qmx::storage
