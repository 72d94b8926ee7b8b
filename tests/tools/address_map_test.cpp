// The fixed addresses are declared in one header: no product source
// declares an ADDR_ constant elsewhere, and each one declared there is a
// field of its checked table, a block, an end, or an alias of a field.
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
const std::vector<std::string> PRODUCT = {"core", "lang", "userdata", "storage", "audio",
                                          "gfx", "platform", "net", "runtime"};

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

TEST(AddressMapHeader, HoldsEveryFixedAddress) {
    const fs::path root = HALVORAN_SOURCE_DIR;
    ASSERT_TRUE(fs::exists(root / MAP_HEADER));
    std::vector<std::string> elsewhere;
    for (const std::string& dir : PRODUCT)
        for (const auto& e : fs::recursive_directory_iterator(root / dir)) {
            const std::string ext = e.path().extension().string();
            if (!e.is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
            const std::string file = fs::relative(e.path(), root).generic_string();
            if (file == MAP_HEADER) continue;
            for (const declared& d : addr_declarations(read_file(e.path()))) elsewhere.push_back(file + ": " + d.name);
        }
    std::string list;
    for (const std::string& s : elsewhere) list += s + "\n";
    EXPECT_TRUE(elsewhere.empty()) << list;
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
