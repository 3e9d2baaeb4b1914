#include "platform/linux/Appcast.h"

#include <QUrl>
#include <QXmlStreamReader>
#include <algorithm>
#include <charconv>

namespace harbelle::appcast {

namespace {

bool isHttpsURL(const QString& text) {
    QUrl url(text, QUrl::StrictMode);
    return url.isValid() && url.scheme().compare("https", Qt::CaseInsensitive) == 0 &&
           !url.host().isEmpty();
}

std::vector<std::string> versionParts(const std::string& version) {
    std::vector<std::string> parts;
    std::string current;
    bool currentIsDigit = false;
    for (char c : version) {
        if (c == '.' || c == '-' || c == '_' || c == ' ') {
            if (!current.empty()) parts.push_back(current);
            current.clear();
            continue;
        }
        bool digit = c >= '0' && c <= '9';
        if (!current.empty() && digit != currentIsDigit) {
            parts.push_back(current);
            current.clear();
        }
        currentIsDigit = digit;
        current.push_back(c);
    }
    if (!current.empty()) parts.push_back(current);
    return parts;
}

bool isNumber(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

int compareNumbers(std::string a, std::string b) {
    // Leading zeros carry no value; compare by length, then digits, so long numbers never overflow.
    a.erase(0, std::min(a.find_first_not_of('0'), a.size()));
    b.erase(0, std::min(b.find_first_not_of('0'), b.size()));
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

// The most attributes on one start tag, counted without parsing: each "=" outside quotes inside
// a tag. Comments, CDATA, processing instructions and declarations are skipped whole.
std::size_t mostAttributesOnOneTag(std::string_view xml) {
    std::size_t most = 0;
    std::size_t i = 0;
    const auto skipPast = [&](std::string_view end) {
        const auto at = xml.find(end, i);
        i = at == std::string_view::npos ? xml.size() : at + end.size();
    };
    while ((i = xml.find('<', i)) != std::string_view::npos) {
        const std::string_view rest = xml.substr(i);
        if (rest.starts_with("<!--")) { skipPast("-->"); continue; }
        if (rest.starts_with("<![CDATA[")) { skipPast("]]>"); continue; }
        if (rest.starts_with("<?")) { skipPast("?>"); continue; }
        if (rest.starts_with("<!") || rest.starts_with("</")) { skipPast(">"); continue; }
        std::size_t count = 0;
        char quote = 0;
        for (++i; i < xml.size(); ++i) {
            const char c = xml[i];
            if (quote) {
                if (c == quote) quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '=') {
                ++count;
            } else if (c == '>') {
                ++i;
                break;
            }
        }
        most = std::max(most, count);
    }
    return most;
}

AppcastItem readItem(QXmlStreamReader& reader) {
    AppcastItem item;
    while (reader.readNextStartElement()) {
        const auto name = reader.name();
        const bool sparkle = reader.namespaceUri() == QLatin1String(kSparkleNamespace);
        if (name == QLatin1String("title") && reader.namespaceUri().isEmpty()) {
            item.title = reader.readElementText(QXmlStreamReader::SkipChildElements).trimmed().toStdString();
        } else if (sparkle && name == QLatin1String("version")) {
            item.version = reader.readElementText(QXmlStreamReader::SkipChildElements).trimmed().toStdString();
        } else if (sparkle && name == QLatin1String("shortVersionString")) {
            item.shortVersionString =
                reader.readElementText(QXmlStreamReader::SkipChildElements).trimmed().toStdString();
        } else if (name == QLatin1String("enclosure") && reader.namespaceUri().isEmpty()) {
            const auto attributes = reader.attributes();
            const QString url = attributes.value("url").toString();
            if (isHttpsURL(url)) item.downloadURL = url.toStdString();
            const QString signature = attributes.value(kSparkleNamespace, "edSignature").toString();
            item.edSignature = signature.trimmed().toStdString();
            if (item.version.empty())
                item.version = attributes.value(kSparkleNamespace, "version").toString().trimmed().toStdString();
            if (item.shortVersionString.empty())
                item.shortVersionString =
                    attributes.value(kSparkleNamespace, "shortVersionString").toString().trimmed().toStdString();
            const std::string length = attributes.value("length").toString().trimmed().toStdString();
            std::uint64_t bytes = 0;
            auto [end, error] = std::from_chars(length.data(), length.data() + length.size(), bytes);
            if (!length.empty() && error == std::errc() && end == length.data() + length.size() && bytes > 0)
                item.length = bytes;
            reader.skipCurrentElement();
        } else {
            reader.skipCurrentElement();
        }
    }
    return item;
}

}  // namespace

ParseResult parse(std::string_view xml) {
    ParseResult result;
    if (xml.size() > kMaxFeedBytes) {
        result.error = "The update feed is larger than " + std::to_string(kMaxFeedBytes / 1024) +
                       " KB and was not read.";
        return result;
    }
    if (mostAttributesOnOneTag(xml) > kMaxAttributesPerElement) {
        result.error = "The update feed has an element with more than " + std::to_string(kMaxAttributesPerElement) +
                       " attributes and was not read.";
        return result;
    }
    if (xml.find_first_not_of(" \t\r\n") == std::string_view::npos) {
        result.error = "The update feed is empty.";
        return result;
    }
    QXmlStreamReader reader(QByteArray(xml.data(), static_cast<qsizetype>(xml.size())));
    bool sawChannel = false;
    if (reader.readNextStartElement()) {
        if (reader.name() != QLatin1String("rss")) {
            result.error = "The update feed is not an RSS document.";
            return result;
        }
        while (reader.readNextStartElement()) {
            if (reader.name() != QLatin1String("channel")) {
                reader.skipCurrentElement();
                continue;
            }
            sawChannel = true;
            while (reader.readNextStartElement()) {
                if (reader.name() == QLatin1String("item")) {
                    AppcastItem item = readItem(reader);
                    if (!item.version.empty() && !item.downloadURL.empty() && !item.edSignature.empty())
                        result.items.push_back(std::move(item));
                } else {
                    reader.skipCurrentElement();
                }
            }
        }
    }
    if (reader.hasError()) {
        result.items.clear();
        result.error = "The update feed is not valid XML (line " + std::to_string(reader.lineNumber()) +
                       ": " + reader.errorString().toStdString() + ").";
        return result;
    }
    if (!sawChannel) {
        result.items.clear();
        result.error = "The update feed has no release channel.";
    }
    return result;
}

int compareVersions(const std::string& a, const std::string& b) {
    const auto left = versionParts(a);
    const auto right = versionParts(b);
    const std::size_t count = std::max(left.size(), right.size());
    for (std::size_t i = 0; i < count; ++i) {
        const std::string l = i < left.size() ? left[i] : "0";
        const std::string r = i < right.size() ? right[i] : "0";
        const bool ln = isNumber(l), rn = isNumber(r);
        int order = 0;
        if (ln && rn) order = compareNumbers(l, r);
        else if (ln != rn) order = ln ? 1 : -1;  // "1.0" is newer than "1.0b"
        else order = l < r ? -1 : (l == r ? 0 : 1);
        if (order != 0) return order;
    }
    return 0;
}

std::optional<AppcastItem> newestUpdate(const std::vector<AppcastItem>& items,
                                        const std::string& currentVersion) {
    const AppcastItem* best = nullptr;
    for (const auto& item : items) {
        if (compareVersions(item.version, currentVersion) <= 0) continue;
        if (!best || compareVersions(item.version, best->version) > 0) best = &item;
    }
    if (!best) return std::nullopt;
    return *best;
}

}  // namespace harbelle::appcast
