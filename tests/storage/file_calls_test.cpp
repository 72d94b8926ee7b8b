// The path, file-system, fetch and store calls through a real process: each
// row is a script expression whose results show(...) lists, run in order in
// one process (rows build on the files earlier rows made).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/files_env.h"

namespace {

namespace fs = std::filesystem;
using hvx_test::read_file;
using hvx_test::write_file;

struct row {
    const char* code;  // arguments of show(...)
    const char* want;
};

void run_rows(Process* p, const std::vector<row>& rows) {
    for (const row& r : rows)
        EXPECT_EQ(hvx_test::run_in(p, std::string("return show(") + r.code + ")"), r.want) << r.code;
}

TEST(FileCalls, PathTexts) {
    hvx_test::files_env env;
    run_rows(env.spawn(), {
        {"_ext('x.png'), _ext('cart.hvx.png'), _ext('/a/b.lua#12'), _ext('A.PNG')", "4:png,hvx.png,lua,PNG"},
        {"_ext('.lua'), _ext('abc'), _ext('a.'), _ext('#x.png'), _ext('')", "4:nil,nil,,nil"},
        {"_hloc('a#b#c'), _hloc('ab'), _path('a#b'), _path('#b'), _path('ab')", "5:b#c,nil,a,,ab"},
        {"_is_well_formed_bbs_path('ABCDEF'), _is_well_formed_bbs_path('bbs://ab_1.2/x'), "
         "_is_well_formed_bbs_path('bbs://Ab')", "3:true,true,false"},
        {"_is_well_formed_vynnet_path('vynnet://'), _is_well_formed_vynnet_path('vynnet://a b'), "
         "_is_well_formed_vynnet_path('http://a')", "3:true,false,false"},
        {"_normalise_userland_path('a/./b//../c'), _normalise_userland_path('ab/../c'), "
         "_normalise_userland_path('vynnet://a/../b')", "3:a/c,c,vynnet://b"},
        {"fullpath('bbs://a/../b'), fullpath('x/../y'), fullpath('a b'), fullpath({})", "3:bbs://a/../b,/y,nil"},
        {"select('#', _ext()), select('#', _hloc(nil)), pwd()", "3:0,0,/"},
    });
}

// _ext copies its text and may search all of it a byte at a time, whether it
// finds an extension or not.
TEST(FileCalls, ExtChargesTheTextItReads) {
    hvx_test::files_env env;
    Process* p = env.spawn();
    const int64_t n = 64 << 10;
    for (const std::string shape : {"string.rep('a', N)", "'x.png#' .. string.rep('b', N)", "string.rep('c', N) .. '.lua'"}) {
        auto charged = [&](int64_t len) {
            std::string args = shape;
            args.replace(args.find('N'), 1, std::to_string(len));
            return (int64_t)hvx_test::call(p, lua54_ext, args).charged;
        };
        EXPECT_EQ(charged(2 * n) - charged(n), n / LANG_TEXT_COPY_BYTES_PER_CYCLE + n / LANG_TEXT_BYTES_PER_CYCLE)
            << shape;
    }
}

// Replaces each N in a Lua argument list with n.
std::string with_n(std::string args, int64_t n) {
    for (size_t at; (at = args.find('N')) != std::string::npos;) args.replace(at, 1, std::to_string(n));
    return args;
}

// A path holding a NUL is refused before it is copied: a long one gives what
// a short one gives and costs no more. A legal long path pays for its search
// and its copy, and a cycle per PATH_BYTES_PER_CYCLE bytes for its walk.
TEST(FileCalls, PathTextsPayForTheBytesTheyRead) {
    hvx_test::files_env env;
    Process* p = env.spawn();
    hvx_test::run_in(p, "mkdir('/ram/d') store('/ram/d/f.txt', 'x')");
    struct {
        int (*fn)(lua_State*);
        const char* args;  // P is the path
        bool reads_only;   // a legal path may be given to it
    } rows[] = {
        {lua54_fstat, "P", true},
        {lua54_fetch, "P", true},
        {lua54_ls, "P", true},
        {lua54_fullpath, "P", true},
        {lua54_normalise_userland_path, "P", true},
        {lua54_fetch_metadata_from_file, "P", true},
        {lua54_cd, "P", false},
        {lua54_mkdir, "P", false},
        {lua54_fdelete, "P", false},
        {lua54_mount, "'/m', P", false},
        {lua54_fcopy, "'/ram/d/f.txt', P", false},
        {lua54_store, "P, 'x'", false},
        {lua54_store_metadata_str_to_file, "P, ''", false},
    };
    const int64_t n = 64 << 10;
    auto at = [](std::string args, const std::string& path) { return args.replace(args.find('P'), 1, path); };
    for (const auto& r : rows) {
        auto cut_short = hvx_test::call(p, r.fn, at(r.args, "'/ram/d/f\\0.txt'"));
        auto cut_long = hvx_test::call(p, r.fn, at(r.args, with_n("'/ram/d/f\\0' .. string.rep('x', N)", n)));
        EXPECT_EQ(cut_long.values, cut_short.values) << r.args;
        EXPECT_EQ(cut_long.error, cut_short.error) << r.args;
        EXPECT_NEAR(cut_long.charged, cut_short.charged, 16) << r.args;
        if (!r.reads_only) continue;
        // "/ram/d/./././f.txt": the same file however long.
        auto charged = [&](int64_t len) {
            return (int64_t)hvx_test::call(p, r.fn, at(r.args, with_n("'/ram/d/' .. string.rep('./', N) .. 'f.txt'", len)))
                .charged;
        };
        const int64_t shorter = charged(n / 2);
        EXPECT_NEAR(charged(n) - shorter, n * 2 / LANG_TEXT_COPY_BYTES_PER_CYCLE + n / PATH_BYTES_PER_CYCLE, 16)
            << r.args;
    }
}

// Texts other calls copy and read, and a RAM folder's records, are charged
// by their size: N grows from 64 K to 128 K.
TEST(FileCalls, OtherReadingChargedBySize) {
    hvx_test::files_env env;
    Process* p = env.spawn();
    const int64_t n = 64 << 10;
    struct {
        int (*fn)(lua_State*);
        const char* setup;  // run first, uncounted
        const char* args;
        int64_t per_n;  // cycles for N bytes
    } rows[] = {
        {lua54_hloc, "", "string.rep('a', N) .. '#b'", n / LANG_TEXT_COPY_BYTES_PER_CYCLE},
        {lua54_is_well_formed_bbs_path, "", "string.rep('a', N)", n / LANG_TEXT_COPY_BYTES_PER_CYCLE},
        {lua54_cache_fetch, "", "string.rep('a', N), 'x'", n / LANG_TEXT_COPY_BYTES_PER_CYCLE},
        {lua54_unvyn, "", "'{' .. string.rep(' ', N) .. '}'",
         n / LANG_TEXT_COPY_BYTES_PER_CYCLE + n / LANG_TEXT_BYTES_PER_CYCLE},
        {lua54_fetch_metadata_from_file, "store('/ram/m.txt', string.rep('m', N), '')", "'/ram/m.txt'",
         n / LANG_TEXT_COPY_BYTES_PER_CYCLE},
    };
    for (const auto& r : rows) {
        auto charged = [&](int64_t len) {
            hvx_test::run_in(p, with_n(r.setup, len));
            return (int64_t)hvx_test::call(p, r.fn, with_n(r.args, len)).charged;
        };
        const int64_t shorter = charged(n);
        EXPECT_NEAR(charged(2 * n) - shorter, r.per_n, 16) << r.args;
    }
    // Deleting a RAM folder walks the table and releases each record: N
    // grows from 200 to 400 records.
    auto deleted = [&](int64_t files) {
        hvx_test::run_in(p, with_n("mkdir('/ram/del') for i = 1, N do store('/ram/del/f' .. i, 'x') end", files));
        pdisk_compact_pfiles();  // as a frame would: released records leave the table
        return (int64_t)hvx_test::call(p, lua54_fdelete, "'/ram/del'").charged;
    };
    const int64_t files = 200;
    const int64_t fewer = deleted(files);
    EXPECT_NEAR(deleted(2 * files) - fewer,
                files * RAM_FILE_RELEASE_COST + files / PFILE_WALK_ENTRIES_PER_CYCLE, 2);
}

TEST(FileCalls, FoldersMountsAndTheWorkingFolder) {
    hvx_test::files_env env;
    fs::create_directory(env.at("m"));
    write_file(env.at("m/h.txt"), "h");
    run_rows(env.spawn(), {
        {"mkdir('/d')", "0:"},
        {"mkdir('/d')", "1:mkdir: directory already exists"},
        {"mkdir('/no/such/x')", "1:mkdir failed"},
        {"mkdir()", "1:mkdir: no path"},
        {"cd('/nowhere')", "1:path not found"},
        {"pwd()", "1:/"},
        {"cd('d')", "0:"},
        {"pwd(), fullpath('x/../y')", "2:/d,/d/y"},
        {"cd('..')", "0:"},
        {"mkdir('/ram/r'), store('/ram/r/a.txt', 'ra', ''), mount('/m', '/ram/r')", "2:nil,nil"},
        // The mount hides the host folder of the same name, and is listed once.
        {"table.concat(ls('/'), ' '), select(2, ls('/'))", "2:d m ram,3"},
        {"table.concat(ls('/m'), ' '), select('#', ls('/nowhere'))", "2:a.txt,0"},
        {"fstat('/m')", "3:folder,0,/ram/r"},
        {"fstat('/ram/r/a.txt')", "3:file,2,nil"},
        {"fstat('/none')", "0:"},
        // A cartridge made as a folder: written back by fstat, seen both ways.
        {"mkdir('/c.hvx'), store('/c.hvx/main.lua', 'print(1)', '')", "1:nil"},
        {"(function() local k, n, d = fstat('/c.hvx') return k, n, d:match('^/ram/mount/m%d+$') == d end)()",
         "3:folder,84,true"},
        {"fstat('/c.hvx', true)", "2:file,84"},
        {"fetch('/c.hvx')", "1:halvoran cartridge // https://halvoran.net\nversion 2\n\n:: main.lua\nprint(1)\n:: [eoc]\n"},
        // Deleting the mount point unmounts; the host folder shows again.
        {"_fdelete('/m'), table.concat(ls('/'), ' ')", "2:nil,d m ram c.hvx"},
        {"_fdelete('/d'), _fdelete('/m'), table.concat(ls('/'), ' ')", "3:nil,nil,m ram c.hvx"},
        // A raw folder is taken as it is; a relative one makes paths fail
        // softly, and the process goes on.
        {"cd('rel', true), pwd()", "2:nil,rel"},
        {"select('#', fetch('x')), select('#', ls('x')), select('#', store('y', 1))", "3:0,0,1"},
        {"cd('/', true), pwd()", "2:nil,/"},
    });
}

TEST(FileCalls, CopyChargesTheBytesOnceAndAFolderItsHostWork) {
    hvx_test::files_env env;
    fs::create_directory(env.at("hd"));
    write_file(env.at("h.txt"), std::string(800, 'h'));
    Process* p = env.spawn();
    hvx_test::run_in(p, "store('/ram/big.bin', string.rep('x', 100000), '') mkdir('/ram/rd')");
    // The cycles of cp(from, to) beyond those of copying a missing file (1).
    auto extra = [](const std::string& from, const std::string& to) {
        return "(function() local c0 = cycles() cp('" + from + "', '" + to +
               "') local c1 = cycles() cp('/ram/none', '/ram/n.bin') local c2 = cycles() "
               "return (c1 - c0) - (c2 - c1) end)()";
    };
    auto folder = [](const std::string& from, const std::string& to) {
        return "1:" + std::to_string(HOST_FOLDER_OP_COST + (from.size() + to.size()) * HOST_PATH_BYTE_COST);
    };
    struct copy {
        std::string from, to, want;
    };
    const copy copies[] = {
        // A file: its bytes once, a host file its read (800 / 8) too.
        {"/ram/big.bin", "/ram/c.bin", "1:99999"},
        {"/h.txt", "/ram/h.txt", "1:899"},
        // A folder on either side copies nothing and pays a host folder
        // operation and its paths.
        {"/hd", "/ram/x.bin", folder("/hd", "/ram/x.bin")},
        {"/ram/rd", "/ram/x.bin", folder("/ram/rd", "/ram/x.bin")},
        {"/ram/big.bin", "/hd", folder("/ram/big.bin", "/hd")},
    };
    for (const copy& c : copies) EXPECT_EQ(hvx_test::run_in(p, "return show(" + extra(c.from, c.to) + ")"), c.want) << c.from;
    run_rows(p, {{"#fetch('/ram/c.bin', 2), #fetch('/ram/h.txt', 2)", "2:100000,800"}});
}

TEST(FileCalls, CacheStaysInsideItsFolder) {
    hvx_test::files_env env;
    std::string big(600, 'c');
    auto n = [](const char* call) { return std::string("select('#', ") + call + ")"; };
    std::vector<std::string> refused = {
        "_cache_fetch('carts', 'none')", "_cache_fetch('carts', 'short')", "_cache_fetch('carts', 'w%d', true)",
        "_cache_fetch('carts', 'v%s%n%d.png', true)", "_cache_fetch('carts', 'v%d%d', true)",
        "_cache_fetch('carts', 'v%d.png')", "_cache_fetch('carts/..', 'carts/a.png')", "_cache_fetch('..', 'x')",
        "_cache_store('..', 'x', 'y')", "_cache_store('a', '../../x', 'y')", "_cache_store('/tmp', 'x', 'y')",
        "_cache_store('a', '/x', 'y')", "_cache_store('a\\\\..', 'x', 'y')", "_cache_store('a', 'x%n', 'y')",
        "_cache_store('a', string.rep('n', 1100), 'y')", "_cache_store('', 'x', 'y')", "_cache_store('a', '', 'y')",
    };
    Process* p = env.spawn();
    run_rows(p, {
        {"_cache_store('carts', 'a.png', string.rep('c', 600))", "0:"},
        {"#_cache_fetch('carts', 'a.png')", "1:600"},
        {"_cache_store('carts', 'v7.png', string.rep('7', 600))", "0:"},
        {"_cache_store('carts', 'w5', string.rep('5', 511))", "0:"},
        {"_cache_store('carts', 'short', 'x')", "0:"},
        {"_cache_fetch('carts', 'v%d.png', true):sub(1, 3)", "1:777"},
    });
    for (const std::string& call : refused) EXPECT_EQ(hvx_test::run_in(p, "return show(" + n(call.c_str()) + ")"), "1:0") << call;
    std::string home = config.home;
    std::vector<std::string> files;
    for (auto& e : fs::recursive_directory_iterator(home))
        if (e.is_regular_file() && e.path().filename() != "log.txt") files.push_back(fs::relative(e.path(), home));
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"cache/carts/a.png", "cache/carts/short", "cache/carts/v7.png",
                                               "cache/carts/w5"}));
    EXPECT_EQ(read_file(home + "/cache/carts/a.png"), big);
}

