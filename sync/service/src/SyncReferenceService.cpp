#include "sync/SyncReferenceService.h"

#include <httplib.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "sync/SyncCrypto.h"

namespace harbelle::sync {

using nlohmann::json;

namespace {

struct Record {
    std::int64_t createdAt = 0;
    std::string contentMac;
    std::string ciphertext;
    std::optional<std::string> blobKey;
    std::string createdMac;
};

struct Account {
    std::string email;
    std::string authSalt;
    std::string authHash;  // SHA-256(authSalt ‖ auth_key): the service never keeps the key
    SyncKDFParameters kdf;
    std::string wrappedSyncKey;
    std::map<std::string, Record> records;
    std::map<std::string, std::string> tombstones;  // id -> delete_mac
    std::vector<SyncPullEvent> events;
    std::int64_t nextSeq = 1;
    std::map<std::string, std::string> blobs;
    std::deque<std::int64_t> loginFailures;  // clock seconds
};

struct Token {
    std::string email;
    std::string deviceID;
};

constexpr std::size_t kMaxCiphertextBytes = 256u << 10;
constexpr std::size_t kMaxBlobBytes = 1u << 20;
constexpr std::size_t kMaxRequestBytes = 16u << 20;

bool isHexKey(const std::string& key) {
    return key.size() == 64 && key.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The rule register and change-password share: a client never gets a cheaper key.
bool acceptableKDF(const SyncKDFParameters& kdf) {
    return kdf.algorithm == "pbkdf2-sha256" && kdf.salt.size() == 16 && kdf.iterations >= 600'000 &&
           kdf.iterations <= 10'000'000;
}

}  // namespace

struct SyncReferenceService::State {
    std::string dataFile;
    mutable std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;

    httplib::Server server;
    std::thread thread;
    int port = 0;

    std::string secret = randomBytes(32);
    std::int64_t defaultIterations = 600'000;
    std::int64_t clockOffset = 0;
    std::size_t maxPageBytes = 4u << 20;
    std::map<std::string, Account> accounts;
    std::map<std::string, Token> tokens;
    std::map<std::string, std::deque<ForcedAnswer>> forced;
    std::map<std::string, int> hiddenBlobs;
    std::vector<RequestRecord> log;
    std::map<std::string, std::deque<std::int64_t>> unknownLoginFailures;

    std::int64_t now() const {
        return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count() +
               clockOffset;
    }

