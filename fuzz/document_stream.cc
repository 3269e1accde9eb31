// A package's "document.json" read in one pass gives what its tree gives: the doc's compact text
// byte for byte, its id and `created`, the format and the record's rev; a text the tree refuses
// is refused, and where the pass leaves the text to the tree, the tree reads it.

#include "library/document_stream.h"

#include <cstring>

#include "fuzz_target.h"
#include "library/package.h"

using namespace qs;

QS_FUZZ_TARGET(document_stream) {
  using library::StreamOutcome;
  library::StreamedDocument streamed;
  const StreamOutcome outcome = library::streamDocument(input, true, streamed);
  const std::string doc_text(streamed.doc);  // the next pass reuses the memory it points into
  library::StreamedDocument identity;
  const StreamOutcome identity_outcome = library::streamDocument(input, false, identity);
  const auto tree = json::parse(input);
  // Left to the tree, the text is the tree's to refuse or read.
  QS_FUZZ_CHECK(
      outcome == StreamOutcome::kNeedsTree || (outcome == StreamOutcome::kNotJSON) == !tree,
      "refused where the tree is");
  QS_FUZZ_CHECK(identity_outcome == StreamOutcome::kNeedsTree ||
                    (identity_outcome == StreamOutcome::kNotJSON) == !tree,
                "refused where the tree is, when only the id is wanted");
  if (!tree) return;

  const json::object* envelope = tree->if_object();
  const json::object* doc = envelope ? json::findObject(*envelope, "doc") : nullptr;
  const auto id = doc ? json::findString(*doc, "id") : std::nullopt;
  if (identity_outcome == StreamOutcome::kRead) {
    QS_FUZZ_CHECK(identity.id == id, "the id alone is the tree's");
  }
  if (outcome != StreamOutcome::kRead) return;

  QS_FUZZ_CHECK(streamed.id == id, "the id is the tree's");
  QS_FUZZ_CHECK(streamed.doc_written == (doc != nullptr), "a doc that is an object is written");
  if (doc) QS_FUZZ_CHECK(json::compact(*doc) == doc_text, "the doc's text is the tree's");
  QS_FUZZ_CHECK(
      streamed.format == (envelope && json::findString(*envelope, "format") == library::kFormat),
      "the format is the tree's");
  const json::object* record = envelope ? json::findObject(*envelope, "record") : nullptr;
  const json::value* rev = record ? record->if_contains("rev") : nullptr;
  QS_FUZZ_CHECK(streamed.rev.has_value() == (rev != nullptr), "a rev where the tree has one");
  if (rev) {
    QS_FUZZ_CHECK(
        rev->kind() == streamed.rev->kind() && json::compact(*rev) == json::compact(*streamed.rev),
        "the rev is the tree's");
  }
  const json::value* created = doc ? doc->if_contains("created") : nullptr;
  const double expected = created ? json::asNumber(*created).value_or(0) : 0;
  QS_FUZZ_CHECK(std::memcmp(&expected, &streamed.created, sizeof expected) == 0,
                "`created` is the tree's");
}
