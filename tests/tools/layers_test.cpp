// The layers, kept by what the code does. Their order is stated once, in the
// README's Layout ("Layers, from the bottom: `a < b < ...`"); here it is read
// from there and held against
// - every include of a product file (every file the build's patterns name,
//   compiled or included), with quotes or angle brackets: a file includes
//   its own folder and the layers below it only; an include through a macro
//   is refused, as no reading of the text can tell what it names;
// - the top-level folders: one with sources is a layer or one of the few
//   folders outside the product;
// - the built objects' symbols: an object refers to no symbol that only a
//   higher layer defines, so a call no include shows is caught as well.
// Inside storage/ the concerns keep an order of their own, stated once in the
// README ("Storage concerns, from the bottom: ...") and repeated in the
// umbrella header; its files' includes and objects are held against it the
// same way.
#include <cxxabi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// Folders outside the product: they may include and call any layer.
const std::set<std::string> OUTSIDE = {"tests", "bench", "tools", "cmake", "sysrom"};
// Where the build looks for an included name besides the including file's
// folder: the top of the tree and the interpreter's core sources.
const std::vector<std::string> INCLUDE_ROOTS = {"", "lang/core"};
const std::string ORDER_LEAD = "Layers, from the bottom: `";
const std::string CONCERN_LEAD = "Storage concerns, from the bottom: `";
// The storage files not named after their concern (a header or a file whose
// name is a concern's belongs to it).
const std::map<std::string, std::string> STORAGE_FILES = {
    {"codecs.cpp", "formats"},      {"diff.cpp", "formats"},       {"htable.cpp", "formats"},
    {"image_codecs.cpp", "formats"}, {"mmh3.cpp", "formats"},       {"pxu.cpp", "vyn"},
    {"rom.cpp", "cartridges"},      {"hvx_text.cpp", "cartridges"}, {"png_cart.cpp", "cartridges"},
    {"cart_write.cpp", "writeback"}, {"anywhen_query.cpp", "anywhen"}, {"fetch_store.cpp", "file_calls"},
};

// The extensions of the build's source patterns ("*.cpp *.inl ...").
std::set<std::string> source_extensions() {
    std::set<std::string> exts;
    std::istringstream in(HALVORAN_SOURCE_PATTERNS);
    for (std::string pattern; in >> pattern;)
        if (pattern.rfind("*.", 0) == 0) exts.insert(pattern.substr(1));
    return exts;
}

bool is_source(const fs::path& p) {
    static const std::set<std::string> exts = source_extensions();
    return exts.count(p.extension().string()) > 0;
}

// What an include through a macro is recorded as: the macro's name after this.
const std::string MACRO_MARK = "#macro ";

std::string folder_of(const std::string& path) { return path.substr(0, path.find('/')); }

std::string joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines) s += l + "\n";
    return s;
}

// The layers (or with CONCERN_LEAD, the storage concerns) from the README's
// text, bottom first; empty, with why in *err, unless exactly one line states
// them.
std::vector<std::string> layer_order(const std::string& readme, std::string* err, const std::string& lead = ORDER_LEAD) {
    const std::string what = lead == ORDER_LEAD ? "layer" : "concern";
    std::vector<std::string> order;
    int found = 0;
    std::istringstream in(readme);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(lead, 0) != 0) continue;
        found++;
        const size_t end = line.find('`', lead.size());
        std::string body = line.substr(lead.size(), end == std::string::npos ? 0 : end - lead.size());
        order.clear();
        for (size_t at = 0; at <= body.size();) {
            size_t next = body.find(" < ", at);
            if (next == std::string::npos) next = body.size();
            order.push_back(body.substr(at, next - at));
            at = next + 3;
        }
    }
    std::set<std::string> distinct(order.begin(), order.end());
    const bool named = std::all_of(order.begin(), order.end(), [](const std::string& n) {
        return !n.empty() && n.find_first_not_of("abcdefghijklmnopqrstuvwxyz_") == std::string::npos;
    });
    if (found != 1) *err = "the README states the " + what + "s " + std::to_string(found) + " times, not once";
    else if (order.size() < 2 || !named || distinct.size() != order.size()) *err = "the README's " + what + " line names no order";
    if (!err->empty()) order.clear();
    return order;
}

