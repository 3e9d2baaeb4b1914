#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "history/ClipItem.h"
#include "legacyimport/LegacyArchive.h"
#include "platform/Pasteboard.h"

namespace harbelle::legacypasteboard {

// Types the outside program preserved that never go back on a clipboard.
bool isSkippedType(std::string_view type);

// The clipboard item of preserved representations: known types under their MIME names, the
// concealed marker also as KDE's password-manager hint, everything else left out. Nothing when
// no representation is usable.
std::optional<PasteboardObject> itemFromRepresentations(std::vector<LegacyRepresentation> representations);

// An imported clip's clipboard item, rebuilt from its archive file; nothing when the clip has
// no archive or the archive cannot be read.
std::optional<PasteboardObject> makeLegacyPasteboardItem(const ClipItem& clip, const std::filesystem::path& payloadsURL,
                                                        bool plainText);

}  // namespace harbelle::legacypasteboard
