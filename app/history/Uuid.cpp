#include "history/Uuid.h"

#include <pthread.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <random>

#include "common/UuidText.h"

namespace harbelle {

namespace {

// Random bytes straight from the kernel, taken a block at a time: a history load makes one id
// per decoded clip, and one getrandom call per block is far cheaper than a call per id (or than
// bringing up OpenSSL's generator, which alone keeps megabytes of library pages resident).
struct RandomPool {
    std::array<std::uint8_t, 1024> bytes{};
    std::size_t used = bytes.size();
};
thread_local RandomPool pool;

// A forked child must not hand out the ids its parent still holds.
void forgetPoolAfterFork() { pool.used = pool.bytes.size(); }

bool fillFromKernel(std::uint8_t* out, std::size_t size) {
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got = ::getrandom(out + filled, size - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        filled += static_cast<std::size_t>(got);
    }
    return true;
}

void randomBytes(std::uint8_t* out, std::size_t size) {
    static std::once_flag forkHandler;
    std::call_once(forkHandler, [] { ::pthread_atfork(nullptr, nullptr, forgetPoolAfterFork); });
    if (pool.used + size > pool.bytes.size()) {
        if (!fillFromKernel(pool.bytes.data(), pool.bytes.size())) {
            std::random_device device;
            for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(device());
            return;
        }
        pool.used = 0;
    }
    std::copy_n(pool.bytes.data() + pool.used, size, out);
    pool.used += size;
}

}  // namespace

Uuid Uuid::random() {
    std::array<std::uint8_t, 16> bytes{};
    randomBytes(bytes.data(), bytes.size());
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
    return Uuid(bytes);
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    const auto bytes = uuidtext::parse(text);
    return bytes ? std::optional<Uuid>(Uuid(*bytes)) : std::nullopt;
}

std::string Uuid::uppercaseString() const { return uuidtext::format(bytes_, "0123456789ABCDEF"); }
std::string Uuid::lowercaseString() const { return uuidtext::format(bytes_, "0123456789abcdef"); }

bool Uuid::isNil() const {
    for (auto b : bytes_)
        if (b) return false;
    return true;
}

}  // namespace harbelle
