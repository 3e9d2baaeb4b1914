#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// File handling shared by the history file and the settings file: JSON that cannot exhaust the
// stack, whole-file replacement that keeps a symbolic link a link, and clean-up of our own
// temporary files left by a process that died mid-save.
namespace harbelle::filesafety {

// Deeper nesting than any file of ours ever has; more is treated as a damaged file.
inline constexpr int kMaximumJsonDepth = 64;

// Writes every byte, retrying interrupted and short writes; false on any other failure.
bool writeAll(int fd, std::string_view bytes);

// Whether no array or object in `text` opens deeper than `maximumDepth` (brackets inside strings
// do not count). Every array and object counts, empty ones too; the root is level 1. Says nothing
// else about the text being valid JSON.
bool jsonNestingWithin(std::string_view text, int maximumDepth = kMaximumJsonDepth);

// Parses `text`; a discarded value when it is not JSON or nests too deep.
nlohmann::json parseJson(std::string_view text);

// An object written compactly with one member a line, so nothing nested can make the file
// grow beyond its compact size by more than the line breaks.
std::string dumpObjectOneMemberPerLine(const nlohmann::json& object);

// The file a write to `path` must replace: where a chain of symbolic links at `path` ends
// (even when that file does not exist yet), or `path` itself.
std::filesystem::path writeTarget(const std::filesystem::path& path);

// "." + name + ".tmp-": the start of every temporary file we write beside `name`.
std::string temporaryPrefix(const std::string& name);

// Replaces the file at `path` whole: a 0600 temporary file in the folder of the link's target,
// synced, then renamed over the target, so a link at `path` stays a link. A failure leaves the
// old file intact and no temporary file behind. `error` receives errno on failure.
bool writeFileAtomically(const std::filesystem::path& path, std::string_view bytes, int* error = nullptr);

// Removes regular files named temporaryPrefix(`name`) + letters and digits in `folder` (only
// there, never following a link). Call only while no other writer of ours can be running.
// Returns how many were removed (large ones are freed on a thread of their own).
int removeStaleTemporaryFiles(const std::filesystem::path& folder, const std::string& name);

}  // namespace harbelle::filesafety
