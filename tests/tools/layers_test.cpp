// The layers, read from the product sources' #include lines: the machine
// (runtime/) is included by no file outside it, the ground (core/) includes
// no other folder, and the subsystem folders include each other without a
// loop. Tests, benches, fuzz targets and tools may include any layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string GROUND = "core";
const std::string MACHINE = "runtime";
const std::vector<std::string> SUBSYSTEMS = {"lang", "platform", "storage", "gfx", "userdata", "audio", "net"};

// Source file (relative to the tree) -> the product files it includes
// (relative to the tree; includes of no product file are left out).
using include_map = std::map<std::string, std::vector<std::string>>;

std::string folder_of(const std::string& path) { return path.substr(0, path.find('/')); }

bool is_product_folder(const std::string& f) {
    return f == GROUND || f == MACHINE || std::find(SUBSYSTEMS.begin(), SUBSYSTEMS.end(), f) != SUBSYSTEMS.end();
}

// An include names a product file either from the top of the tree
// ("gfx/gfx.h") or beside the including file ("hvx_hooks.h", "../x.h").
std::string resolve(const fs::path& root, const std::string& file, const std::string& name) {
    const fs::path beside = (fs::path(file).parent_path() / name).lexically_normal();
    if (fs::exists(root / beside)) return beside.generic_string();
    const fs::path top = fs::path(name).lexically_normal();
    if (fs::exists(root / top)) return top.generic_string();
    return "";
}

// The name of a line's #include "name", or empty.
std::string quoted_include(const std::string& line) {
    size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line[i] != '#') return "";
    i = line.find_first_not_of(" \t", i + 1);
    if (i == std::string::npos || line.compare(i, 7, "include") != 0) return "";
    i = line.find_first_not_of(" \t", i + 7);
    if (i == std::string::npos || line[i] != '"') return "";
    const size_t end = line.find('"', i + 1);
    return end == std::string::npos ? "" : line.substr(i + 1, end - i - 1);
}

include_map read_includes(const fs::path& root) {
    include_map out;
    for (const auto& dir : fs::directory_iterator(root)) {
        if (!dir.is_directory() || !is_product_folder(dir.path().filename().string())) continue;
        for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
            const std::string ext = e.path().extension().string();
            if (!e.is_regular_file() || (ext != ".cpp" && ext != ".h" && ext != ".c")) continue;
            const std::string file = fs::relative(e.path(), root).generic_string();
            std::ifstream in(e.path());
            std::vector<std::string>& incs = out[file];
            for (std::string line; std::getline(in, line);) {
                const std::string name = quoted_include(line);
                const std::string target = name.empty() ? "" : resolve(root, file, name);
                if (!target.empty()) incs.push_back(target);
            }
        }
    }
    return out;
}

// Every breach of the layers, one line each; empty when they hold.
std::vector<std::string> check_layers(const include_map& includes) {
    std::vector<std::string> breaches;
    std::map<std::string, std::set<std::string>> uses;  // subsystem folder -> subsystem folders it includes
    std::map<std::pair<std::string, std::string>, std::string> witness;  // an include behind each edge
    for (const auto& [file, incs] : includes) {
        const std::string from = folder_of(file);
        for (const std::string& inc : incs) {
            const std::string to = folder_of(inc);
            if (to == from || !is_product_folder(to)) continue;
            if (to == MACHINE) breaches.push_back(file + " includes the machine's " + inc);
            if (from == GROUND) breaches.push_back(file + " (the ground) includes " + inc);
            if (from != MACHINE && from != GROUND && to != GROUND && to != MACHINE) {
                uses[from].insert(to);
                witness.emplace(std::make_pair(from, to), file + " -> " + inc);
            }
        }
    }
    // A loop between folders: depth-first search, reported once per loop
    // found through a back edge.
    std::map<std::string, int> state;  // 0 new, 1 on the path, 2 done
    std::vector<std::string> path;
    std::function<void(const std::string&)> visit = [&](const std::string& f) {
        state[f] = 1;
        path.push_back(f);
        for (const std::string& g : uses[f]) {
            if (state[g] == 1) {
                std::string loop;
                for (auto it = std::find(path.begin(), path.end(), g); it != path.end(); ++it) {
                    const std::string& next = it + 1 != path.end() ? *(it + 1) : g;
                    loop += (loop.empty() ? "" : "; ") + witness[{*it, next}];
                }
                breaches.push_back("a loop between folders: " + loop);
            } else if (state[g] == 0) {
                visit(g);
            }
        }
        path.pop_back();
        state[f] = 2;
    };
    for (const std::string& s : SUBSYSTEMS)
        if (state[s] == 0) visit(s);
    return breaches;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines) s += l + "\n";
    return s;
}

