// The fixed addresses are declared in one header: no product source
// declares an ADDR_ constant elsewhere or hands a memory accessor a number
// for an address, and each one declared there is a field of its checked
// table, a block, an end, or an alias of a field.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const char* const MAP_HEADER = "core/address_map.h";

// A list of words the build hands over with spaces between them.
std::vector<std::string> words(const char* text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// The product's layers, as the build reads them from the README, and the
// extensions of its source files.
const std::vector<std::string> PRODUCT = words(HALVORAN_LAYERS);
bool is_source(const fs::path& p) {
    for (const std::string& pattern : words(HALVORAN_SOURCE_PATTERNS))
        if ("*" + p.extension().string() == pattern) return true;
    return false;
}

std::string read_file(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct declared {
    std::string name;
    std::string value;  // the text after '='
};

std::vector<declared> addr_declarations(const std::string& text) {
    static const std::regex decl(R"(constexpr\s+\w+\s+(ADDR_\w+)\s*=\s*([^;]+);)");
    std::vector<declared> out;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), decl); it != std::sregex_iterator(); ++it)
        out.push_back({(*it)[1], (*it)[2]});
    return out;
}

// The names of a header's declarations that are neither in its table nor
// a block, an end or an alias (a declaration naming another ADDR_ constant).
std::vector<std::string> unlisted(const std::string& header) {
    const size_t table = header.find("ADDR_FIELDS[] = {");
    const std::string listed = table == std::string::npos ? "" : header.substr(table, header.find("};", table) - table);
    std::vector<std::string> out;
    for (const declared& d : addr_declarations(header)) {
        const std::string& n = d.name;
        const bool other = n.ends_with("_LEN") || n.ends_with("_END") || n.ends_with("_BLOCK") ||
                           n.ends_with("_SPAN") || n == "ADDR_FIELDS" || d.value.starts_with("ADDR_");
        if (!other && !std::regex_search(listed, std::regex("\\{\\{" + n + ",")))
            out.push_back(n);
    }
    return out;
}

// The memory accesses of a text that name their address by a number:
// "peek(0x5F56)", "hvx_poke8(p, 0x4000 + i, v)".
std::vector<std::string> raw_addresses(const std::string& text) {
    // The accessors of a process take it first; those of the running one, the address.
    static const std::regex access(
        R"(\b(?:(?:hvx_(?:peek|poke)\w*|(?:peek|poke)\w*_proc)\s*\([^,()]*,|(?:peek|poke)\d*\s*\()\s*0[xX][0-9A-Fa-f]+)");
    std::vector<std::string> out;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), access); it != std::sregex_iterator(); ++it)
        out.push_back(it->str());
    return out;
}

TEST(AddressMapHeader, HoldsEveryFixedAddress) {
    const fs::path root = HALVORAN_SOURCE_DIR;
    ASSERT_TRUE(fs::exists(root / MAP_HEADER));
    ASSERT_GE(PRODUCT.size(), 2u);
    std::vector<std::string> elsewhere;
    for (const std::string& dir : PRODUCT)
        for (const auto& e : fs::recursive_directory_iterator(root / dir)) {
            if (!e.is_regular_file() || !is_source(e.path())) continue;
            const std::string file = fs::relative(e.path(), root).generic_string();
            if (file == MAP_HEADER) continue;
            const std::string text = read_file(e.path());
            for (const declared& d : addr_declarations(text)) elsewhere.push_back(file + ": " + d.name);
            for (const std::string& a : raw_addresses(text)) elsewhere.push_back(file + ": " + a);
        }
    std::string list;
    for (const std::string& s : elsewhere) list += s + "\n";
    EXPECT_TRUE(elsewhere.empty()) << list;
}

TEST(AddressMapHeader, ANumberForAnAddressIsFound) {
    struct {
        const char* text;
        size_t found;
    } const rows[] = {
        {"hvx_poke8(p, 0x4000 + i, lil_font_dat[i]);", 1},
        {"hvx_poke32(&boot_proc, 0x54F0, (uint32_t)x);", 1},
        {"int f = peek(0x5F56) * 256;", 1},
        {"hvx_poke8(p, ADDR_FONT + i, lil_font_dat[i]);", 0},
        {"poke2(ADDR_COLOUR_WORD, value & 0xFFFF);", 0},  // a value, not an address
        {"poke(ADDR_READ_MASK, 0x3F);", 0},
        {"poke4(0x54F0, x);", 1},
        {"peek_proc(p, 0x5F56)", 1},
        {"hvx_peek16(p, ADDR_TEX_WINDOW + 4) - 1) & 0xFFFF", 0},
    };
    for (const auto& r : rows) EXPECT_EQ(raw_addresses(r.text).size(), r.found) << r.text;
}

TEST(AddressMapHeader, EveryFieldIsInTheCheckedTable) {
    const std::string header = read_file(fs::path(HALVORAN_SOURCE_DIR) / MAP_HEADER);
    ASSERT_GT(addr_declarations(header).size(), 50u);
    const std::vector<std::string> missing = unlisted(header);
    std::string list;
    for (const std::string& s : missing) list += s + "\n";
    EXPECT_TRUE(missing.empty()) << list;
}

TEST(AddressMapHeader, AFieldLeftOutOfTheTableIsFound) {
    const std::string header = read_file(fs::path(HALVORAN_SOURCE_DIR) / MAP_HEADER);
    std::string planted = header;
    const size_t at = planted.find("ADDR_FIELDS[] = {");
    ASSERT_NE(at, std::string::npos);
    planted.insert(at, "inline constexpr uint32_t ADDR_PLANTED = 0x5F60;\n");
    EXPECT_EQ(unlisted(planted), std::vector<std::string>{"ADDR_PLANTED"});
    // An alias needs no entry of its own.
    planted = header;
    planted.insert(planted.find("ADDR_FIELDS[] = {"), "inline constexpr uint32_t ADDR_OTHER_NAME = ADDR_REMAP;\n");
    EXPECT_TRUE(unlisted(planted).empty());
}

}  // namespace
