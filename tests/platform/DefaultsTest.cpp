#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QTemporaryDir>
#include <QTest>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "platform/linux/JsonFileDefaults.h"
#include "support/InMemoryDefaults.h"

using namespace harbelle;
namespace fs = std::filesystem;

namespace {

class JsonFileDefaultsTest : public ::testing::Test {
protected:
    QTemporaryDir temp;
    fs::path folder() const { return fs::path(temp.path().toStdString()) / "config" / "nested"; }
    fs::path file() const { return folder() / "com.harbelleapp.Harbelle.json"; }
    JsonFileDefaults open() const { return JsonFileDefaults(JsonFileDefaults::kDefaultIdentifier, folder()); }

    static std::string read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static void write(const fs::path& path, const std::string& bytes) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static unsigned mode(const fs::path& path) {
        struct stat info {};
        EXPECT_EQ(::stat(path.c_str(), &info), 0);
        return info.st_mode & 0777;
    }
};

}  // namespace

TEST_F(JsonFileDefaultsTest, ValuesKeepTheirTypesAcrossARestart) {
    {
        auto defaults = open();
        EXPECT_TRUE(defaults.lastError().empty());
        defaults.setBool("launchAtLogin", false);
        defaults.setInteger("maxItems", 500);
        defaults.setInteger("big", std::numeric_limits<std::int64_t>::min());
        defaults.setDouble("width", 640.0);
        defaults.setDouble("ratio", 0.1);
        defaults.setString("name", "Zoë \"quoted\"");
        defaults.setData("blob", Bytes{0, 1, 2, 0xff});
        defaults.set("list", nlohmann::json::array({"a", 1, true}));
        EXPECT_TRUE(defaults.lastError().empty()) << defaults.lastError();
    }
    auto defaults = open();
    EXPECT_EQ(defaults.boolValue("launchAtLogin"), false);
    EXPECT_TRUE(defaults.object("launchAtLogin")->is_boolean());
    EXPECT_FALSE(defaults.integerValue("launchAtLogin").has_value());

    EXPECT_EQ(defaults.integerValue("maxItems"), 500);
    EXPECT_TRUE(defaults.object("maxItems")->is_number_integer());
    EXPECT_EQ(defaults.doubleValue("maxItems"), 500.0);  // integers read as doubles too
    EXPECT_EQ(defaults.integerValue("big"), std::numeric_limits<std::int64_t>::min());

    EXPECT_EQ(defaults.doubleValue("width"), 640.0);
    EXPECT_TRUE(defaults.object("width")->is_number_float());
    EXPECT_FALSE(defaults.integerValue("width").has_value());
    EXPECT_EQ(defaults.doubleValue("ratio"), 0.1);

    EXPECT_EQ(defaults.stringValue("name"), "Zoë \"quoted\"");
    EXPECT_FALSE(defaults.dataValue("name").has_value());
    EXPECT_EQ(defaults.dataValue("blob"), (Bytes{0, 1, 2, 0xff}));
    EXPECT_FALSE(defaults.stringValue("blob").has_value());
    EXPECT_EQ(*defaults.object("list"), nlohmann::json::array({"a", 1, true}));
    EXPECT_FALSE(defaults.boolValue("missing").has_value());
}

TEST_F(JsonFileDefaultsTest, FileIsPrivateAndRemovalsPersist) {
    {
        auto defaults = open();
        defaults.setString("a", "1");
        defaults.setString("b", "2");
        defaults.removeObject("a");
    }
    EXPECT_EQ(mode(file()), 0600u);
    EXPECT_EQ(mode(folder()), 0700u);
    EXPECT_EQ(mode(folder().parent_path()), 0700u);
    auto defaults = open();
    EXPECT_FALSE(defaults.object("a").has_value());
    EXPECT_EQ(defaults.stringValue("b"), "2");
    // No temporary files are left behind.
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder())) ++entries;
    EXPECT_EQ(entries, 1);
}

TEST_F(JsonFileDefaultsTest, NonFiniteDoublesAreNotStored) {
    auto defaults = open();
    defaults.setDouble("x", 2.5);
    defaults.setDouble("x", std::nan(""));
    EXPECT_FALSE(defaults.object("x").has_value());
    defaults.setDouble("y", std::numeric_limits<double>::infinity());
    EXPECT_FALSE(defaults.object("y").has_value());
    EXPECT_EQ(open().object("x"), std::nullopt);
}

