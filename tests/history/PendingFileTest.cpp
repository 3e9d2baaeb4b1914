// A large file goes out in blocks of its own, past the page cache where the file system takes
// that: whatever the sizes of the pieces, the file holds exactly their bytes, in order.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "history/PendingFile.h"

using harbelle::historyfiles::PendingFile;

namespace {

std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

}  // namespace

TEST(PendingFile, HoldsEveryPieceInOrderWhateverTheirSizes) {
    constexpr std::size_t MiB = std::size_t{1} << 20;
    const struct {
        const char* name;
        std::vector<std::size_t> pieces;
    } cases[] = {
        {"a block and one byte", {8 * MiB + 1}},
        {"whole blocks only", {8 * MiB, 8 * MiB}},
        {"small pieces before the large ones", {100, 3 * MiB, 4095, 3 * MiB + 7}},
        {"small pieces across block ends", {2 * MiB, 7777, 7777, 9 * MiB, 1, 3}},
    };
    std::mt19937 random(7);
    // On disk, and in memory, where the file system may refuse writes past the cache.
    for (const char* base : {"", "/dev/shm"}) {
        if (*base && !std::filesystem::is_directory(base)) continue;
        QTemporaryDir folder(*base ? QStringLiteral("/dev/shm/harbelle-pending-XXXXXX") : QString());
        ASSERT_TRUE(folder.isValid());
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (*base ? " in memory" : " on disk"));
            const std::filesystem::path target = std::filesystem::path(folder.path().toStdString()) / "history.json";
            std::string expected;
            PendingFile file(target);
            for (const std::size_t size : c.pieces) {
                std::string piece(size, '\0');
                for (char& byte : piece) byte = char(random());
                expected += piece;
                ASSERT_TRUE(file.write(piece));
            }
            ASSERT_TRUE(file.replace());
            EXPECT_TRUE(readAll(target) == expected);
        }
    }
}