// The name a line includes, with its delimiter ('"' or '<'; 'm' for a macro,
// named instead), or "" when the line is no include.
std::pair<std::string, char> included_name(const std::string& line) {
    size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line[i] != '#') return {"", 0};
    i = line.find_first_not_of(" \t", i + 1);
    if (i == std::string::npos || line.compare(i, 7, "include") != 0) return {"", 0};
    if (i + 7 < line.size() && (std::isalnum((unsigned char)line[i + 7]) || line[i + 7] == '_')) return {"", 0};
    i = line.find_first_not_of(" \t", i + 7);
    if (i == std::string::npos) return {"", 0};
    if (line[i] != '"' && line[i] != '<') {
        const size_t end = line.find_first_of(" \t/", i);
        return {line.substr(i, end == std::string::npos ? std::string::npos : end - i), 'm'};
    }
    const char close = line[i] == '"' ? '"' : '>';
    const size_t end = line.find(close, i + 1);
    if (end == std::string::npos) return {"", 0};
    return {line.substr(i + 1, end - i - 1), line[i]};
}

// The product file an include names (relative to the tree), or "" for one
// that is not in the tree (the interpreter's, the host's). Quotes look beside
// the including file first, as the compiler does.
std::string resolve(const fs::path& root, const std::string& file, const std::string& name, char delim) {
    std::vector<fs::path> candidates;
    if (delim == '"') candidates.push_back(fs::path(file).parent_path() / name);
    for (const std::string& r : INCLUDE_ROOTS) candidates.push_back(fs::path(r) / name);
    for (fs::path c : candidates) {
        c = c.lexically_normal();
        if (!c.empty() && *c.begin() != ".." && fs::is_regular_file(root / c)) return c.generic_string();
    }
    return "";
}

// file -> the product files it includes.
using include_map = std::map<std::string, std::vector<std::string>>;

void add_includes(const fs::path& root, const std::string& file, std::istream& text, include_map* out) {
    std::vector<std::string>& incs = (*out)[file];
    for (std::string line; std::getline(text, line);) {
        const auto [name, delim] = included_name(line);
        if (delim == 'm') incs.push_back(MACRO_MARK + name);
        const std::string target = name.empty() || delim == 'm' ? "" : resolve(root, file, name, delim);
        if (!target.empty()) incs.push_back(target);
    }
}

// Every top-level folder that is no build tree, with whether it holds sources.
std::map<std::string, bool> top_folders(const fs::path& root) {
    std::map<std::string, bool> out;
    for (const auto& dir : fs::directory_iterator(root)) {
        const std::string name = dir.path().filename().string();
        if (!dir.is_directory() || name[0] == '.' || fs::exists(dir.path() / "CMakeCache.txt")) continue;
        bool sources = false;
        for (const auto& e : fs::recursive_directory_iterator(dir.path()))
            if (e.is_regular_file() && is_source(e.path())) {
                sources = true;
                break;
            }
        out[name] = sources;
    }
    return out;
}

include_map read_includes(const fs::path& root, const std::vector<std::string>& layers) {
    include_map out;
    for (const std::string& layer : layers) {
        if (!fs::is_directory(root / layer)) continue;
        for (const auto& e : fs::recursive_directory_iterator(root / layer)) {
            if (!e.is_regular_file() || !is_source(e.path())) continue;
            std::ifstream in(e.path());
            add_includes(root, fs::relative(e.path(), root).generic_string(), in, &out);
        }
    }
    return out;
}

int rank_of(const std::vector<std::string>& order, const std::string& folder) {
    auto it = std::find(order.begin(), order.end(), folder);
    return it == order.end() ? -1 : (int)(it - order.begin());
}

// The storage concern of a file of storage/, or "" for none.
std::string concern_of(const std::string& path) {
    const std::string name = fs::path(path).filename().string(), stem = fs::path(name).stem().string();
    auto it = STORAGE_FILES.find(name);
    return it != STORAGE_FILES.end() ? it->second : stem;
}

