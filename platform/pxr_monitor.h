// The framework's monitoring side over HTTP: JSON table access and a Prometheus exposition.
//
//   PXR_HTTP_ADDRESS     host:port to serve on (default 127.0.0.1:19610; "off" serves nothing)
//   PXR_HTTP_TOKEN       bearer token every request must present; required off loopback
//   PXR_SAMPLE_INTERVAL  seconds between the scheduler's sampling rounds (default 60)
#pragma once

namespace pxr {

// Help text of one exported attribute (table name as registered, attribute in lower case).
// Call from the table loader; the latest text for a pair wins.
void SetAttributeHelp(const char* table, const char* attribute, const char* text);

// A counter-backed field: its performance object and counter (named in HELP with the unit) and
// the factor the counter service multiplied the counter's value by, as the definition writes it.
// /metrics divides the field by it, so the value is the counter's own, as perfmon shows it.
void SetCounterHelp(const char* table, const char* attribute, const char* object,
                    const char* counter, const char* scale);

// Registers the monitoring side with the framework once; pxrmain starts it after the loader.
void InstallMonitor();

}  // namespace pxr
