#include "sync/SyncText.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <memory>

namespace harbelle::sync {

namespace {

bool isSpace(UChar32 c) { return u_isUWhiteSpace(c) || c == 0x2028 || c == 0x2029 || c == 0x85; }

}  // namespace

std::string normalizeEmail(const std::string& email) {
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(email);
    int32_t start = 0, end = text.length();
    while (start < end && isSpace(text.char32At(start))) start = text.moveIndex32(start, 1);
    while (end > start) {
        int32_t previous = text.moveIndex32(end, -1);
        if (!isSpace(text.char32At(previous))) break;
        end = previous;
    }
    icu::UnicodeString trimmed(text, start, end - start);
    trimmed.toLower(icu::Locale::getRoot());
    std::string out;
    trimmed.toUTF8String(out);
    return out;
}

bool isValidEmail(const std::string& email) {
    if (email.empty() || email.size() > 254) return false;
    auto at = email.find('@');
    if (at == std::string::npos || at == 0 || at + 1 == email.size() || email.find('@', at + 1) != std::string::npos)
        return false;
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(email);
    for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1))
        if (isSpace(text.char32At(i))) return false;
    return true;
}

std::string normalizePassword(const std::string& password) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return password;
    icu::UnicodeString normalized = nfc->normalize(icu::UnicodeString::fromUTF8(password), status);
    if (U_FAILURE(status)) return password;
    std::string out;
    normalized.toUTF8String(out);
    return out;
}

std::size_t graphemeCount(const std::string& text) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(text);
    if (U_FAILURE(status) || !it) return static_cast<std::size_t>(unicode.countChar32());
    it->setText(unicode);
    std::size_t count = 0;
    for (int32_t p = it->next(); p != icu::BreakIterator::DONE; p = it->next()) ++count;
    return count;
}

}  // namespace harbelle::sync
