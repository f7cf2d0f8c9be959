// Reads an EWS answer with the platform's XML reader (XmlLite) into an Answer.
#pragma once

#include <string>

#include "ewsproto.h"

namespace qmxews {

// False only when the XML reader itself cannot be had (then `why` says so); a malformed answer
// is reported in answer->malformed.
bool ReadAnswer(const std::string& operation, const std::string& body, Answer* answer,
                std::string* why);

}  // namespace qmxews
