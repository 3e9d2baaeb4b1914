#pragma once

namespace harbelle {

class HistoryStore;

// The one-time import of the outside application's history into the store.
class PasteNowImporter {
public:
    static constexpr const char* kImportedKey = "pasteNowHistoryImportedV2";
    static constexpr const char* kSourceName = "PasteNow";

    // Starts the import when it has not completed before and the outside database exists;
    // returns at once. Start-up calls it at most once per process and never in demo mode.
    static void importIfNeeded(HistoryStore& store);

    PasteNowImporter() = delete;
};

}  // namespace harbelle
