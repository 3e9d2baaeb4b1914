// The same cases on the in-memory twin and on the settings file, so the twin the other tests
// run on behaves like the real store, across a restart where the store has one.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cmath>
#include <filesystem>
#include <limits>
#include <memory>

#include "platform/linux/JsonFileDefaults.h"
#include "support/InMemoryDefaults.h"

namespace harbelle::testing {
namespace {

struct InMemoryStore {
    std::unique_ptr<InMemoryDefaults> defaults = std::make_unique<InMemoryDefaults>();
    Defaults& current() { return *defaults; }
    Defaults& reopened() { return *defaults; }
};

struct FileStore {
    QTemporaryDir temp;
    std::unique_ptr<JsonFileDefaults> defaults = open();
    std::unique_ptr<JsonFileDefaults> open() {
        return std::make_unique<JsonFileDefaults>(JsonFileDefaults::kDefaultIdentifier,
                                                  std::filesystem::path(temp.path().toStdString()));
    }
    Defaults& current() { return *defaults; }
    Defaults& reopened() {
        defaults.reset();
        defaults = open();
        return *defaults;
    }
};

template <typename Store>
class DefaultsContract : public ::testing::Test {
protected:
    Store store;
};

using Stores = ::testing::Types<InMemoryStore, FileStore>;
TYPED_TEST_SUITE(DefaultsContract, Stores);

TYPED_TEST(DefaultsContract, ValuesKeepTheirTypes) {
    Defaults& writer = this->store.current();
    writer.setBool("flag", false);
    writer.setInteger("count", 500);
    writer.setInteger("min", std::numeric_limits<std::int64_t>::min());
    writer.setDouble("width", 640.0);
    writer.setString("name", "Zoë");
    writer.setData("blob", Bytes{0, 1, 0xff});
    writer.set("list", nlohmann::json::array({"a", 1, true}));

    const Defaults& d = this->store.reopened();
    EXPECT_EQ(d.boolValue("flag"), false);
    EXPECT_FALSE(d.integerValue("flag").has_value());
    EXPECT_EQ(d.integerValue("count"), 500);
    EXPECT_EQ(d.doubleValue("count"), 500.0);
    EXPECT_EQ(d.integerValue("min"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(d.doubleValue("width"), 640.0);
    EXPECT_FALSE(d.integerValue("width").has_value());
    EXPECT_EQ(d.stringValue("name"), "Zoë");
    EXPECT_FALSE(d.dataValue("name").has_value());
    EXPECT_EQ(d.dataValue("blob"), (Bytes{0, 1, 0xff}));
    EXPECT_FALSE(d.stringValue("blob").has_value());
    EXPECT_EQ(d.object("list"), nlohmann::json::array({"a", 1, true}));
    EXPECT_FALSE(d.object("missing").has_value());
}

TYPED_TEST(DefaultsContract, RemovalsAndReplacementsHold) {
    Defaults& writer = this->store.current();
    writer.setString("a", "1");
    writer.setString("b", "2");
    writer.setString("c", "text");
    writer.removeObject("a");
    writer.removeObject("never-set");
    writer.setInteger("c", 3);
    writer.setDouble("d", 2.5);
    writer.setDouble("d", std::nan(""));
    writer.setDouble("e", std::numeric_limits<double>::infinity());

    const Defaults& d = this->store.reopened();
    EXPECT_FALSE(d.object("a").has_value());
    EXPECT_EQ(d.stringValue("b"), "2");
    EXPECT_EQ(d.integerValue("c"), 3);
    EXPECT_FALSE(d.stringValue("c").has_value());
    EXPECT_FALSE(d.object("d").has_value()) << "a non-finite double removes the value";
    EXPECT_FALSE(d.object("e").has_value());
}

TYPED_TEST(DefaultsContract, InvalidUtf8IsRefusedAndLaterSetsStillHold) {
    Defaults& writer = this->store.current();
    writer.setString("bad", std::string("\xff\xfe", 2));
    writer.setString("good", "yes");
    const Defaults& d = this->store.reopened();
    EXPECT_FALSE(d.object("bad").has_value());
    EXPECT_EQ(d.stringValue("good"), "yes");
}

}  // namespace
}  // namespace harbelle::testing
