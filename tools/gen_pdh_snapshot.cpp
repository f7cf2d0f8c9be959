// Writes the demo counter snapshot for the PDH stand-in from the counter set definitions: every
// performance object and counter they name, with the instances such an object has on one Exchange
// 2010 SP1 server (mailbox databases, no storage groups), and made-up but consistent values:
// a total instance holds the sum of the others (their mean for percentages and latencies), and a
// current or pending count stays below any total. gen_pdh_snapshot <output.tsv>   (or "-")
//
// The values are derived from the names alone, so the output changes only when the definitions do.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "counter_set.h"
#include "counter_set_strings.h"

namespace {

uint32_t Hash(const std::string& s) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (unsigned char c : s) h = (h ^ c) * 16777619u;
  return h;
}

bool Has(const std::string& name, const char* part) {
  std::string a, b(part);
  for (char c : name) a += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  for (char& c : b) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return a.find(b) != std::string::npos;
}

// Two instance names that such an object has on a mailbox or hub server.
std::vector<std::string> InstancesOf(const std::string& object) {
  static const std::map<std::string, std::vector<std::string>> known = {
      {"Database", {"Information Store", "edgetransport"}},
      {"MSExchange Database", {"Information Store", "edgetransport"}},
      {"Database ==> Instances", {"Information Store/Mailbox Database 0311695863", "Information Store/Mailbox Database 1817405921"}},
      {"MSExchange Database ==> Instances", {"Information Store/Mailbox Database 0311695863", "Information Store/Mailbox Database 1817405921"}},
      {"MSExchangeIS Mailbox", {"Mailbox Database 0311695863", "Mailbox Database 1817405921", "_Total"}},
      {"MSExchangeIS Public", {"Public Folder Database 0524888107", "_Total"}},
      {"SMTP Server", {"SMTP 1", "SMTP 2"}},
      {"MSExchangeMTA Connections", {"Internet Mail Connector", "Routing Group Connector"}},
      {"MSExchangeIS Client", {"Outlook", "OWA"}},
      {"MSExchangeTransport Queues", {"internal", "external", "_total"}},
      {"MSExchangeTransport SmtpReceive", {"Default EXHUB01", "Client EXHUB01"}},
      {"MSExchangeTransport SmtpSend", {"Internet Send Connector", "Intra-Organization SMTP Send Connector"}},
      {"Microsoft Forefront Server Security Scan", {"Realtime", "Manual"}},
  };
  auto it = known.find(object);
  if (it != known.end()) return it->second;
  if (Has(object, "Database") || Has(object, "Mdb") || Has(object, "Active Manager") ||
      Has(object, "Mail Submission") || Has(object, "Shadow Redundancy"))
    return {"Mailbox Database 0311695863", "Mailbox Database 1817405921"};
  if (Has(object, "Forefront")) return {"Mailbox Database 0311695863", "Mailbox Database 1817405921"};
  if (Has(object, "Assistant"))
    return {"msexchangemailboxassistants-Calendar Assistant",
            "msexchangemailboxassistants-Resource Booking Attendant", "msexchangemailboxassistants-Total"};
  return {"msexchangetransport", "store"};  // per-process objects
}

