#include "sync/SyncModels.h"

#include <algorithm>

#include "common/JsonScan.h"
#include "sync/SyncCrypto.h"
#include "sync/SyncServiceError.h"

namespace harbelle::sync {

using nlohmann::json;

namespace {

[[noreturn]] void invalid(const std::string& what) {
    throw SyncServiceError(SyncServiceErrorCode::invalidResponse, std::nullopt, what);
}

const json& field(const json& j, const char* key) {
    if (!j.is_object()) invalid("expected an object");
    auto it = j.find(key);
    if (it == j.end()) invalid(std::string("missing ") + key);
    return *it;
}

std::string text(const json& j, const char* key) {
    const json& v = field(j, key);
    if (!v.is_string()) invalid(std::string("not a text: ") + key);
    return v.get<std::string>();
}

std::optional<std::string> optionalText(const json& j, const char* key) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null()) return std::nullopt;
    if (!it->is_string()) invalid(std::string("not a text: ") + key);
    return it->get<std::string>();
}

std::int64_t integer(const json& j, const char* key) {
    const json& v = field(j, key);
    if (!v.is_number_integer()) invalid(std::string("not an integer: ") + key);
    return v.get<std::int64_t>();
}

std::optional<std::int64_t> optionalInteger(const json& j, const char* key) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null()) return std::nullopt;
    if (!it->is_number_integer()) invalid(std::string("not an integer: ") + key);
    return it->get<std::int64_t>();
}

std::string bytes(const json& j, const char* key) {
    auto decoded = base64Decode(text(j, key));
    if (!decoded) invalid(std::string("not Base64: ") + key);
    return *decoded;
}

std::optional<std::string> optionalBytes(const json& j, const char* key) {
    auto value = optionalText(j, key);
    if (!value) return std::nullopt;
    auto decoded = base64Decode(*value);
    if (!decoded) invalid(std::string("not Base64: ") + key);
    return decoded;
}

}  // namespace

void to_json(json& j, const SyncClipOrigin& origin) {
    j = json{{"device_id", origin.id}, {"device_name", origin.name}, {"platform", origin.platform}};
}

void from_json(const json& j, SyncClipOrigin& origin) {
    origin.id = j.at("device_id").get<std::string>();
    origin.name = j.at("device_name").get<std::string>();
    origin.platform = j.at("platform").get<std::string>();
}

json toJSON(const SyncKDFParameters& v) {
    return {{"algorithm", v.algorithm}, {"salt", base64Encode(v.salt)}, {"iterations", v.iterations}};
}

json toJSON(const SyncRegisterRequest& v) {
    return {{"email", v.email},
            {"auth_key", base64Encode(v.authKey)},
            {"kdf", toJSON(v.kdf)},
            {"wrapped_sync_key", base64Encode(v.wrappedSyncKey)},
            {"device_name", v.deviceName},
            {"platform", v.platform}};
}

json toJSON(const SyncLoginRequest& v) {
    return {{"email", v.email}, {"auth_key", base64Encode(v.authKey)}, {"device_name", v.deviceName}, {"platform", v.platform}};
}

json toJSON(const SyncChangePasswordRequest& v) {
    return {{"auth_key", base64Encode(v.authKey)}, {"kdf", toJSON(v.kdf)}, {"wrapped_sync_key", base64Encode(v.wrappedSyncKey)}};
}

json toJSON(const SyncPushItem& v) {
    json j{{"client_id", v.clientID},
           {"created_at", v.createdAt},
           {"content_mac", v.contentMac},
           {"ciphertext", base64Encode(v.ciphertext)},
           {"replace_existing", v.replaceExisting},
           {"created_mac", v.createdMac}};
    if (v.blobKey) j["blob_key"] = *v.blobKey;
    return j;
}

json toJSON(const SyncPushResult& v) {
    json j{{"client_id", v.clientID}, {"canonical_id", v.canonicalID}, {"status", v.status}};
    if (v.seq) j["seq"] = *v.seq;
    return j;
}