// Every include against the order (of the layers: grouped by folder), one
// line each.
std::vector<std::string> check_includes(const std::vector<std::string>& order, const include_map& includes,
                                        std::string (*group)(const std::string&) = folder_of) {
    std::vector<std::string> breaches;
    for (const auto& [file, incs] : includes) {
        const std::string from = group(file);
        for (const std::string& inc : incs) {
            if (inc.rfind(MACRO_MARK, 0) == 0) {
                breaches.push_back(file + " includes through the macro " + inc.substr(MACRO_MARK.size()) +
                                   ": name the file");
                continue;
            }
            const std::string to = group(inc);
            if (to == from) continue;
            const int rt = rank_of(order, to);
            if (rt < 0) breaches.push_back(file + " includes " + inc + ", outside the product");
            else if (rt > rank_of(order, from))
                breaches.push_back(file + " includes " + inc + ": " + to + " lies above " + from);
        }
    }
    return breaches;
}

// Every folder out of place, one line each.
std::vector<std::string> check_folders(const std::vector<std::string>& order, const std::map<std::string, bool>& folders) {
    std::vector<std::string> breaches;
    for (const auto& [name, sources] : folders)
        if (sources && rank_of(order, name) < 0 && !OUTSIDE.count(name))
            breaches.push_back(name + "/ holds sources but is neither a layer nor a folder outside the product");
    for (const std::string& layer : order)
        if (!folders.count(layer)) breaches.push_back("the layer " + layer + "/ is no folder");
    return breaches;
}

// One built object: its layer, the symbols it defines and those it refers to.
struct object_symbols {
    std::string path;  // as the build made it, under its target's folder
    std::string layer;
    std::set<std::string> defined, referred;
};

std::string demangled(const std::string& name) {
    int status = 0;
    char* d = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    std::string s = status == 0 && d ? d : name;
    std::free(d);
    return s;
}

// Every reference to a symbol that only higher layers define, one line each.
// A symbol no object defines is the host's or a library's.
std::vector<std::string> check_calls(const std::vector<std::string>& order, const std::vector<object_symbols>& objects) {
    std::map<std::string, std::vector<const object_symbols*>> definers;
    for (const object_symbols& o : objects)
        for (const std::string& s : o.defined) definers[s].push_back(&o);
    std::vector<std::string> breaches;
    for (const object_symbols& o : objects) {
        const int from = rank_of(order, o.layer);
        if (from < 0) {
            breaches.push_back(o.path + " belongs to no layer");
            continue;
        }
        for (const std::string& s : o.referred) {
            auto it = definers.find(s);
            if (it == definers.end()) continue;
            const object_symbols* lowest = nullptr;
            for (const object_symbols* d : it->second)
                if (!lowest || rank_of(order, d->layer) < rank_of(order, lowest->layer)) lowest = d;
            if (rank_of(order, lowest->layer) > from)
                breaches.push_back(o.path + " (" + o.layer + ") refers to " + demangled(s) + ", defined above it in " +
                                   lowest->path + " (" + lowest->layer + ")");
        }
    }
    return breaches;
}

// The includes among storage's files, and their files' concerns against the
// order: one line for each breach.
std::vector<std::string> check_concern_includes(const std::vector<std::string>& order, const include_map& includes) {
    include_map storage;
    std::vector<std::string> breaches;
    for (const auto& [file, incs] : includes) {
        if (folder_of(file) != "storage") continue;
        if (rank_of(order, concern_of(file)) < 0) breaches.push_back(file + " belongs to no storage concern");
        std::vector<std::string>& kept = storage[file];
        for (const std::string& inc : incs)
            if (folder_of(inc) == "storage") kept.push_back(inc);
    }
    for (const std::string& b : check_includes(order, storage, concern_of)) breaches.push_back(b);
    return breaches;
}

// The storage objects, each under its concern.
std::vector<object_symbols> storage_objects(const std::vector<object_symbols>& objects) {
    std::vector<object_symbols> out;
    for (const object_symbols& o : objects)
        if (o.layer == "storage") {
            out.push_back(o);
            out.back().layer = concern_of(o.path.substr(0, o.path.size() - 2));  // less ".o"
        }
    return out;
}