TEST(FetchStore, ValuesPicturesTextAndMetadata) {
    hvx_test::files_env env;
    write_file(env.at("h.txt"), "a\r\nb");
    write_file(env.at("x.md"), "# md");
    write_file(env.at("old.dat"), "-- halvoran object data\n{5}");
    write_file(env.at("five.png"), "\x89PNG\n");
    // Headers of pictures far larger than a value may be: taken as bytes.
    write_file(env.at("bomb.qoi"), std::string("qoif\0\0\x4e\x1f\0\0\x4e\x1f\x04\0\0\0\0\0\0\0\0\x01", 22));
    std::string ihdr("IHDR\0\0\x75\x30\0\0\x75\x30\x08\x06\0\0\0", 17);
    uint32_t crc = crc32b(ihdr.data(), (int64_t)ihdr.size());
    std::string png = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0d", 12) + ihdr;
    for (int i = 3; i >= 0; i--) png += (char)(crc >> (8 * i));
    unsigned w = 0, h = 0;
    ASSERT_EQ(png_read_header(png.data(), (int64_t)png.size(), &w, &h), 0u);
    ASSERT_EQ(w, 30000u);
    write_file(env.at("bomb.png"), png);
    Process* p = env.spawn();
    hvx_test::run_in(p, R"lua(
        for i = 0, 63 do poke4(0x5000 + 4 * i, 0) end
        poke4(0x5004, 0x0a0000) poke4(0x5008, 0x140000) poke4(0x501c, 0xfff1e8)
        img = unvyn('userdata("i32",3,1,"ff0f0000fffff0e8ff000000")')
        RAW = '--[[vyn_format="raw",metadata_format="none"]]'
        function meta(s, m) return s, m and m.metadata_format end)lua");
    run_rows(p, {
        // Pictures: nearest palette colour (ties to the lower index), i32 as stored.
        {"store('/p.png', img), vyn(fetch('/p.png'))", "2:nil,userdata(\"u8\",3,1,\"010700\")"},
        {"vyn(fetch('/p.png', 1)) == vyn(img), store('/p.qoi', img), vyn(fetch('/p.qoi', 1)) == vyn(img)",
         "3:true,nil,true"},
        {"store('/q.png', unvyn('userdata(\"u8\",2,1,\"0747\")')), vyn(fetch('/q.png', 1))",
         "2:nil,userdata(\"i32\",2,1,\"fffff1e8fffff1e8\")"},
        {"store('/r.png', {}), select('#', fetch('/r.png'))", "2:nil,0"},
        {"select('#', fetch('/bomb.qoi')), #fetch('/bomb.qoi'), select('#', fetch('/bomb.png'))", "3:2,22,2"},
        {"meta(fetch('/five.png'))", "2:\x89PNG\n,none"},
        // vyn documents: packed, or plain for text extensions.
        {"store('/a.vyn', {1, 2}), fetch('/a.vyn', 2):sub(1, 13), fetch('/a.vyn')[2]", "3:nil,--[[vyn]]\nlz4,2"},
        {"store('/a.txt', {1, 2}), fetch('/a.txt', 2), fetch('/a.txt')[2]", "3:nil,--[[vyn]]\n{1,2},2"},
        // A NUL would cut the path short, to another file.
        {"select('#', fetch('/a.txt\\0.png')), store('/a.txt\\0.png', {7, 8}), fetch('/a.txt')[2]", "3:0,nil,2"},
        {"fetch('/old.dat')[1]", "1:5"},
        // Host text converted, raw bytes as they are, other files as text.
        {"meta(fetch('/h.txt'))", "2:a\nb,none"},
        {"fetch('/h.txt', 2) == 'a\\r\\nb', meta(fetch('/x.md'))", "3:true,# md,none"},
        {"store('/notes.txt', 'hi', RAW), store('/data.bin', 'hi', RAW), fetch('/notes.txt', 2), fetch('/data.bin', 2)",
         "4:nil,nil,hi,hi"},
        // Metadata read and replaced, the body kept byte for byte (host and RAM).
        {"store('/m.vyn', {x = 1}, '--[[vyn,title=\"t\"]]\\n'), _fetch_metadata_from_file('/m.vyn').title", "2:nil,t"},
        {"_store_metadata_str_to_file('/m.vyn', '--[[vyn,title=\"u\"]]\\n'), fetch('/m.vyn').x, "
         "select(2, fetch('/m.vyn')).title", "3:nil,1,u"},
        {"store('/ram/m.txt', 'body', ''), _store_metadata_str_to_file('/ram/m.txt', '--[[vyn,a=1]]\\n'), "
         "fetch('/ram/m.txt', 2)", "3:nil,nil,--[[vyn,a=1]]\nbody"},
        {"_store_metadata_str_to_file('/ram/m.txt', '--[[vyn,b=2]]'), fetch('/ram/m.txt', 2)",
         "2:nil,--[[vyn,b=2]]body"},
        {"_store_metadata_str_to_file('/ram/new.txt', '--[[vyn,c=3]]'), fetch('/ram/new.txt', 2)",
         "2:nil,--[[vyn,c=3]]"},
        // Failures keep the old file and say so.
        {"(function() local t = {} t.t = t return store('/m.vyn', t) end)(), fetch('/m.vyn').x",
         "2:vyn: value too deep or cyclic,1"},
        {"store('/nodir/x.vyn', 1), store('/c.hvx.png', string.rep('x', 600))",
         "2:store: could not write the file,invalid .hvx.png file: not a valid PNG"},
    });
    // A sandboxed program writes the header of a file that is not plain text.
    Process* sb = env.spawn("sandbox");
    EXPECT_EQ(hvx_test::run_in(sb, "RAW = '--[[vyn_format=\"raw\",metadata_format=\"none\"]]' "
                                   "store('/sb.txt', 'hi', RAW) store('/sb.bin', 'hi', RAW) "
                                   "return show(fetch('/sb.txt', 2), fetch('/sb.bin', 2))"),
              "2:hi,--[[vyn_format=\"raw\",metadata_format=\"none\"]]\nhi");
}

}  // namespace
