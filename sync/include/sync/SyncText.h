#pragma once

#include <cstddef>
#include <string>

namespace harbelle::sync {

// Trims Unicode white space and line breaks and lower-cases (root locale).
std::string normalizeEmail(const std::string& email);
// One "@" with text on both sides, no white space, at most 254 bytes (of the normalized form).
bool isValidEmail(const std::string& normalizedEmail);
// Unicode NFC (the same password typed on two systems gives the same key).
std::string normalizePassword(const std::string& password);
// Grapheme clusters in a UTF-8 text.
std::size_t graphemeCount(const std::string& text);

}  // namespace harbelle::sync
