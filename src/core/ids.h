// Identifier checks, written out rather than with regular expressions. Pure.
#pragma once

#include <string_view>

namespace qs::ids {

// A document id: 1 to 128 of A-Z, a-z, 0-9, "_" and "-".
bool isDocumentID(std::string_view id);

// A reserved document: a valid id beginning with "_".
bool isReservedID(std::string_view id);

// An image capture id: at least one of A-Z, a-z, 0-9 and "-".
bool isCaptureID(std::string_view id);

// A Claude request id: "r-" and a UUID in its 8-4-4-4-12 hexadecimal form, letters of either
// case. It names a request file and its reply file, so nothing else may pass.
bool isRequestID(std::string_view id);

}  // namespace qs::ids
