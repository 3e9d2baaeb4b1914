#include "support/FakePasteboard.h"

namespace harbelle::testing {

std::vector<std::string> FakePasteboard::types() {
    std::vector<std::string> result;
    for (const auto& [type, data] : contents_) {
        std::string name = pasteboardtype::isPlainTextAlias(type) ? std::string(pasteboardtype::plainText) : type;
        if (std::find(result.begin(), result.end(), name) == result.end()) result.push_back(name);
    }
    return result;
}

std::optional<Bytes> FakePasteboard::data(std::string_view type) {
    reads.emplace_back(type);
    std::optional<Bytes> result;
    for (const auto& [offered, bytes] : contents_) {
        const bool matches = offered == type || (type == pasteboardtype::plainText &&
                                                 pasteboardtype::isPlainTextAlias(offered));
        if (matches) {
            result = bytes;
            break;
        }
    }
    if (onRead) onRead(type);
    return result;
}

bool FakePasteboard::write(const std::vector<PasteboardObject>& objects) {
    if (failWrites) return false;
    writes.push_back(objects);
    contents_ = mimeRepresentations(objects);
    ++changeCount_;
    return true;
}

void FakePasteboard::setContents(std::vector<std::pair<std::string, Bytes>> representations) {
    contents_ = std::move(representations);
    ++changeCount_;
}

void FakePasteboard::setString(std::string_view type, std::string_view text) {
    setData(type, Bytes(text.begin(), text.end()));
}

void FakePasteboard::setData(std::string_view type, Bytes data) {
    for (auto& [offered, bytes] : contents_) {
        if (offered == type) {
            bytes = std::move(data);
            ++changeCount_;
            return;
        }
    }
    contents_.emplace_back(std::string(type), std::move(data));
    ++changeCount_;
}

void FakePasteboard::clear() {
    contents_.clear();
    ++changeCount_;
}

}  // namespace harbelle::testing