TEST_F(JsonFileDefaultsTest, CorruptFileIsPreservedAndNeverOverwritten) {
    write(file(), "{\"maxItems\": 12,");
    {
        auto defaults = open();
        EXPECT_FALSE(defaults.lastError().empty());
        EXPECT_TRUE(defaults.writesAllowed());
        EXPECT_FALSE(defaults.object("maxItems").has_value());
        defaults.setInteger("maxItems", 40);
    }
    const fs::path copy = folder() / "com.harbelleapp.Harbelle.corrupt.json";
    EXPECT_EQ(read(copy), "{\"maxItems\": 12,");
    EXPECT_EQ(mode(copy), 0600u);
    EXPECT_EQ(open().integerValue("maxItems"), 40);

    // A second, different bad file keeps the first copy and gets a copy of its own.
    write(file(), "[1, 2]");
    { auto defaults = open(); EXPECT_FALSE(defaults.lastError().empty()); defaults.setBool("x", true); }
    EXPECT_EQ(read(copy), "{\"maxItems\": 12,");
    EXPECT_EQ(read(folder() / "com.harbelleapp.Harbelle.corrupt.2.json"), "[1, 2]");
}

TEST_F(JsonFileDefaultsTest, UnpreservableFileIsLeftAlone) {
    write(file(), "not json");
    fs::create_directories(folder() / "com.harbelleapp.Harbelle.corrupt.json");  // blocks the copy
    const fs::path blocker = folder() / "com.harbelleapp.Harbelle.corrupt.json";
    // A directory of that name reads as a different copy; fill every numbered slot too.
    for (int n = 2; n <= 100; ++n)
        fs::create_directories(folder() / ("com.harbelleapp.Harbelle.corrupt." + std::to_string(n) + ".json"));
    auto defaults = open();
    EXPECT_FALSE(defaults.writesAllowed());
    defaults.setString("k", "v");
    EXPECT_EQ(defaults.stringValue("k"), "v");  // kept for this run
    EXPECT_EQ(read(file()), "not json");
    EXPECT_TRUE(fs::is_directory(blocker));
}

TEST_F(JsonFileDefaultsTest, InvalidUtf8IsRefusedWithoutBreakingLaterSaves) {
    auto defaults = open();
    defaults.setString("bad", std::string("\xff\xfe", 2));
    EXPECT_FALSE(defaults.lastError().empty());
    EXPECT_FALSE(defaults.object("bad").has_value());
    defaults.setString("good", "yes");
    defaults.flush();
    EXPECT_EQ(open().stringValue("good"), "yes");
}

TEST_F(JsonFileDefaultsTest, ReadsTheOlderIdentifiersDomain) {
    write(folder() / "com.brantlemoor.Pemberlow.json", R"({"maxItems": 300, "pasteDirectly": false})");
    auto defaults = open();
    auto older = defaults.persistentDomain("com.brantlemoor.Pemberlow");
    ASSERT_TRUE(older.has_value());
    EXPECT_EQ((*older)["maxItems"], 300);
    EXPECT_EQ((*older)["pasteDirectly"], false);
    EXPECT_FALSE(defaults.persistentDomain("com.example.Missing").has_value());
    EXPECT_FALSE(defaults.persistentDomain("../config/nested/com.brantlemoor.Pemberlow").has_value());
    defaults.setInteger("own", 1);
    EXPECT_EQ((*defaults.persistentDomain(JsonFileDefaults::kDefaultIdentifier))["own"], 1);
}

TEST_F(JsonFileDefaultsTest, DeepNestingIsUnreadableAndNestedValuesAreWrittenCompactly) {
    const std::string deep = "{\"a\": " + std::string(1000, '[') + std::string(1000, ']') + "}";
    write(file(), deep);
    auto defaults = open();
    EXPECT_FALSE(defaults.lastError().empty());
    EXPECT_FALSE(defaults.object("a").has_value());
    EXPECT_EQ(read(folder() / "com.harbelleapp.Harbelle.corrupt.json"), deep);

    // One member a line; what is inside a member stays as compact as it comes.
    defaults.set("k", nlohmann::json::parse("[[1, [2]], {\"x\": {}}]"));
    defaults.setBool("b", true);
    defaults.flush();
    EXPECT_EQ(read(file()), "{\n  \"b\": true,\n  \"k\": [[1,[2]],{\"x\":{}}]\n}\n");
}

