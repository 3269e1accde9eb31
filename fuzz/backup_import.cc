// A backup file chosen for import, as anything may be chosen: it is recognised or not, and
// imported whole or refused with nothing written. Whatever it brings in, the library reads.

#include "import/backup_import.h"

#include <variant>

#include "core/file_io.h"
#include "fuzz_target.h"
#include "library/library.h"

using namespace qs;
namespace fs = std::filesystem;

QS_FUZZ_TARGET(backup_import) {
  static fuzz::Scratch scratch;
  const fs::path dir = scratch.fresh();
  const fs::path file = dir / "Quillstone backup.json";
  const fs::path support = dir / "Support";
  fuzz::writeFile(file, input);

  (void)BackupImport::is(file);
  library::Library lib(dir / "Writing", support, {});
  const auto outcome = BackupImport::run(file, lib);

  if (const auto* failure = std::get_if<BackupImport::Failure>(&outcome)) {
    QS_FUZZ_CHECK(!failure->message.empty(), "a refusal says why");
    QS_FUZZ_CHECK(lib.allRecords().empty() && !fs::exists(support / "workspace.json") &&
                      !fs::exists(support / "pretext.json"),
                  "a refused backup writes nothing");
    return;
  }
  const auto& result = std::get<BackupImport::Result>(outcome);
  QS_FUZZ_CHECK(result.failed.size() == result.failed_names.size(),
                "each failed document is named");
  const auto records = lib.allRecords();
  QS_FUZZ_CHECK(lib.problems().empty(), "every package written is one the library can read");
  QS_FUZZ_CHECK(records.size() == static_cast<std::size_t>(result.count),
                "each document brought in is in the library once");
  for (const char* name : {"workspace.json", "pretext.json"}) {
    if (!fs::exists(support / name)) continue;
    const auto text = file_io::readFile(support / name);
    const auto merged = text ? json::parse(*text) : std::nullopt;
    QS_FUZZ_CHECK(merged && merged->is_object(), "the support folder's files stay JSON objects");
  }
}