// The layer of an object the build lists: the interpreter's objects are the
// language's; the library's sit under the folder of their source, the
// generated build string being the machine's.
std::string object_layer(const std::string& section, const std::string& path, const std::vector<std::string>& order) {
    if (section == "lua54_core") return order.front();
    const std::string folder = folder_of(path);
    return folder == "generated" ? order.back() : folder;
}

// An object's path below its target's folder ("storage/mounts.cpp.o").
std::string object_name(const std::string& path) {
    const size_t at = path.find(".dir/");
    return at == std::string::npos ? path : fs::path(path.substr(at + 5)).lexically_normal().generic_string();
}

// The objects named in the build's list ("[target]" lines, then one object a
// line), with their symbols as nm reads them.
std::vector<object_symbols> read_objects(const std::string& list, const std::vector<std::string>& order, std::string* err) {
    std::vector<object_symbols> out;
    std::map<std::string, size_t> index;
    std::ifstream in(list);
    std::string section, command = std::string(HALVORAN_NM[0] ? HALVORAN_NM : "nm") + " -P -A -g";
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        if (line.front() == '[') {
            section = line.substr(1, line.size() - 2);
            continue;
        }
        index[line] = out.size();
        const std::string name = object_name(line);
        out.push_back({name, object_layer(section, name, order), {}, {}});
        command += " '" + line + "'";
    }
    if (out.empty()) {
        *err = "no objects listed in " + list;
        return out;
    }
    FILE* nm = popen(command.c_str(), "r");
    if (!nm) {
        *err = "could not run " + command;
        return {};
    }
    char buf[8192];
    while (fgets(buf, sizeof buf, nm)) {
        // "object: name type [value size]"
        std::string l(buf);
        const size_t colon = l.find(": ");
        if (colon == std::string::npos) continue;
        auto it = index.find(l.substr(0, colon));
        std::istringstream fields(l.substr(colon + 2));
        std::string name, type;
        if (it == index.end() || !(fields >> name >> type)) continue;
        object_symbols& o = out[it->second];
        if (type == "U" || type == "w" || type == "v") o.referred.insert(name);
        else o.defined.insert(name);
    }
    if (pclose(nm) != 0) *err = "nm failed: " + command.substr(0, 200);
    return out;
}