    json toJSONLocked() const;
    void loadFrom(const json& j);
    void saveLocked() const;
    void routes();
    std::optional<ForcedAnswer> takeForced(const std::string& endpoint);
    bool sleepFor(int milliseconds);
};

// ---- Persistence and dump ----

json SyncReferenceService::State::toJSONLocked() const {
    json accountsJSON = json::object();
    for (const auto& [email, a] : accounts) {
        json records = json::object();
        for (const auto& [id, r] : a.records) {
            json rj{{"created_at", r.createdAt},
                    {"created_mac", r.createdMac},
                    {"content_mac", r.contentMac},
                    {"ciphertext", base64Encode(r.ciphertext)}};
            if (r.blobKey) rj["blob_key"] = *r.blobKey;
            records[id] = rj;
        }
        json events = json::array();
        for (const auto& e : a.events) events.push_back(toJSON(e));
        json blobs = json::object();
        for (const auto& [key, bytes] : a.blobs) blobs[key] = base64Encode(bytes);
        accountsJSON[email] = {{"auth_salt", base64Encode(a.authSalt)},
                               {"auth_hash", hexLower(a.authHash)},
                               {"kdf", toJSON(a.kdf)},
                               {"wrapped_sync_key", base64Encode(a.wrappedSyncKey)},
                               {"records", records},
                               {"tombstones", a.tombstones},
                               {"events", events},
                               {"next_seq", a.nextSeq},
                               {"blobs", blobs}};
    }
    json tokensJSON = json::object();
    for (const auto& [token, t] : tokens) tokensJSON[token] = {{"email", t.email}, {"device_id", t.deviceID}};
    return {{"accounts", accountsJSON},
            {"tokens", tokensJSON},
            {"secret", base64Encode(secret)},
            {"default_iterations", defaultIterations}};
}

void SyncReferenceService::State::loadFrom(const json& j) {
    secret = base64Decode(j.at("secret").get<std::string>()).value_or(secret);
    defaultIterations = j.value("default_iterations", defaultIterations);
    for (const auto& [email, aj] : j.at("accounts").items()) {
        Account a;
        a.email = email;
        a.authSalt = base64Decode(aj.at("auth_salt").get<std::string>()).value_or("");
        a.authHash = hexDecode(aj.at("auth_hash").get<std::string>()).value_or("");
        a.kdf = kdfParametersFromJSON(aj.at("kdf"));
        a.wrappedSyncKey = base64Decode(aj.at("wrapped_sync_key").get<std::string>()).value_or("");
        for (const auto& [id, rj] : aj.at("records").items()) {
            Record r{rj.at("created_at").get<std::int64_t>(), rj.at("content_mac").get<std::string>(),
                     base64Decode(rj.at("ciphertext").get<std::string>()).value_or(""), std::nullopt};
            if (rj.contains("blob_key")) r.blobKey = rj["blob_key"].get<std::string>();
            r.createdMac = rj.value("created_mac", std::string());
            a.records[id] = r;
        }
        // Files from before delete_mac keep their tombstones as a plain list.
        const json& tombstones = aj.at("tombstones");
        if (tombstones.is_array())
            for (const auto& id : tombstones) a.tombstones[id.get<std::string>()] = "";
        else
            for (const auto& [id, mac] : tombstones.items()) a.tombstones[id] = mac.get<std::string>();
        for (const auto& e : aj.at("events")) a.events.push_back(pullEventFromJSON(e));
        a.nextSeq = aj.at("next_seq").get<std::int64_t>();
        for (const auto& [key, b] : aj.at("blobs").items()) a.blobs[key] = base64Decode(b.get<std::string>()).value_or("");
        accounts[email] = std::move(a);
    }
    for (const auto& [token, tj] : j.at("tokens").items())
        tokens[token] = {tj.at("email").get<std::string>(), tj.at("device_id").get<std::string>()};
}

void SyncReferenceService::State::saveLocked() const {
    if (dataFile.empty()) return;
    std::string temp = dataFile + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << toJSONLocked().dump();
        if (!out) return;
    }
    ::chmod(temp.c_str(), 0600);
    std::rename(temp.c_str(), dataFile.c_str());
}

std::optional<SyncReferenceService::ForcedAnswer> SyncReferenceService::State::takeForced(const std::string& endpoint) {
    std::lock_guard lock(mutex);
    auto it = forced.find(endpoint);
    if (it == forced.end() || it->second.empty()) return std::nullopt;
    ForcedAnswer answer = it->second.front();
    if (--it->second.front().count <= 0) it->second.pop_front();
    return answer;
}

bool SyncReferenceService::State::sleepFor(int milliseconds) {
    std::unique_lock lock(mutex);
    return !wake.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return stopping; });
}

// ---- Routes ----

