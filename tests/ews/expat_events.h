// Test support for the host build: feeds an answer through expat into the AnswerReader, as the
// Windows build feeds it through XmlLite.
#pragma once

#include <string>

#include "ewsproto.h"

namespace qmxews {

Answer ReadWithExpat(const std::string& operation, const std::string& body);

}  // namespace qmxews
