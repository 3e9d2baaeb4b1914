#include "legacyimport/PasteNowImporter.h"

namespace harbelle {

void PasteNowImporter::importIfNeeded(HistoryStore& /*store*/) {
    // The reader of the outside database joins with the archive decoder; until then there is
    // nothing to import and the imported flag stays unwritten, so the import runs once it exists.
}

}  // namespace harbelle