json toJSON(const SyncPullEvent& v) {
    json j{{"seq", v.seq}, {"type", v.type}, {"client_id", v.clientID}};
    if (v.createdAt) j["created_at"] = *v.createdAt;
    if (v.ciphertext) j["ciphertext"] = base64Encode(*v.ciphertext);
    if (v.blobKey) j["blob_key"] = *v.blobKey;
    if (v.createdMac) j["created_mac"] = *v.createdMac;
    if (v.deleteMac) j["delete_mac"] = *v.deleteMac;
    return j;
}

json toJSON(const SyncDeleteItem& v) { return {{"client_id", v.clientID}, {"delete_mac", v.deleteMac}}; }

bool isSyncClipID(std::string_view t) {
    if (t.size() != 36) return false;
    for (std::size_t i = 0; i < t.size(); ++i) {
        char c = t[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != '-') return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

bool jsonNestingWithin(std::string_view text, int limit) { return jsonscan::nestingWithin(text, limit); }

SyncKDFParameters kdfParametersFromJSON(const json& j) {
    SyncKDFParameters p;
    p.algorithm = text(j, "algorithm");
    p.salt = bytes(j, "salt");
    p.iterations = integer(j, "iterations");
    return p;
}

SyncRegisterResponse registerResponseFromJSON(const json& j) {
    return {text(j, "token"), text(j, "device_id")};
}

SyncLoginResponse loginResponseFromJSON(const json& j) {
    return {text(j, "token"), text(j, "device_id"), bytes(j, "wrapped_sync_key")};
}

SyncPushResult pushResultFromJSON(const json& j) {
    SyncPushResult r;
    r.clientID = text(j, "client_id");
    r.canonicalID = text(j, "canonical_id");
    r.status = text(j, "status");
    r.seq = optionalInteger(j, "seq");
    // An identifier is a lower-case UUID; anything else could rename a clip to a made-up name.
    if (!isSyncClipID(r.clientID) || !isSyncClipID(r.canonicalID)) invalid("push result id is not a UUID");
    static const char* known[] = {"stored", "updated", "unchanged", "duplicate", "deleted"};
    if (std::find(std::begin(known), std::end(known), r.status) == std::end(known)) invalid("unknown push status");
    return r;
}

SyncPullEvent pullEventFromJSON(const json& j) {
    SyncPullEvent e;
    e.seq = integer(j, "seq");
    e.type = text(j, "type");
    if (e.type != "upsert" && e.type != "delete") invalid("unknown event type");
    e.clientID = text(j, "client_id");
    e.createdAt = optionalInteger(j, "created_at");
    e.ciphertext = optionalBytes(j, "ciphertext");
    e.blobKey = optionalText(j, "blob_key");
    e.createdMac = optionalText(j, "created_mac");
    e.deleteMac = optionalText(j, "delete_mac");
    return e;
}

SyncPullResponse pullResponseFromJSON(const json& j) {
    SyncPullResponse r;
    const json& events = field(j, "events");
    if (!events.is_array()) invalid("events is not a list");
    for (const json& e : events) {
        try {
            r.events.push_back(pullEventFromJSON(e));
        } catch (const SyncServiceError&) {
            // One malformed event never costs the page: it stays in its place, marked, so it
            // is skipped and counted and the cursor moves past it.
            SyncPullEvent bad;
            bad.type = kMalformedEventType;
            auto seq = e.is_object() ? e.find("seq") : e.end();
            if (seq != e.end() && seq->is_number_integer()) bad.seq = seq->get<std::int64_t>();
            r.events.push_back(std::move(bad));
        }
    }
    r.latestSeq = integer(j, "latest_seq");
    const json& more = field(j, "has_more");
    if (!more.is_boolean()) invalid("has_more is not a Boolean");
    r.hasMore = more.get<bool>();
    return r;
}

std::string encodeClipPayload(const SyncClipPayload& p) {
    json j{{"kind", p.kind}, {"text", p.text}, {"v", p.v}};
    if (p.origin) j["origin"] = *p.origin;
    if (p.blob)
        j["blob"] = {{"byte_count", p.blob->byteCount}, {"content_type", p.blob->contentType},
                     {"digest", p.blob->digest},         {"key", p.blob->key},
                     {"pixel_height", p.blob->pixelHeight}, {"pixel_width", p.blob->pixelWidth}};
    return dumpSortedJSON(j);
}

std::optional<SyncClipPayload> decodeClipPayload(std::string_view text) {
    json j = json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return std::nullopt;
    try {
        SyncClipPayload p;
        if (!j.at("v").is_number_integer() || j.at("v").get<int>() != 1) return std::nullopt;
        p.kind = j.at("kind").get<std::string>();
        if (p.kind != "text" && p.kind != "image") return std::nullopt;
        p.text = j.value("text", std::string());
        if (auto it = j.find("origin"); it != j.end() && !it->is_null()) p.origin = it->get<SyncClipOrigin>();
        if (auto it = j.find("blob"); it != j.end() && !it->is_null()) {
            SyncClipBlobInfo b;
            b.byteCount = it->at("byte_count").get<std::int64_t>();
            b.contentType = it->at("content_type").get<std::string>();
            b.digest = it->at("digest").get<std::string>();
            b.key = it->at("key").get<std::string>();
            b.pixelHeight = it->at("pixel_height").get<std::int64_t>();
            b.pixelWidth = it->at("pixel_width").get<std::int64_t>();
            p.blob = b;
        }
        if (p.kind == "image" && !p.blob) return std::nullopt;
        return p;
    } catch (const json::exception&) {
        return std::nullopt;
    }
}

json toJSON(const SyncSession& s) {
    json fetches = json::array();
    for (const auto& f : s.pendingBlobFetches)
        fetches.push_back({{"event", toJSON(f.event)}, {"attempts", f.attempts}, {"waiting_since", f.waitingSince}});
    return {{"base_url", s.baseURL},
            {"email", s.email},
            {"token", s.token},
            {"device_id", s.deviceID},
            {"device_name", s.deviceName},
            {"sync_key", base64Encode(s.syncKey)},
            {"last_pulled_seq", s.lastPulledSeq},
            {"synced_clip_count", s.syncedClipCount},
            {"skipped_event_count", s.skippedEventCount},
            {"origin_backfill_version", s.originBackfillVersion},
            {"pending_blob_fetches", fetches}};
}

std::optional<SyncSession> sessionFromJSON(const json& j) {
    try {
        SyncSession s;
        s.baseURL = text(j, "base_url");
        s.email = text(j, "email");
        s.token = text(j, "token");
        s.deviceID = text(j, "device_id");
        s.deviceName = optionalText(j, "device_name").value_or("");
        s.syncKey = bytes(j, "sync_key");
        if (s.syncKey.size() != 32) return std::nullopt;
        s.lastPulledSeq = optionalInteger(j, "last_pulled_seq").value_or(0);
        s.syncedClipCount = optionalInteger(j, "synced_clip_count").value_or(0);
        s.skippedEventCount = optionalInteger(j, "skipped_event_count").value_or(0);
        s.originBackfillVersion = optionalInteger(j, "origin_backfill_version").value_or(0);
        if (auto it = j.find("pending_blob_fetches"); it != j.end() && it->is_array())
            for (const json& f : *it)
                s.pendingBlobFetches.push_back({pullEventFromJSON(field(f, "event")),
                                                static_cast<int>(optionalInteger(f, "attempts").value_or(0)),
                                                optionalInteger(f, "waiting_since").value_or(0)});
        return s;
    } catch (const SyncServiceError&) {
        return std::nullopt;
    }
}

std::string dumpSortedJSON(const json& j) {
    // nlohmann keeps object keys sorted and never escapes "/".
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace harbelle::sync
