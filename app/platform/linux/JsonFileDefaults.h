#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "platform/Defaults.h"

namespace harbelle {

// Settings of one identifier kept as one JSON object in "<identifier>.json" under the user's
// configuration folder. The file is read once; every change rewrites it whole and atomically
// (a 0600 temporary file beside it, or beside its target when it is a link, synced, then renamed
// over it).
//
// A file that cannot be parsed is copied aside to "<identifier>.corrupt.json" (an existing
// copy is never overwritten) and the settings start empty. When the bad file cannot be copied,
// or cannot even be read, nothing is written for this run so its bytes survive.
class JsonFileDefaults final : public Defaults {
public:
    static constexpr const char* kDefaultIdentifier = "com.harbelleapp.Harbelle";

    explicit JsonFileDefaults(std::string identifier = kDefaultIdentifier,
                              std::optional<std::filesystem::path> folder = std::nullopt);

    std::optional<nlohmann::json> object(const std::string& key) const override;
    void set(const std::string& key, const nlohmann::json& value) override;
    void removeObject(const std::string& key) override;
    std::optional<nlohmann::json> persistentDomain(const std::string& identifier) const override;
    std::optional<std::string> readFailure() const override { return readFailure_; }

    // Removes temporary files of this settings file left by a save that was cut short. Only
    // while no other instance can be writing it. Returns how many were removed.
    int removeStaleTemporaryFiles();
    // The most recent problem (reading, preserving or writing the file); empty when none.
    const std::string& lastError() const { return lastError_; }
    // False after an unreadable file could not be preserved: changes then stay in memory.
    bool writesAllowed() const { return writesAllowed_; }
    const std::filesystem::path& fileURL() const { return file_; }
    const std::filesystem::path& folderURL() const { return folder_; }

    // $XDG_CONFIG_HOME (normally ~/.config).
    static std::filesystem::path defaultFolder();

private:
    void load();
    bool preserveCorruptFile(const std::string& bytes);
    void persist();

    std::string identifier_;
    std::filesystem::path folder_;
    std::filesystem::path file_;
    nlohmann::json values_ = nlohmann::json::object();
    std::string lastError_;
    std::optional<std::string> readFailure_;
    bool writesAllowed_ = true;
};

}  // namespace harbelle