void SyncReferenceService::State::routes() {
    auto send = [](httplib::Response& res, int status, const json& body) {
        res.status = status;
        res.set_content(body.dump(), "application/json");
    };
    auto fail = [send](httplib::Response& res, int status, const std::string& why) {
        send(res, status, {{"error", why}});
    };
    auto parse = [](const httplib::Request& req) {
        json j = json::parse(req.body, nullptr, false);
        return j.is_discarded() || !j.is_object() ? json() : j;
    };
    auto bearer = [](const httplib::Request& req) -> std::optional<std::string> {
        std::string value = req.get_header_value("Authorization");
        if (value.rfind("Bearer ", 0) != 0) return std::nullopt;
        return value.substr(7);
    };

    // Every handler: log, apply a forced answer, then do the real work (under the lock).
    using Work = std::function<void(const httplib::Request&, httplib::Response&)>;
    auto wrap = [this, bearer, fail](std::string endpoint, Work work) {
        return [this, bearer, fail, endpoint, work](const httplib::Request& req, httplib::Response& res) {
            {
                std::lock_guard lock(mutex);
                auto token = bearer(req);
                log.push_back({req.method, req.path, token.has_value(), token.value_or("")});
            }
            auto forcedAnswer = takeForced(endpoint);
            if (forcedAnswer) {
                using Kind = ForcedAnswer::Kind;
                switch (forcedAnswer->kind) {
                case Kind::status:
                    if (forcedAnswer->retryAfterSeconds)
                        res.set_header("Retry-After", std::to_string(*forcedAnswer->retryAfterSeconds));
                    fail(res, forcedAnswer->status, "forced");
                    return;
                case Kind::malformedJSON:
                    res.status = 200;
                    res.set_content("{\"results\": [", "application/json");
                    return;
                case Kind::redirect:
                    res.set_redirect("/v1/health", 302);
                    return;
                case Kind::oversizeBody: {
                    std::size_t size = endpoint == "media" ? kMaxBlobBytes + 1 : (32u << 20) + 1;
                    res.status = 200;
                    res.set_content(std::string(size, ' '), endpoint == "media" ? "application/octet-stream" : "application/json");
                    return;
                }
                case Kind::body:
                    res.status = forcedAnswer->status;
                    res.set_content(forcedAnswer->body, "application/json");
                    return;
                case Kind::delay:
                    if (!sleepFor(forcedAnswer->delayMilliseconds)) return;
                    break;
                case Kind::dropConnection:
                    break;
                }
            }
            {
                std::lock_guard lock(mutex);
                work(req, res);
                saveLocked();
            }
            if (forcedAnswer && forcedAnswer->kind == ForcedAnswer::Kind::dropConnection) {
                // The work is done; the client never hears about it.
                res.body.clear();
                res.headers.clear();
                res.set_content_provider(
                    1024, "application/json", [](size_t, size_t, httplib::DataSink&) { return false; });
            }
        };
    };

    // Returns the account of a live bearer token, or answers 401.
    auto authorize = [this, bearer, fail](const httplib::Request& req, httplib::Response& res) -> Account* {
        auto token = bearer(req);
        auto it = token ? tokens.find(*token) : tokens.end();
        if (it == tokens.end()) {
            fail(res, 401, "unauthorized");
            return nullptr;
        }
        auto account = accounts.find(it->second.email);
        if (account == accounts.end()) {
            fail(res, 401, "unauthorized");
            return nullptr;
        }
        return &account->second;
    };

    auto newToken = [this](const std::string& email) {
        std::string token = hexLower(randomBytes(32));
        std::string device = randomUUID();
        tokens[token] = {email, device};
        return std::pair{token, device};
    };

    auto text = [](const json& j, const char* key) -> std::optional<std::string> {
        auto it = j.find(key);
        if (it == j.end() || !it->is_string()) return std::nullopt;
        return it->get<std::string>();
    };
    auto b64 = [text](const json& j, const char* key) -> std::optional<std::string> {
        auto value = text(j, key);
        return value ? base64Decode(*value) : std::nullopt;
    };

    server.Get("/v1/health", wrap("health", [send](const httplib::Request&, httplib::Response& res) {
        send(res, 200, {{"status", "ok"}});
    }));

    server.Post("/v1/kdf", wrap("kdf", [this, send, fail, parse, text](const httplib::Request& req, httplib::Response& res) {
        json body = parse(req);
        auto email = text(body, "email");
        if (!email) return fail(res, 400, "email missing");
        auto it = accounts.find(*email);
        if (it != accounts.end()) return send(res, 200, toJSON(it->second.kdf));
        // Unknown addresses get a stable salt, so an address cannot be probed.
        SyncKDFParameters fake{"pbkdf2-sha256", hmacSha256(secret, *email).substr(0, 16), defaultIterations};
        send(res, 200, toJSON(fake));
    }));

    server.Post("/v1/register", wrap("register", [this, send, fail, parse, text, b64, newToken](const httplib::Request& req,
                                                                                              httplib::Response& res) {
        json body = parse(req);
        auto email = text(body, "email");
        auto authKey = b64(body, "auth_key");
        auto wrapped = b64(body, "wrapped_sync_key");
        if (!email || email->find('@') == std::string::npos || !authKey || authKey->size() != 32 || !wrapped ||
            !body.contains("kdf"))
            return fail(res, 400, "bad registration");
        SyncKDFParameters kdf;
        try {
            kdf = kdfParametersFromJSON(body["kdf"]);
        } catch (const std::exception&) {
            return fail(res, 400, "bad kdf");
        }
        if (!acceptableKDF(kdf)) return fail(res, 422, "unsupported kdf");
        if (accounts.count(*email)) return fail(res, 409, "email taken");
        Account a;
        a.email = *email;
        a.authSalt = randomBytes(16);
        a.authHash = sha256(a.authSalt + *authKey);
        a.kdf = kdf;
        a.wrappedSyncKey = *wrapped;
        accounts[*email] = std::move(a);
        auto [token, device] = newToken(*email);
        send(res, 201, {{"token", token}, {"device_id", device}});
    }));

    server.Post("/v1/login", wrap("login", [this, send, fail, parse, text, b64, newToken](const httplib::Request& req,
                                                                                        httplib::Response& res) {
        json body = parse(req);
        auto email = text(body, "email");
        auto authKey = b64(body, "auth_key");
        if (!email || !authKey) return fail(res, 400, "bad login");
        auto it = accounts.find(*email);
        // Failures are counted per address, known or not.
        auto& failures = it != accounts.end() ? it->second.loginFailures : unknownLoginFailures[*email];
        std::int64_t t = now();
        while (!failures.empty() && failures.front() <= t - 60) failures.pop_front();
        if (failures.size() >= 5) {
            res.set_header("Retry-After", std::to_string(std::max<std::int64_t>(1, failures.front() + 60 - t)));
            return fail(res, 429, "rate limited");
        }
        if (it == accounts.end() || sha256(it->second.authSalt + *authKey) != it->second.authHash) {
            failures.push_back(t);
            return fail(res, 401, "invalid credentials");
        }
        failures.clear();
        auto [token, device] = newToken(*email);
        send(res, 200, {{"token", token}, {"device_id", device}, {"wrapped_sync_key", base64Encode(it->second.wrappedSyncKey)}});
    }));

    server.Post("/v1/logout", wrap("logout", [this, bearer, fail](const httplib::Request& req, httplib::Response& res) {
        auto token = bearer(req);
        if (!token || !tokens.erase(*token)) return fail(res, 401, "unauthorized");
        res.status = 204;
    }));

    server.Post("/v1/change-password", wrap("change-password", [this, send, fail, parse, b64, bearer, authorize](
                                                                   const httplib::Request& req, httplib::Response& res) {
        Account* account = authorize(req, res);
        if (!account) return;
        json body = parse(req);
        auto authKey = b64(body, "auth_key");
        auto wrapped = b64(body, "wrapped_sync_key");
        if (!authKey || authKey->size() != 32 || !wrapped || !body.contains("kdf")) return fail(res, 400, "bad request");
        SyncKDFParameters kdf;
        try {
            kdf = kdfParametersFromJSON(body["kdf"]);
        } catch (const std::exception&) {
            return fail(res, 400, "bad kdf");
        }
        if (!acceptableKDF(kdf)) return fail(res, 422, "unsupported kdf");
        account->authSalt = randomBytes(16);
        account->authHash = sha256(account->authSalt + *authKey);
        account->kdf = kdf;
        account->wrappedSyncKey = *wrapped;
        std::string own = *bearer(req);
        std::int64_t revoked = 0;
        for (auto it = tokens.begin(); it != tokens.end();) {
            if (it->second.email == account->email && it->first != own) {
                it = tokens.erase(it);
                ++revoked;
            } else {
                ++it;
            }
        }
        send(res, 200, {{"revoked_sessions", revoked}});
    }));

    server.Post("/v1/push", wrap("push", [this, send, fail, parse, text, b64, authorize](const httplib::Request& req,
                                                                                       httplib::Response& res) {
        Account* account = authorize(req, res);
        if (!account) return;
        json body = parse(req);
        auto items = body.find("items");
        if (items == body.end() || !items->is_array() || items->size() > 50) return fail(res, 400, "bad items");
        struct Item {
            std::string id, mac, ciphertext, createdMac;
            std::int64_t createdAt;
            std::optional<std::string> blobKey;
            bool replace;
        };
        std::vector<Item> parsed;
        for (const json& item : *items) {
            auto id = text(item, "client_id");
            auto mac = text(item, "content_mac");
            auto ciphertext = b64(item, "ciphertext");
            auto createdMac = text(item, "created_mac");
            auto created = item.find("created_at");
            if (!id || !mac || !ciphertext || !createdMac || created == item.end() || !created->is_number_integer())
                return fail(res, 400, "bad item");
            if (ciphertext->size() > kMaxCiphertextBytes) return fail(res, 413, "ciphertext too large");
            auto replace = item.find("replace_existing");
            parsed.push_back({*id, *mac, *ciphertext, *createdMac, created->get<std::int64_t>(), text(item, "blob_key"),
                              replace != item.end() && replace->is_boolean() && replace->get<bool>()});
        }
        auto logUpsert = [account](const std::string& id, const Record& r) {
            std::int64_t seq = account->nextSeq++;
            account->events.push_back({seq, "upsert", id, r.createdAt, r.ciphertext, r.blobKey, r.createdMac, std::nullopt});
            return seq;
        };
        json results = json::array();
        for (const Item& item : parsed) {
            json result{{"client_id", item.id}, {"canonical_id", item.id}};
            if (account->tombstones.count(item.id)) {
                result["status"] = "deleted";
            } else if (auto live = account->records.find(item.id); live != account->records.end()) {
                if (item.replace || item.createdAt > live->second.createdAt) {
                    live->second = {item.createdAt, item.mac, item.ciphertext, item.blobKey, item.createdMac};
                    result["status"] = "updated";
                    result["seq"] = logUpsert(item.id, live->second);
                } else {
                    result["status"] = "unchanged";
                }
            } else {
                auto same = std::find_if(account->records.begin(), account->records.end(),
                                         [&](const auto& r) { return r.second.contentMac == item.mac; });
                if (same != account->records.end()) {
                    result["canonical_id"] = same->first;
                    result["status"] = "duplicate";
                    if (item.createdAt > same->second.createdAt) {
                        // The date moves with the MAC its pusher made for it.
                        same->second.createdAt = item.createdAt;
                        same->second.createdMac = item.createdMac;
                        result["seq"] = logUpsert(same->first, same->second);
                    }
                } else {
                    Record r{item.createdAt, item.mac, item.ciphertext, item.blobKey, item.createdMac};
                    account->records[item.id] = r;
                    result["status"] = "stored";
                    result["seq"] = logUpsert(item.id, r);
                }
            }
            results.push_back(result);
        }
        send(res, 200, {{"results", results}});
    }));

    server.Post("/v1/pull", wrap("pull", [this, send, fail, parse, authorize](const httplib::Request& req, httplib::Response& res) {
        Account* account = authorize(req, res);
        if (!account) return;
        json body = parse(req);
        auto since = body.find("since");
        auto limit = body.find("limit");
        if (since == body.end() || !since->is_number_integer() || limit == body.end() || !limit->is_number_integer() ||
            limit->get<std::int64_t>() < 1)
            return fail(res, 400, "bad pull");
        std::int64_t from = since->get<std::int64_t>();
        std::size_t max = static_cast<std::size_t>(std::min<std::int64_t>(limit->get<std::int64_t>(), 500));
        json events = json::array();
        std::size_t bytes = 0;
        bool more = false;
        auto first = std::upper_bound(account->events.begin(), account->events.end(), from,
                                      [](std::int64_t s, const SyncPullEvent& e) { return s < e.seq; });
        for (auto it = first; it != account->events.end(); ++it) {
            json e = toJSON(*it);
            std::size_t size = e.dump().size();
            if (events.size() >= max || (!events.empty() && bytes + size > maxPageBytes)) {
                more = true;
                break;
            }
            bytes += size;
            events.push_back(std::move(e));
        }
        send(res, 200, {{"events", events}, {"latest_seq", account->nextSeq - 1}, {"has_more", more}});
    }));

    server.Post("/v1/delete", wrap("delete", [this, send, fail, parse, text, authorize](const httplib::Request& req,
                                                                                 httplib::Response& res) {
        Account* account = authorize(req, res);
        if (!account) return;
        json body = parse(req);
        auto items = body.find("items");
        if (items == body.end() || !items->is_array() || items->size() > 500) return fail(res, 400, "bad items");
        std::vector<std::pair<std::string, std::string>> parsed;
        for (const json& item : *items) {
            auto id = text(item, "client_id");
            auto mac = text(item, "delete_mac");
            if (!id || !mac) return fail(res, 400, "bad item");
            parsed.emplace_back(*id, *mac);
        }
        json deleted = json::array();
        for (const auto& [id, mac] : parsed) {
            // Stored with the tombstone and handed out with the event: only the account's
            // clients can make it, so peers can tell a real deletion from a forged one.
            // A delete made again for a later record of a tombstoned id is logged too: the
            // devices that hold that record refuse the earlier one.
            auto tombstone = account->tombstones.find(id);
            const bool renewed = tombstone != account->tombstones.end() && tombstone->second != mac;
            if (account->records.erase(id) || renewed)
                account->events.push_back(
                    {account->nextSeq++, "delete", id, std::nullopt, std::nullopt, std::nullopt, std::nullopt, mac});
            account->tombstones[id] = mac;
            deleted.push_back(id);
        }
        send(res, 200, {{"deleted", deleted}});
    }));

    server.Put(R"(/v1/blobs/([^/]+))", wrap("blobs", [this, send, fail, authorize](const httplib::Request& req,
                                                                                httplib::Response& res) {
        Account* account = authorize(req, res);
        if (!account) return;
        std::string key = req.matches[1];
        if (!isHexKey(key)) return fail(res, 400, "bad blob key");
        if (req.body.size() > kMaxBlobBytes) return fail(res, 413, "blob too large");
        bool present = account->blobs.count(key) > 0;
        account->blobs[key] = req.body;
        send(res, present ? 200 : 201, json::object());
    }));

    server.Get(R"(/v1/media/([^/]+))", wrap("media", [this, fail, authorize](const httplib::Request& req, httplib::Response& res) {
        Account* account = authorize(req, res);
        if (!account) return;
        std::string key = req.matches[1];
        if (auto hidden = hiddenBlobs.find(key); hidden != hiddenBlobs.end() && hidden->second > 0) {
            --hidden->second;
            return fail(res, 404, "not found");
        }
        auto it = account->blobs.find(key);
        if (it == account->blobs.end()) return fail(res, 404, "not found");
        res.status = 200;
        res.set_content(it->second, "application/octet-stream");
    }));
}

