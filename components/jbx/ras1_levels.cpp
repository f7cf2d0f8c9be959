#include "ras1_levels.h"

#include <cctype>

namespace jbx {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool WordLevel(const std::string& word, uint32_t* bits) {
  static const struct {
    const char* name;
    uint32_t bits;
  } kWords[] = {{"error", 0x80}, {"flow", 0x01}, {"state", 0x10}, {"detail", 0x11},
                {"entry", 0x40}, {"exit", 0x40},  {"all", 0xFF},   {"none", 0x00}};
  const std::string w = Lower(word);
  for (const auto& k : kWords) {
    if (w == k.name) {
      *bits = k.bits;
      return true;
    }
  }
  return false;
}

class Lexer {
 public:
  explicit Lexer(const std::string& s) : s_(s) {}
  void SkipBlanks() {
    while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
  }
  bool AtEnd() {
    SkipBlanks();
    return pos_ >= s_.size();
  }
  char Peek() { return AtEnd() ? '\0' : s_[pos_]; }
  void Advance() { ++pos_; }
  std::string Word() {
    SkipBlanks();
    size_t start = pos_;
    while (pos_ < s_.size() && !std::isspace(static_cast<unsigned char>(s_[pos_])) &&
           s_[pos_] != '(' && s_[pos_] != ')' && s_[pos_] != '>')
      ++pos_;
    return s_.substr(start, pos_ - start);
  }
  std::string Rest() { return s_.substr(pos_); }

 private:
  const std::string& s_;
  size_t pos_ = 0;
};

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

LevelSpec Invalid(const std::string& why) {
  LevelSpec settings;
  settings.valid = false;
  settings.error = why;
  return settings;
}

}  // namespace

LevelSpec ParseLevelSpec(const std::string& text) {
  LevelSpec settings;
  Lexer lex(text);
  bool sawGlobal = false;
  uint32_t global = 0;
  while (!lex.AtEnd()) {
    char c = lex.Peek();
    if (c == '>') {
      lex.Advance();
      settings.output = Trim(lex.Rest());
      break;
    }
    if (c == ')') return Invalid("unexpected ')'");
    if (c == '(') {
      lex.Advance();
      std::string head = lex.Word();
      if (Lower(head.substr(0, 5)) != "unit:" || head.size() <= 5)
        return Invalid("clause must start with UNIT:name");
      UnitClause clause{Lower(head.substr(5)), 0};
      bool any = false;
      while (true) {
        if (lex.AtEnd()) return Invalid("missing ')'");
        if (lex.Peek() == ')') {
          lex.Advance();
          break;
        }
        uint32_t bits = 0;
        std::string w = lex.Word();
        if (w.empty() || !WordLevel(w, &bits)) return Invalid("unknown level '" + w + "'");
        clause.level |= bits;
        any = true;
      }
      if (!any) return Invalid("clause without a level");
      settings.units.push_back(clause);
      continue;
    }
    uint32_t bits = 0;
    std::string w = lex.Word();
    if (w.empty() || !WordLevel(w, &bits)) return Invalid("unknown level '" + w + "'");
    global |= bits;
    sawGlobal = true;
  }
  if (sawGlobal) settings.global = global;
  return settings;
}

std::string UnitName(const std::string& filePath) {
  size_t slash = filePath.find_last_of("/\\");
  std::string base = slash == std::string::npos ? filePath : filePath.substr(slash + 1);
  size_t dot = base.find('.');
  if (dot != std::string::npos) base.resize(dot);
  return Lower(base);
}

uint32_t LevelForUnit(const LevelSpec& settings, const std::string& filePath) {
  const std::string unit = UnitName(filePath);
  uint32_t level = settings.global;
  size_t best = 0;
  for (const UnitClause& c : settings.units) {
    if (c.prefix.size() >= best && unit.compare(0, c.prefix.size(), c.prefix) == 0) {
      best = c.prefix.size();
      level = c.level;
    }
  }
  return level;
}

}  // namespace jbx