class layers : public ::testing::Test {
protected:
    static const include_map& tree() {
        static const include_map m = read_includes(HALVORAN_SOURCE_DIR);
        return m;
    }
};

TEST_F(layers, the_product_sources_keep_them) {
    ASSERT_GT(tree().size(), 100u) << "the sources were not found under " << HALVORAN_SOURCE_DIR;
    ASSERT_TRUE(tree().count("core/core.h"));
    const std::vector<std::string> breaches = check_layers(tree());
    EXPECT_TRUE(breaches.empty()) << joined(breaches);
}

// One planted breach of each rule in the real tree is found, and named.
TEST_F(layers, a_planted_breach_of_each_rule_is_found) {
    struct plant {
        const char* file;
        const char* include;
        const char* expect;  // in the breach reported
    };
    const plant plants[] = {
        {"gfx/lines.cpp", "runtime/runtime.h", "gfx/lines.cpp includes the machine's runtime/runtime.h"},
        {"core/buffer.cpp", "storage/storage.h", "core/buffer.cpp (the ground) includes storage/storage.h"},
        {"core/mem.cpp", "runtime/runtime.h", "core/mem.cpp includes the machine's runtime/runtime.h"},
        // gfx includes storage already: storage back up to gfx closes a loop.
        {"storage/vyn.cpp", "gfx/gfx.h", "a loop between folders: "},
        // A longer one: userdata -> audio, audio -> gfx, gfx -> userdata.
        {"audio/mixer.cpp", "gfx/gfx.h", "audio/mixer.cpp -> gfx/gfx.h"},
    };
    for (const plant& p : plants) {
        include_map planted = tree();
        ASSERT_TRUE(planted.count(p.file)) << p.file;
        planted[p.file].push_back(p.include);
        if (std::string(p.file) == "audio/mixer.cpp") planted["userdata/userdata.cpp"].push_back("audio/audio.h");
        const std::string found = joined(check_layers(planted));
        EXPECT_NE(found.find(p.expect), std::string::npos) << p.file << " -> " << p.include << ":\n" << found;
    }
}

// Tests, benches and tools stand outside the layers; includes of files that
// are not the product's (the interpreter's, the host's) are no edges.
TEST(layers_check, reads_only_what_names_a_product_file) {
    const include_map m = {
        {"net/socket.cpp", {"core/core.h", "lang/lang.h"}},
        {"lang/args.cpp", {"lang/lang.h"}},
        {"runtime/api.cpp", {"net/net.h", "gfx/gfx.h", "core/core.h"}},
        {"gfx/calls.cpp", {"lang/lang.h", "core/core.h"}},
    };
    EXPECT_TRUE(check_layers(m).empty()) << joined(check_layers(m));
    include_map loop = m;
    loop["lang/args.cpp"].push_back("gfx/gfx.h");
    ASSERT_EQ(check_layers(loop).size(), 1u) << joined(check_layers(loop));
    EXPECT_EQ(check_layers(loop)[0], "a loop between folders: lang/args.cpp -> gfx/gfx.h; gfx/calls.cpp -> lang/lang.h");
}

}  // namespace
