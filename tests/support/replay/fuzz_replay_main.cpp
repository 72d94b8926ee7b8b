// Replays committed fuzz inputs in the ordinary test build: every fuzz
// target's source is compiled in with its entry renamed, and
//   tests_fuzz_seeds TARGET FOLDER
// runs each file under FOLDER through TARGET (its own start-up first, as the
// fuzzer does). A fault shows as the target's abort or a sanitizer report.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_replay_table.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s TARGET FOLDER\n", argv[0]);
        return 2;
    }
    const fuzz_replay_target* t = nullptr;
    for (const fuzz_replay_target& c : fuzz_replay_targets)
        if (strcmp(c.name, argv[1]) == 0) t = &c;
    if (!t) {
        fprintf(stderr, "no fuzz target %s\n", argv[1]);
        return 2;
    }
    std::vector<std::filesystem::path> inputs;
    for (const auto& e : std::filesystem::recursive_directory_iterator(argv[2]))
        if (e.is_regular_file()) inputs.push_back(e.path());
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty()) {
        fprintf(stderr, "%s: no inputs under %s\n", t->name, argv[2]);
        return 1;
    }
    if (t->init) t->init(&argc, &argv);
    for (const auto& p : inputs) {
        std::ifstream f(p, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        fprintf(stderr, "%s: %s (%zu bytes)\n", t->name, p.filename().c_str(), bytes.size());
        t->run(bytes.data(), bytes.size());
    }
    fprintf(stderr, "%s: %zu inputs replayed\n", t->name, inputs.size());
    return 0;
}