TEST_F(JsonFileDefaultsTest, ALinkedSettingsFileStaysALinkToTheUpdatedFile) {
    const fs::path real = fs::path(temp.path().toStdString()) / "dotfiles" / "settings.json";
    write(real, R"({"x": 1})");
    fs::create_directories(folder());
    fs::create_symlink("../../dotfiles/settings.json", file());
    auto defaults = open();
    EXPECT_EQ(defaults.integerValue("x"), 1);
    defaults.setInteger("x", 2);
    defaults.flush();
    EXPECT_TRUE(fs::is_symlink(file()));
    EXPECT_EQ(open().integerValue("x"), 2);
    EXPECT_NE(read(real).find("\"x\": 2"), std::string::npos);
}

TEST_F(JsonFileDefaultsTest, StaleTemporaryFilesOfTheSettingsFileAreRemoved) {
    const std::vector<std::pair<std::string, bool>> files = {
        {".com.harbelleapp.Harbelle.json.tmp-a1b2c3", true},
        {".com.harbelleapp.Harbelle.json.tmp-0123456789", true},
        {".com.harbelleapp.Harbelle.json.tmp-", false},
        {".com.other.json.tmp-a1b2c3", false},
        {".history.json.tmp-a1b2c3", false},
    };
    for (const auto& [name, _] : files) write(folder() / name, "partial");
    auto defaults = open();
    EXPECT_EQ(defaults.removeStaleTemporaryFiles(), 2);
    for (const auto& [name, removed] : files) EXPECT_EQ(fs::exists(folder() / name), !removed) << name;
}

TEST(DefaultsData, DecodesOnlyTheDataShape) {
    EXPECT_EQ(Defaults::decodeData(Defaults::encodeData({})), Bytes{});
    EXPECT_EQ(Defaults::encodeData({'h', 'i'}), (nlohmann::json{{"$data", "aGk="}}));
    EXPECT_FALSE(Defaults::decodeData(nlohmann::json{{"$data", "not base64!"}}).has_value());
    EXPECT_FALSE(Defaults::decodeData(nlohmann::json{{"$data", "aGk="}, {"other", 1}}).has_value());
    EXPECT_FALSE(Defaults::decodeData("aGk=").has_value());

    harbelle::testing::InMemoryDefaults defaults;
    defaults.set("huge", nlohmann::json(std::numeric_limits<std::uint64_t>::max()));
    EXPECT_FALSE(defaults.integerValue("huge").has_value());
    EXPECT_TRUE(defaults.doubleValue("huge").has_value());
    defaults.setBool("flag", false);
    EXPECT_EQ(defaults.boolValue("flag"), false);
    EXPECT_FALSE(defaults.stringValue("flag").has_value());
}

TEST_F(JsonFileDefaultsTest, ABurstOfSetsCostsOneWriteThatFlushMakesDurable) {
    JsonFileDefaults defaults(JsonFileDefaults::kDefaultIdentifier, folder(), std::chrono::hours(1));
    for (int i = 0; i < 1000; ++i) defaults.setInteger("transparency", i);
    defaults.setString("other", "x");
    EXPECT_EQ(defaults.writeCount(), 0u);
    EXPECT_FALSE(fs::exists(file())) << "the caller never waits on the disk";
    defaults.flush();
    EXPECT_EQ(defaults.writeCount(), 1u);
    defaults.flush();
    EXPECT_EQ(defaults.writeCount(), 1u) << "nothing pending, nothing written";
    auto reread = open();
    EXPECT_EQ(reread.integerValue("transparency"), 999);
    EXPECT_EQ(reread.stringValue("other"), "x");
}

TEST_F(JsonFileDefaultsTest, AChangeReachesTheDiskShortlyAfterWithoutAFlush) {
    JsonFileDefaults defaults(JsonFileDefaults::kDefaultIdentifier, folder(), std::chrono::milliseconds(20));
    defaults.setBool("launchAtLogin", true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return defaults.writeCount() == 1; }, 5000));
    EXPECT_EQ(open().boolValue("launchAtLogin"), true);
    EXPECT_EQ(mode(file()), 0600u);
}
