// Reader of the counter snapshot behind the PDH stand-in.
#include "snapshot.h"

#include <charconv>
#include <climits>

namespace pdhsi {

std::string Lower(const std::string& text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

int Object::InstanceSlot(const std::string& instance) const {
  if (instance.empty()) return hasNoInstance ? 0 : -1;
  auto it = instanceIndex.find(Lower(instance));
  return it == instanceIndex.end() ? -1 : it->second;
}

int Object::CounterSlot(const std::string& counter) const {
  auto it = counterIndex.find(Lower(counter));
  return it == counterIndex.end() ? -1 : it->second;
}

const Object* Snapshot::Find(const std::string& object) const {
  auto it = objectIndex.find(Lower(object));
  return it == objectIndex.end() ? nullptr : &objects[it->second];
}

bool ParseNumber(const std::string& text, Value* out) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  size_t intStart = i;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  size_t intDigits = i - intStart;
  size_t fracDigits = 0;
  bool hasPoint = false;
  if (i < text.size() && text[i] == '.') {
    hasPoint = true;
    size_t fracStart = ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    fracDigits = i - fracStart;
  }
  if (i != text.size() || intDigits + fracDigits == 0) return false;

  // from_chars takes neither a sign nor a bare ".5"; it is locale-independent, unlike strtod.
  std::string plain = (negative ? "-" : "") + (intDigits ? text.substr(intStart, intDigits) : "0");
  if (hasPoint && fracDigits) plain += "." + text.substr(intStart + intDigits + 1, fracDigits);
  double number = 0;
  auto res = std::from_chars(plain.data(), plain.data() + plain.size(), number);
  if (res.ec != std::errc() || res.ptr != plain.data() + plain.size()) return false;

  Value v;
  v.number = number;
  if (!hasPoint) {
    // Exact integer when it fits: 64-bit counters (file times) lose their low digits as doubles.
    unsigned long long magnitude = 0;
    bool fits = true;
    for (size_t k = intStart; k < intStart + intDigits && fits; ++k) {
      unsigned digit = static_cast<unsigned>(text[k] - '0');
      if (magnitude > (ULLONG_MAX - digit) / 10) fits = false;
      else magnitude = magnitude * 10 + digit;
    }
    unsigned long long limit = negative ? static_cast<unsigned long long>(LLONG_MAX) + 1 : LLONG_MAX;
    if (fits && magnitude <= limit) {
      v.exact = true;
      v.integer = negative ? static_cast<long long>(0 - magnitude) : static_cast<long long>(magnitude);
    }
  }
  *out = v;
  return true;
}

namespace {

bool ValidUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 9;
    if (n == 9 || (n == 1 && c < 0xC2) || i + n >= s.size()) return false;
    unsigned cp = n == 0 ? c : n == 1 ? (c & 0x1F) : n == 2 ? (c & 0x0F) : (c & 0x07);
    for (size_t k = 1; k <= n; ++k) {
      unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((n == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    i += n + 1;
  }
  return true;
}

// A name that a counter path can carry: not empty (the instance may be), no backslash, no control
// characters. An object name may not hold "(" either, or the path would not split.
bool UsableName(const std::string& s, bool isObject) {
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || c == '\\' || (isObject && c == '(')) return false;
  }
  return ValidUtf8(s);
}

std::string TrimBlanks(const std::string& s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(' ');
  return s.substr(b, e - b + 1);
}

}  // namespace

Snapshot ParseSnapshot(const std::string& text) {
  Snapshot snap;
  size_t pos = 0;
  // A byte order mark is not part of the first object's name.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;

    std::string field[4];
    size_t start = 0;
    int n = 0;
    bool ok = true;
    for (;;) {
      size_t tab = line.find('\t', start);
      if (n == 4) { ok = false; break; }
      field[n++] = line.substr(start, tab == std::string::npos ? std::string::npos : tab - start);
      if (tab == std::string::npos) break;
      start = tab + 1;
    }
    Value value;
    if (!ok || n != 4 || field[0].empty() || field[2].empty() || !UsableName(field[0], true) ||
        !UsableName(field[1], false) || !UsableName(field[2], false) ||
        !ParseNumber(TrimBlanks(field[3]), &value)) {
      ++snap.skippedLines;
      continue;
    }

    std::string objKey = Lower(field[0]);
    auto oit = snap.objectIndex.find(objKey);
    if (oit == snap.objectIndex.end()) {
      oit = snap.objectIndex.emplace(objKey, static_cast<int>(snap.objects.size())).first;
      snap.objects.emplace_back();
      snap.objects.back().name = field[0];
    }
    Object& obj = snap.objects[oit->second];

    int slot = 0;
    if (field[1].empty()) {
      obj.hasNoInstance = true;
    } else {
      auto iit = obj.instanceIndex.find(Lower(field[1]));
      if (iit == obj.instanceIndex.end()) {
        obj.instances.push_back(field[1]);
        iit = obj.instanceIndex.emplace(Lower(field[1]), static_cast<int>(obj.instances.size())).first;
      }
      slot = iit->second;
    }
    auto cit = obj.counterIndex.find(Lower(field[2]));
    if (cit == obj.counterIndex.end()) {
      obj.counters.push_back(field[2]);
      cit = obj.counterIndex.emplace(Lower(field[2]), static_cast<int>(obj.counters.size() - 1)).first;
    }
    obj.values[Object::Key(slot, cit->second)] = value;
  }
  return snap;
}

}  // namespace pdhsi