// A value of the kind the counter's name suggests; scaled, it stays well inside its field.
std::string ValueFor(const std::string& object, const std::string& instance, const qmx::CounterField& f) {
  const std::string& counter = f.name;
  uint32_t h = Hash(object + "\t" + instance + "\t" + counter);
  char buf[64];
  if (Has(counter, "Timestamp") && f.size == 8) {
    // A file time in 2012, for the 8-byte time stamp fields.
    snprintf(buf, sizeof buf, "%llu", 129700000000000000ULL + static_cast<unsigned long long>(h) * 1000ULL);
  } else if (Has(counter, "%") || Has(counter, "Percent")) {
    snprintf(buf, sizeof buf, "%u.%02u", 40 + h % 60, (h >> 8) % 100);
  } else if (Has(counter, "/sec") || Has(counter, "per second")) {
    snprintf(buf, sizeof buf, "%u.%02u", h % 250, (h >> 8) % 100);
  } else if (Has(counter, "(MB)")) {
    snprintf(buf, sizeof buf, "%u", 100 + h % 8000);
  } else if (Has(counter, "bytes") || Has(counter, "size") || Has(counter, "memory")) {
    // Bytes when the definition scales them down to kilo- or megabytes, kilobytes otherwise.
    unsigned long long v = (1u + h % 900) * 1048576ULL;
    while (v > 1000 && static_cast<double>(v) * f.scale > 2.0e7) v /= 1024;
    snprintf(buf, sizeof buf, "%llu", v);
  } else if (Has(counter, "latency") || Has(counter, "time") || Has(counter, "msec")) {
    snprintf(buf, sizeof buf, "%u", 5 + h % 400);
  } else if (Has(counter, "total") || Has(counter, "peak")) {
    // Totals since start and peaks: above every current count (those stay below 5000).
    snprintf(buf, sizeof buf, "%u", 100000 + h % 900000);
  } else if (Has(counter, "current") || Has(counter, "pending") || Has(counter, "waiting") ||
             Has(counter, "active") || Has(counter, "outstanding")) {
    snprintf(buf, sizeof buf, "%u", h % 200);
  } else {
    snprintf(buf, sizeof buf, "%u", h % 5000);
  }
  return buf;
}

bool IsTotal(const std::string& instance) {
  std::string lower;
  for (char c : instance) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return lower == "_total" || (lower.size() > 6 && lower.compare(lower.size() - 6, 6, "-total") == 0);
}

// A total instance: the sum of the other instances, or their mean where a sum means nothing.
std::string TotalFor(const std::string& object, const std::vector<std::string>& instances,
                     const qmx::CounterField& f) {
  double sum = 0;
  int n = 0;
  bool fraction = false;
  for (const std::string& inst : instances) {
    if (IsTotal(inst)) continue;
    std::string v = ValueFor(object, inst, f);
    fraction = fraction || v.find('.') != std::string::npos;
    sum += std::stod(v);
    ++n;
  }
  const std::string& c = f.name;
  bool mean = Has(c, "%") || Has(c, "percent") || Has(c, "latency") || Has(c, "average") ||
              Has(c, "ratio") || Has(c, "timestamp");
  double v = mean && n > 0 ? sum / n : sum;
  char buf[64];
  if (fraction)
    snprintf(buf, sizeof buf, "%.2f", v);
  else
    snprintf(buf, sizeof buf, "%.0f", v);
  return buf;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s output.tsv|-\n", argv[0]);
    return 2;
  }
  std::ostringstream out;
  out << "# SAMPLE DATA for the demo: one Exchange 2010 SP1 server, made-up values, not measured on\n"
      << "# any server.\n"
      << "# Generated by tools/gen_pdh_snapshot.cpp from the counter set definitions; do not edit.\n"
      << "# Counter snapshot of the PDH stand-in: object<TAB>instance<TAB>counter<TAB>value\n";
  std::set<std::string> written;  // object, instance and counter already given
  for (int id : qmx::CounterSetIds()) {
    std::vector<std::string> strings;
    if (!qmx::CounterSetStrings(id, &strings) || strings.size() != 5) {
      std::fprintf(stderr, "%s: definition %d has no strings\n", argv[0], id);
      return 1;
    }
    std::string five[5];
    for (int k = 0; k < 5; ++k) five[k] = strings[k];
    qmx::CounterSetDefinition def;
    std::string error;
    if (!qmx::ParseCounterSet(five, &def, &error)) {
      std::fprintf(stderr, "%s: definition %d: %s\n", argv[0], id, error.c_str());
      return 1;
    }
    std::vector<std::string> instances =
        def.multiInstance() ? InstancesOf(def.object) : std::vector<std::string>{std::string()};
    out << "# " << id << ": " << def.object << "\n";
    for (const std::string& inst : instances)
      for (const qmx::CounterField& f : def.fields) {
        if (f.isInstance()) continue;
        std::string key = def.object + "\t" + inst + "\t" + f.name;
        if (!written.insert(key).second) continue;
        std::string value = IsTotal(inst) ? TotalFor(def.object, instances, f) : ValueFor(def.object, inst, f);
        out << key << "\t" << value << "\n";
      }
  }
  if (std::string(argv[1]) == "-") {
    std::cout << out.str();
    return std::cout ? 0 : 1;
  }
  std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
  file << out.str();
  return file ? 0 : 1;
}
