// Fuzz target for the condensing of script output files (every kind) and the readers of the
// condensed cluster text and the load-balancing output. First byte: output kind; second: chunk
// size of the feed. The whole-text and chunked results must agree, and in a store status text
// every store is followed by its state.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qmxscripts_portable.h"

using namespace qmx;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("JBX_RAS1", "NONE", 1);  // the condenser's traces would only slow the run
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const OutputKind kind = static_cast<OutputKind>(data[0] % 6);
  const size_t step = 1u + data[1];
  const std::string input(reinterpret_cast<const char*>(data) + 2, size - 2);

  const std::string whole = CondenseScriptOutput(kind, input);
  OutputCondenser chunked(kind);
  for (size_t i = 0; i < input.size(); i += step)
    chunked.Feed(input.data() + i, std::min(step, input.size() - i));
  if (chunked.Finish() != whole) std::abort();

  if (kind == OutputKind::kStoreStatus && input.find(';') == std::string::npos) {
    std::vector<std::string> items;
    for (size_t s = 0, e; s < whole.size(); s = e + 1) {
      e = whole.find(';', s);
      if (e == std::string::npos) std::abort();  // every item ends with ";"
      items.push_back(whole.substr(s, e - s));
    }
    for (size_t i = 0; i < items.size(); ++i) {
      const std::string& it = items[i];
      bool store = it.rfind("Mailbox Store=", 0) == 0 || it.rfind("Public Store=", 0) == 0;
      bool status = it == "Status=0" || it == "Status=1";
      if (store && (i + 1 >= items.size() || (items[i + 1] != "Status=0" && items[i + 1] != "Status=1")))
        std::abort();
      if (status && (i == 0 || (items[i - 1].rfind("Mailbox Store=", 0) != 0 &&
                                items[i - 1].rfind("Public Store=", 0) != 0)))
        std::abort();
      if (!store && !status && it.rfind("Storage Group=", 0) != 0) std::abort();
    }
  }

  ClusteredServerItems items;
  if (ParseClusteredServerText(input, &items) && items.name.find('.') != std::string::npos) std::abort();
  NlbNodeStatus node = ParseNlbOutput(input);
  if (node.name.size() > 79) std::abort();
  return 0;
}
