#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <thread>
#include <vector>

#include "history/Uuid.h"

namespace harbelle {
namespace {

bool isVersion4(const Uuid& id) { return (id.bytes()[6] >> 4) == 4 && (id.bytes()[8] >> 6) == 2; }

TEST(UuidTest, RandomIdsAreVersion4AndDistinctAcrossRefillsAndThreads) {
    // Enough ids to run through the per-thread block of random bytes many times over.
    constexpr int kPerThread = 2'000;
    std::vector<std::vector<Uuid>> made(4);
    std::vector<std::thread> threads;
    for (auto& ids : made)
        threads.emplace_back([&ids] {
            for (int i = 0; i < kPerThread; ++i) ids.push_back(Uuid::random());
        });
    for (auto& thread : threads) thread.join();
    std::set<Uuid> seen;
    for (const auto& ids : made)
        for (const Uuid& id : ids) {
            EXPECT_TRUE(isVersion4(id)) << id.uppercaseString();
            EXPECT_FALSE(id.isNil());
            seen.insert(id);
        }
    EXPECT_EQ(seen.size(), made.size() * kPerThread);
}

TEST(UuidTest, AForkedChildDoesNotRepeatItsParentsNextIds) {
    (void)Uuid::random();  // the block is filled before the fork
    int channel[2];
    ASSERT_EQ(::pipe(channel), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const Uuid id = Uuid::random();
        const bool written = ::write(channel[1], id.bytes().data(), id.bytes().size()) == 16;
        ::_exit(written ? 0 : 1);
    }
    ::close(channel[1]);
    std::array<std::uint8_t, 16> childBytes{};
    const ssize_t got = ::read(channel[0], childBytes.data(), childBytes.size());
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_EQ(got, 16);
    EXPECT_NE(Uuid(childBytes), Uuid::random());
}

}  // namespace
}  // namespace harbelle
