// The monitoring side's formats: rows decoded by their attribute information into JSON and
// Prometheus text, query strings and row conditions. No operating system calls here.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "pxr.h"

namespace pxr_http {

using Json = nlohmann::ordered_json;

// One attribute as GetAttributeInfo reports it (the name copied: the layout outlives the object).
struct Attribute {
  std::string name;
  uint16_t offset = 0;
  uint16_t width = 0;
  uint16_t type = 0;
};

struct TableLayout {
  std::string application;
  std::string table;
  int rowSize = 0;
  int step = 0;
  std::vector<Attribute> attributes;
};

// Asks an open request object for its row layout. False when an index the count promised fails.
bool DescribeRequest(vorta* object, TableLayout* layout);

// UTF-8 with every invalid sequence replaced by U+FFFD.
std::string SanitizeUtf8(std::string_view text);

// Text field as shown: up to the first NUL, trailing blanks dropped, invalid UTF-8 replaced.
std::string FieldText(const char* field, size_t width);

// True when the attribute lies inside the row and its type and width make sense together.
bool FieldFits(const Attribute& a, int rowSize);
bool IsIntegerType(uint16_t type);
bool IsTextType(uint16_t type);
// Integer value of a type 3 or 13 field; false for other types or a field outside the row.
bool FieldInteger(const char* row, int rowSize, const Attribute& a, long long* value);

// {"application", "name", "rowSize", "step", "attributes": [{"name", "offset", "width", "type"}]}
Json TableJson(const TableLayout& layout);
// {attribute: value, ...} keyed by the lower-case names, in attribute order.
Json RowJson(const char* row, const TableLayout& layout);
Json ErrorJson(const std::string& message);
// Serialised; never throws on odd bytes (they are replaced).
std::string Dump(const Json& json);

// Query string into decoded name/value pairs ("+" is a blank). False with a reason on bad
// percent-encoding or a decoded NUL.
bool ParseQuery(std::string_view query, std::vector<std::pair<std::string, std::string>>* params,
                std::string* error);
bool PercentDecode(std::string_view text, bool plusIsBlank, std::string* out);

// "ATTRIBUTE:OP:VALUE"; the value may itself hold colons, the attribute is taken in any case
// (the framework's names are upper case). False with a reason when malformed.
bool ParseCondition(const std::string& text, RequestCondition* condition, std::string* error);
// The condition names an attribute of the layout and, for integers, gives a whole number.
bool CheckCondition(const RequestCondition& condition, const TableLayout& layout,
                    std::string* error);

// Prometheus naming: lower case, anything outside [a-z0-9_] becomes "_", no leading digit.
// An attribute named count, sum or bucket gets "_value" after it (those endings are reserved).
std::string MetricName(const std::string& table, const std::string& attribute);
std::string LabelName(const std::string& attribute);
std::string EscapeLabelValue(std::string_view value);
std::string EscapeHelp(std::string_view text);

// What the exposition says of an attribute: its help text (empty for the default) and, for a
// counter-backed field, the factor the counter service multiplied the counter's value by.
struct MetricHelp {
  std::string text;
  double scale = 1;
};
using HelpLookup = std::function<MetricHelp(const std::string& table, const std::string& attribute)>;

// Help of a counter-backed field: names the performance object, the counter and its unit.
std::string CounterHelpText(const std::string& object, const std::string& counter);
// The unit a counter's name tells ("per second", "percent", "bytes", ...; "count" otherwise).
std::string CounterUnit(const std::string& counter);
// A field's value as the counter shows it: the stored integer divided by its scale factor,
// written in the shortest form that reads back as the same double.
std::string ScaledValue(long long field, double scale);

// The gauge families of one table's sample: one family per integer attribute except the
// header's sampleno and rowno, each row a line labelled by its text attributes.
std::string FormatTableMetrics(const TableLayout& layout, const char* rows, int count,
                               const HelpLookup& help);

// What the scheduler knows of one table's sampling.
struct SampleStats {
  std::string table;
  bool sampled = false;          // at least one sample finished (well or not)
  double durationSeconds = 0;    // of the last sample
  int rows = 0;                  // of the last good sample
  double lastSuccess = 0;        // seconds since the epoch, 0 before the first success
  uint64_t failures = 0;
  uint64_t skippedRounds = 0;    // rounds that found the table still busy
};
std::string FormatSampleStats(const std::vector<SampleStats>& stats);

// Seconds as Prometheus writes them.
std::string FormatSeconds(double seconds);

}  // namespace pxr_http