// ---- Public side ----

SyncReferenceService::SyncReferenceService(std::string dataFile) : state_(std::make_unique<State>()) {
    state_->dataFile = std::move(dataFile);
    if (!state_->dataFile.empty()) {
        std::ifstream in(state_->dataFile, std::ios::binary);
        if (in) {
            json j = json::parse(in, nullptr, false);
            if (j.is_discarded()) throw std::runtime_error("The service data file is not JSON: " + state_->dataFile);
            try {
                state_->loadFrom(j);
            } catch (const std::exception& error) {
                throw std::runtime_error("The service data file cannot be read: " + std::string(error.what()));
            }
        }
    }
    state_->server.set_tcp_nodelay(true);
    // An idle keep-alive connection holds stop() for at most this long.
    state_->server.set_keep_alive_timeout(1);
    state_->server.set_keep_alive_max_count(10000);
    state_->server.set_payload_max_length(kMaxRequestBytes);
    state_->server.new_task_queue = [] { return new httplib::ThreadPool(32); };
    state_->routes();
}

SyncReferenceService::~SyncReferenceService() { stop(); }

int SyncReferenceService::start(int port) {
    State& s = *state_;
    if (s.thread.joinable()) return s.port;
    {
        std::lock_guard lock(s.mutex);
        s.stopping = false;
    }
    if (port == 0) {
        s.port = s.server.bind_to_any_port("127.0.0.1");
    } else {
        s.port = s.server.bind_to_port("127.0.0.1", port) ? port : -1;
    }
    if (s.port <= 0) throw std::runtime_error("The sync service could not bind 127.0.0.1");
    s.thread = std::thread([&s] { s.server.listen_after_bind(); });
    // A stop() before the loop runs would be lost and leave the thread listening forever.
    while (!s.server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return s.port;
}

void SyncReferenceService::stop() {
    State& s = *state_;
    {
        std::lock_guard lock(s.mutex);
        s.stopping = true;
    }
    s.wake.notify_all();
    if (s.thread.joinable()) {
        s.server.stop();
        s.thread.join();
    }
}

int SyncReferenceService::port() const { return state_->port; }

std::string SyncReferenceService::baseURL() const { return "http://127.0.0.1:" + std::to_string(state_->port) + "/"; }

void SyncReferenceService::force(const std::string& endpoint, const ForcedAnswer& answer) {
    std::lock_guard lock(state_->mutex);
    if (answer.count > 0) state_->forced[endpoint].push_back(answer);
}

void SyncReferenceService::clearForced() {
    std::lock_guard lock(state_->mutex);
    state_->forced.clear();
}

void SyncReferenceService::setKdfIterations(std::int64_t iterations, bool includingExistingAccounts) {
    std::lock_guard lock(state_->mutex);
    state_->defaultIterations = iterations;
    if (includingExistingAccounts)
        for (auto& [email, account] : state_->accounts) account.kdf.iterations = iterations;
}

void SyncReferenceService::revokeToken(const std::string& token) {
    std::lock_guard lock(state_->mutex);
    state_->tokens.erase(token);
}

void SyncReferenceService::revokeAllTokens(const std::string& email) {
    std::lock_guard lock(state_->mutex);
    std::erase_if(state_->tokens, [&](const auto& t) { return t.second.email == email; });
}

void SyncReferenceService::advanceClock(std::int64_t seconds) {
    std::lock_guard lock(state_->mutex);
    state_->clockOffset += seconds;
}

std::int64_t SyncReferenceService::injectEvent(const std::string& email, const SyncPullEvent& event) {
    std::lock_guard lock(state_->mutex);
    Account& account = state_->accounts.at(email);
    SyncPullEvent e = event;
    e.seq = account.nextSeq++;
    if (e.type == "upsert")
        account.records[e.clientID] = {e.createdAt.value_or(0), "injected-" + std::to_string(e.seq), e.ciphertext.value_or(""),
                                       e.blobKey, e.createdMac.value_or("")};
    account.events.push_back(e);
    state_->saveLocked();
    return e.seq;
}

void SyncReferenceService::resetSequence(const std::string& email) {
    std::lock_guard lock(state_->mutex);
    Account& account = state_->accounts.at(email);
    account.records.clear();
    account.tombstones.clear();
    account.events.clear();
    account.nextSeq = 1;
    state_->saveLocked();
}

void SyncReferenceService::hideBlob(const std::string& blobKey, int count) {
    std::lock_guard lock(state_->mutex);
    state_->hiddenBlobs[blobKey] = count;
}

void SyncReferenceService::putBlob(const std::string& email, const std::string& blobKey, const std::string& sealedBytes) {
    std::lock_guard lock(state_->mutex);
    state_->accounts.at(email).blobs[blobKey] = sealedBytes;
    state_->saveLocked();
}

void SyncReferenceService::setMaxEventPageBytes(std::size_t bytes) {
    std::lock_guard lock(state_->mutex);
    state_->maxPageBytes = bytes;
}

nlohmann::json SyncReferenceService::dump() const {
    std::lock_guard lock(state_->mutex);
    return state_->toJSONLocked();
}

std::vector<SyncReferenceService::RequestRecord> SyncReferenceService::requestLog() const {
    std::lock_guard lock(state_->mutex);
    return state_->log;
}

void SyncReferenceService::clearRequestLog() {
    std::lock_guard lock(state_->mutex);
    state_->log.clear();
}

std::vector<std::string> SyncReferenceService::liveTokens(const std::string& email) const {
    std::lock_guard lock(state_->mutex);
    std::vector<std::string> out;
    for (const auto& [token, t] : state_->tokens)
        if (t.email == email) out.push_back(token);
    return out;
}

void SyncReferenceService::save() const {
    std::lock_guard lock(state_->mutex);
    state_->saveLocked();
}

}  // namespace harbelle::sync
