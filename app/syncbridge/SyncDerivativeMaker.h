#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "history/Uuid.h"
#include "syncbridge/SyncImageCompressor.h"

namespace harbelle {

class HistoryStore;

// Fills the store's derivative hook: every captured image gets its upload copy beside its
// payload, signed in or not, so images captured before a sign-in sync later.
namespace SyncDerivativeMaker {

// "<UUID>.sync.png" or "<UUID>.sync.jpg", after the derivative's own type.
std::string filename(const Uuid& itemID, const SyncImageDerivative& derivative);

// Any thread: makes the derivative and writes it atomically (0600) into the payload folder.
// Returns its file name, or nothing when there is no derivative or the write failed.
std::optional<std::string> makeAndWrite(const Bytes& png, const Uuid& itemID,
                                        const std::filesystem::path& payloadsURL, SyncImageDerivative& made);

// Main thread. Work runs on the global pool; the result reaches the store on its thread and
// never after the store is gone (the file then stays for the orphan pass).
void install(HistoryStore& store);

}  // namespace SyncDerivativeMaker

}  // namespace harbelle
