// A package's "document.json" read in one pass, without building its tree: the doc is written
// in compact form as it is parsed, and what the library keeps beside it (the doc's id and
// `created`, the envelope's format, the record's rev) is picked up on the way. The text is the
// one json::compact gives for the doc json::parse reads, and a text json::parse refuses is
// refused here. What this pass doesn't decide (a key given twice in an object, an image
// reference to restore, a rev that is no single value) is left to the tree.
//
// Threads: any; each thread has its own buffer for the text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/json.h"

namespace qs::library {

struct StreamedDocument {
  std::optional<std::string> id;   // the doc's id, when the envelope and doc are objects
  bool doc_written = false;        // the doc is an object and `doc` holds its compact text
  std::string_view doc;            // valid until this thread's next read
  bool format = false;             // the envelope's format is the app's
  std::optional<json::value> rev;  // the record's rev, when the record has one
  double created = 0;              // the doc's `created` as a number, or 0
};

enum class StreamOutcome {
  kRead,       // `out` holds what the text says
  kNotJSON,    // json::parse refuses the text
  kNeedsTree,  // read it as a tree (json::parse) instead
};

// `write_doc` false: only the id is wanted, and the doc isn't written.
StreamOutcome streamDocument(std::string_view bytes, bool write_doc, StreamedDocument& out);

}  // namespace qs::library
