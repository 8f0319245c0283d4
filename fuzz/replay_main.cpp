// SPDX-License-Identifier: MIT
// Replay driver for the fuzz targets in builds without libFuzzer: feeds every
// file of the corpus directory, then a fixed number of deterministic
// mutations of each (bit flips, truncations, byte runs; 300, or as many as
// the second argument says, fewer for a large corpus), to the target.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" [[gnu::weak]] int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

std::vector<std::string> ReadCorpus(const char* directory) {
    std::vector<std::string> inputs;
    DIR* dir = ::opendir(directory);
    if (dir == nullptr) return inputs;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream in(std::string(directory) + "/" + entry->d_name, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        inputs.push_back(s.str());
    }
    ::closedir(dir);
    return inputs;
}

void Run(const std::string& input) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR [MUTATIONS]\n", argv[0]);
        return 2;
    }
    std::vector<std::string> corpus = ReadCorpus(argv[1]);
    // A large corpus gets fewer mutations of each input, so the replay stays
    // quick: about kMaxRuns runs in all, but every input at least once.
    constexpr std::size_t kMaxRuns = 4000;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 300;
    if (!corpus.empty() && corpus.size() * static_cast<std::size_t>(rounds + 1) > kMaxRuns) {
        rounds = static_cast<int>(kMaxRuns / corpus.size()) - 1;
        if (rounds < 0) rounds = 0;
    }
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    if (corpus.empty()) {
        std::fprintf(stderr, "empty corpus %s\n", argv[1]);
        return 2;
    }
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    int runs = 0;
    for (const std::string& original : corpus) {
        Run(original);
        ++runs;
        for (int round = 0; round < rounds; ++round) {
            std::string input = original;
            switch (next() % 4) {
                case 0:  // flip bits
                    for (int k = 0; k < 4 && !input.empty(); ++k) input[next() % input.size()] ^= 1 << (next() % 8);
                    break;
                case 1:  // cut short
                    input.resize(input.empty() ? 0 : next() % input.size());
                    break;
                case 2:  // a run of one byte
                    input.insert(input.empty() ? 0 : next() % input.size(), next() % 600,
                                 static_cast<char>(next() % 256));
                    break;
                default:  // random bytes overwritten
                    for (int k = 0; k < 16 && !input.empty(); ++k) input[next() % input.size()] = static_cast<char>(next());
            }
            Run(input);
            ++runs;
        }
    }
    std::fprintf(stderr, "%d inputs replayed\n", runs);
    return 0;
}