std::string read_text(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class layers : public ::testing::Test {
protected:
    static const fs::path& root() {
        static const fs::path r = HALVORAN_SOURCE_DIR;
        return r;
    }
    static const std::vector<std::string>& order() {
        static std::string err;
        static const std::vector<std::string> o = layer_order(read_text(root() / "README.md"), &err);
        EXPECT_EQ(err, "");
        return o;
    }
    static const std::vector<std::string>& concerns() {
        static std::string err;
        static const std::vector<std::string> o = layer_order(read_text(root() / "README.md"), &err, CONCERN_LEAD);
        EXPECT_EQ(err, "");
        return o;
    }
    static const include_map& tree() {
        static const include_map m = read_includes(root(), order());
        return m;
    }
    static const std::vector<object_symbols>& objects() {
        static std::string err;
        static const std::vector<object_symbols> o = read_objects(HALVORAN_PRODUCT_OBJECTS, order(), &err);
        EXPECT_EQ(err, "");
        return o;
    }
};

TEST_F(layers, the_sources_include_downward_only) {
    ASSERT_GE(order().size(), 2u);
    ASSERT_GT(tree().size(), 100u) << "the sources were not found under " << root();
    ASSERT_TRUE(tree().count("core/core.h"));
    const std::vector<std::string> breaches = check_includes(order(), tree());
    EXPECT_TRUE(breaches.empty()) << joined(breaches);
}

TEST_F(layers, every_folder_with_sources_is_placed) {
    ASSERT_GE(order().size(), 2u);
    const std::vector<std::string> breaches = check_folders(order(), top_folders(root()));
    EXPECT_TRUE(breaches.empty()) << joined(breaches);
}

TEST_F(layers, the_objects_refer_downward_only) {
    ASSERT_GE(order().size(), 2u);
    ASSERT_GT(objects().size(), 100u);
    // The build compiles what the README names: every layer has objects.
    std::set<std::string> seen;
    for (const object_symbols& o : objects()) seen.insert(o.layer);
    EXPECT_EQ(seen, std::set<std::string>(order().begin(), order().end()));
    const std::vector<std::string> breaches = check_calls(order(), objects());
    EXPECT_TRUE(breaches.empty()) << joined(breaches);
}

TEST_F(layers, the_storage_concerns_include_downward_only) {
    ASSERT_GE(concerns().size(), 2u);
    // The umbrella states the order the README does.
    std::string stated;
    for (const std::string& c : concerns()) stated += (stated.empty() ? "" : " < ") + c;
    EXPECT_NE(read_text(root() / "storage/storage.h").find("`" + stated + "`"), std::string::npos) << stated;
    const std::vector<std::string> breaches = check_concern_includes(concerns(), tree());
    EXPECT_TRUE(breaches.empty()) << joined(breaches);
}

TEST_F(layers, the_storage_concerns_refer_downward_only) {
    ASSERT_GE(concerns().size(), 2u);
    const std::vector<object_symbols> storage = storage_objects(objects());
    ASSERT_GT(storage.size(), 10u);
    const std::vector<std::string> breaches = check_calls(concerns(), storage);
    EXPECT_TRUE(breaches.empty()) << joined(breaches);
}

// Planted includes and references among storage's files: upward ones are
// named, downward ones let through, and a file of no concern is refused.
TEST_F(layers, planted_storage_breaches_are_judged) {
    struct row {
        const char* file;
        const char* line;    // an include planted in file, or
        const char* symbol;  // a reference planted in its object
        const char* expect;  // "" for none
    } const rows[] = {
        {"storage/ram_files.cpp", "#include \"storage/mounts.h\"", nullptr,
         "storage/ram_files.cpp includes storage/mounts.h: mounts lies above ram_files"},
        {"storage/storage_internal.h", "#include \"storage/storage.h\"", nullptr, "storage lies above storage_internal"},
        {"storage/rom.cpp", "#include <storage/writeback.h>", nullptr, "writeback lies above cartridges"},
        {"storage/writeback.h", "#include \"storage/cartridges.h\"", nullptr, ""},
        {"storage/cart_write.cpp", "#include \"storage/writeback.h\"", nullptr, ""},
        {"storage/widgets.cpp", "#include \"storage/paths.h\"", nullptr, "storage/widgets.cpp belongs to no storage concern"},
        {"storage/mounts.cpp", nullptr, "_Z17flush_dirty_mountP6pmounti",
         "(mounts) refers to flush_dirty_mount(pmount*, int), defined above it in storage/writeback.cpp.o (writeback)"},
        {"storage/paths.cpp", nullptr, "_Z12pfile_insertP6bufferiS0_", "(paths) refers to pfile_insert(buffer*, int, buffer*)"},
        {"storage/pfile_ops.cpp", nullptr, "_Z13anywhen_eventiPKcS0_", ""},
        {"storage/fetch_store.cpp", nullptr, "_Z17flush_dirty_mountP6pmounti", ""},
    };
    for (const row& r : rows) {
        std::string found;
        if (r.line) {
            include_map planted = tree();
            std::istringstream text(r.line);
            add_includes(root(), r.file, text, &planted);
            found = joined(check_concern_includes(concerns(), planted));
        } else {
            std::vector<object_symbols> planted = storage_objects(objects());
            bool hit = false;
            for (object_symbols& o : planted)
                if (o.path == std::string(r.file) + ".o") hit = true, o.referred.insert(r.symbol);
            ASSERT_TRUE(hit) << r.file;
            found = joined(check_calls(concerns(), planted));
        }
        if (*r.expect) EXPECT_NE(found.find(r.expect), std::string::npos) << r.file << "\n" << found;
        else EXPECT_EQ(found, "") << r.file << " " << (r.line ? r.line : r.symbol);
    }
}

// Planted lines in real files of the tree: each breach is found and named,
// and what keeps the order is let through.
TEST_F(layers, planted_includes_are_judged) {
    struct plant {
        const char* file;
        const char* line;
        const char* expect;  // in the breaches reported; "" for none
    } const plants[] = {
        {"gfx/lines.cpp", "#include <runtime/runtime.h>", "gfx/lines.cpp includes runtime/runtime.h: runtime lies above gfx"},
        {"gfx/lines.cpp", "  #  include \"runtime/runtime.h\"", "runtime lies above gfx"},
        {"storage/vyn.cpp", "#include \"audio/audio.h\"", "storage/vyn.cpp includes audio/audio.h: audio lies above storage"},
        {"core/buffer.cpp", "#include <storage/storage.h>", "storage lies above core"},
        {"lang/core/hvx_core.cpp", "#include \"../../core/core.h\"", "lang/core/hvx_core.cpp includes core/core.h: core lies above lang"},
        {"userdata/userdata.h", "#include \"hvx_hooks.h\"", ""},  // found under lang/core, below
        {"net/socket.cpp", "#include \"tests/support/harness.h\"", "includes tests/support/harness.h, outside the product"},
        {"core/mem.cpp", "#include \"lang/lang.h\"", ""},
        {"runtime/api.cpp", "#include <net/net.h>", ""},
        {"gfx/lines.cpp", "// #include \"runtime/runtime.h\"", ""},
        {"gfx/lines.cpp", "#include <string>", ""},
    };
    for (const plant& p : plants) {
        include_map planted = tree();
        ASSERT_TRUE(planted.count(p.file)) << p.file;
        std::istringstream text(p.line);
        include_map extra;
        add_includes(root(), p.file, text, &extra);
        for (const std::string& inc : extra[p.file]) planted[p.file].push_back(inc);
        const std::string found = joined(check_includes(order(), planted));
        if (*p.expect) EXPECT_NE(found.find(p.expect), std::string::npos) << p.file << ": " << p.line << "\n" << found;
        else EXPECT_EQ(found, "") << p.file << ": " << p.line;
    }
}

// Files planted in a tree of their own: every kind of file the build names is
// read, and an include through a macro is refused wherever it stands.
TEST(layers_tree, planted_files_of_every_kind_are_read) {
    const fs::path root = fs::temp_directory_path() / ("layers_test_" + std::to_string(getpid()));
    fs::remove_all(root);
    const std::vector<std::string> order = {"core", "gfx", "runtime"};
    auto plant = [&](const std::string& file, const std::string& text) {
        fs::create_directories((root / file).parent_path());
        std::ofstream(root / file) << text;
    };
    plant("core/core.h", "");
    plant("runtime/runtime.h", "");
    plant("gfx/fine.inl", "#include \"core/core.h\"\n");
    plant("gfx/up.inl", "#include \"runtime/runtime.h\"\n");
    plant("gfx/up.cxx", "#include <runtime/runtime.h>\n");
    plant("gfx/deep/up.hpp", "#include \"runtime/runtime.h\"\n");
    plant("core/macro.cpp", "#define HEADER \"core/core.h\"\n#include HEADER\n");
    plant("gfx/notes.txt", "#include \"runtime/runtime.h\"\n");  // no source
    plant("gfx/up.c", "#include_next <runtime/runtime.h>\n#include \"runtime/runtime.h\"\n");
    const std::vector<std::string> found = check_includes(order, read_includes(root, order));
    fs::remove_all(root);
    EXPECT_EQ(found, (std::vector<std::string>{
                         "core/macro.cpp includes through the macro HEADER: name the file",
                         "gfx/deep/up.hpp includes runtime/runtime.h: runtime lies above gfx",
                         "gfx/up.c includes runtime/runtime.h: runtime lies above gfx",
                         "gfx/up.cxx includes runtime/runtime.h: runtime lies above gfx",
                         "gfx/up.inl includes runtime/runtime.h: runtime lies above gfx",
                     }));
}

TEST_F(layers, planted_folders_are_judged) {
    const std::map<std::string, bool> real = top_folders(root());
    struct row {
        const char* folder;
        bool sources;
        const char* expect;
    } const rows[] = {
        {"widgets", true, "widgets/ holds sources but is neither a layer nor a folder outside the product"},
        {"docs", false, ""},
        {"bench", true, ""},
        {"net", true, ""},
    };
    for (const row& r : rows) {
        std::map<std::string, bool> planted = real;
        planted[r.folder] = r.sources;
        const std::string found = joined(check_folders(order(), planted));
        if (*r.expect) EXPECT_NE(found.find(r.expect), std::string::npos) << r.folder << "\n" << found;
        else EXPECT_EQ(found, "") << r.folder;
    }
    std::map<std::string, bool> gone = real;
    gone.erase("audio");
    EXPECT_EQ(joined(check_folders(order(), gone)), "the layer audio/ is no folder\n");
}

// A reference planted in a real object: one to a higher layer's symbol is
// found whatever the includes say; downward ones and the host's are not.
TEST_F(layers, planted_references_are_judged) {
    auto object = [&](const std::string& suffix) -> const object_symbols& {
        for (const object_symbols& o : objects())
            if (o.path.size() >= suffix.size() && o.path.compare(o.path.size() - suffix.size(), suffix.size(), suffix) == 0)
                return o;
        ADD_FAILURE() << "no object " << suffix;
        return objects().front();
    };
    struct row {
        const char* object;
        const char* symbol;  // as the compiler names it
        const char* expect;
    } const rows[] = {
        {"storage/pfile_ops.cpp.o", "memcpy", ""},  // defined by no object: the host's
        {"storage/pfile_ops.cpp.o", "_Z14open_host_filePKc", "(storage) refers to open_host_file(char const*), defined above it in"},
        {"storage/pfile_ops.cpp.o", "cpu_cycles", ""},
        {"core/alloc.cpp.o", "cpu_superyielding", ""},
        {"lang/core/hvx_core.cpp.o", "_Z8cproc_idv", "(lang) refers to cproc_id(), defined above it in"},
        {"audio/mixer.cpp.o", "_Z14processes_initv", "(audio) refers to processes_init(), defined above it in"},
    };
    for (const row& r : rows) {
        std::vector<object_symbols> planted = objects();
        for (object_symbols& o : planted)
            if (o.path == object(r.object).path) o.referred.insert(r.symbol);
        const std::string found = joined(check_calls(order(), planted));
        if (*r.expect) EXPECT_NE(found.find(r.expect), std::string::npos) << r.object << " " << r.symbol << "\n" << found;
        else EXPECT_EQ(found, "") << r.object << " " << r.symbol;
    }
}

TEST(layers_order, is_read_from_one_line) {
    struct row {
        const char* readme;
        std::vector<std::string> order;
        const char* err;
        bool concerns = false;  // the storage concerns' line
    } const rows[] = {
        {"x\nLayers, from the bottom: `lang < core < net`\ny", {"lang", "core", "net"}, ""},
        {"no line", {}, "the README states the layers 0 times, not once"},
        {"Layers, from the bottom: `a < b`\nLayers, from the bottom: `a < b`", {}, "the README states the layers 2 times, not once"},
        {"Layers, from the bottom: `a < a`", {}, "the README's layer line names no order"},
        {"Layers, from the bottom: `a <  b`", {}, "the README's layer line names no order"},
        {"Layers, from the bottom: `core`", {}, "the README's layer line names no order"},
        {"Storage concerns, from the bottom: `paths < mounts`", {"paths", "mounts"}, "", true},
        {"Storage concerns, from the bottom: `paths`", {}, "the README's concern line names no order", true},
        {"Layers, from the bottom: `a < b`", {}, "the README states the concerns 0 times, not once", true},
    };
    for (const row& r : rows) {
        std::string err;
        EXPECT_EQ(layer_order(r.readme, &err, r.concerns ? CONCERN_LEAD : ORDER_LEAD), r.order) << r.readme;
        EXPECT_EQ(err, r.err) << r.readme;
    }
}

}  // namespace
