// Decodes one LZFSE file and prints the decoder's speed in MB/s of output, so it can be timed
// beside any other decoder on the same file.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "legacyimport/LzfseDecoder.h"

using namespace harbelle;

int main(int argc, char** argv) {
    std::string path = std::string(HARBELLE_TESTDATA_DIR) + "/lzfse/text-3m.lzfse";
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]).rfind("--", 0) != 0) path = argv[i];  // other benchmarks' flags are ignored

    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
    }
    const std::vector<std::uint8_t> input{std::istreambuf_iterator<char>(file), {}};
    const LzfseResult first = decodeLzfse(input);
    if (!first.ok()) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), first.error.c_str());
        return 1;
    }

    // Repeat for about a second of decoding and report the best of ten rounds.
    using Clock = std::chrono::steady_clock;
    const auto once = [&] {
        const auto start = Clock::now();
        const LzfseResult r = decodeLzfse(input);
        if (r.bytes.size() != first.bytes.size()) std::abort();
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    const double probe = once();
    const int perRound = std::max(1, int(0.1 / std::max(probe, 1e-6)));
    double best = 1e30;
    for (int round = 0; round < 10; ++round) {
        double seconds = 0;
        for (int i = 0; i < perRound; ++i) seconds += once();
        best = std::min(best, seconds / perRound);
    }
    const double mb = double(first.bytes.size()) / 1e6;
    std::printf("%s: %zu -> %zu bytes, %.3f ms per decode, %.0f MB/s\n", path.c_str(), input.size(),
                first.bytes.size(), best * 1e3, mb / best);
    return 0;
}
