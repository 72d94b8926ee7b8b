// Packs a folder into sysrom.dat: block 0 the per-user sub-folder name,
// block 1 the folder as a ROM image whose entries are named prefix/...
// The same input gives the same bytes. A file named NAME.pic describes a
// picture (see render_picture) and is packed as NAME, a PNG made from it.
//
//   mkrom [--user-folder NAME] [--prefix system] -o OUT DIR
//   mkrom --list FILE        lists the entries of block 1 of a sysrom.dat
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "runtime/runtime.h"
#include "storage/storage.h"

namespace fs = std::filesystem;

namespace {

struct item {
    std::string name;  // without a trailing '/'
    bool folder;
    std::string data;
};

bool name_ok(const std::string& n) {
    // The same ".." rule as the runtime's reader, so both take the same names.
    if (n.empty() || path_has_dotdot_segment(n.data(), (int64_t)n.size())) return false;
    for (unsigned char c : n)
        if (!is_path_char(c) && c != '/') return false;
    return true;
}

bool read_bytes(const fs::path& p, std::string* out) {
    std::ifstream f(p, std::ios::binary);
    if (!f) return false;
    std::stringstream ss;
    ss << f.rdbuf();
    *out = ss.str();
    return (bool)f || f.eof();
}

// A picture description, line by line ('#' starts a comment):
//   size W H                    the picture, every pixel 00000000
//   rect X Y W H R RRGGBBAA     sets the pixels of the rectangle, corners
//                               rounded to radius R, to the colour
// The PNG in out; false (with a message) for a line it does not take.
bool render_picture(const std::string& text, const std::string& what, std::string* out) {
    std::vector<uint8_t> px;
    int pw = 0, ph = 0, line_no = 0;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        line_no++;
        line = line.substr(0, line.find('#'));
        std::istringstream ls(line);
        std::string cmd;
        if (!(ls >> cmd)) continue;
        bool ok = false;
        if (cmd == "size" && px.empty()) {
            ok = (bool)(ls >> pw >> ph) && pw > 0 && ph > 0 && pw <= 4096 && ph <= 4096;
            if (ok) px.assign((size_t)pw * ph * 4, 0);
        } else if (cmd == "rect" && !px.empty()) {
            int x, y, w, h, r;
            std::string hex;
            ok = (bool)(ls >> x >> y >> w >> h >> r >> hex) && hex.size() == 8 && r >= 0 &&
                 hex.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
            uint32_t c = ok ? (uint32_t)std::stoul(hex, nullptr, 16) : 0;
            for (int py = std::max(y, 0); ok && py < std::min(y + h, ph); py++) {
                for (int px_ = std::max(x, 0); px_ < std::min(x + w, pw); px_++) {
                    // Distance from the pixel's centre to the rectangle shrunk by r.
                    double cx = std::clamp(px_ + 0.5, (double)x + r, (double)x + w - r);
                    double cy = std::clamp(py + 0.5, (double)y + r, (double)y + h - r);
                    double dx = px_ + 0.5 - cx, dy = py + 0.5 - cy;
                    if (dx * dx + dy * dy > (double)r * r) continue;
                    uint8_t* d = px.data() + 4 * ((size_t)py * pw + px_);
                    for (int k = 0; k < 4; k++) d[k] = (uint8_t)(c >> (24 - 8 * k));
                }
            }
        }
        if (!ok) {
            fprintf(stderr, "mkrom: %s:%d: can not read \"%s\"\n", what.c_str(), line_no, line.c_str());
            return false;
        }
    }
    if (px.empty()) {
        fprintf(stderr, "mkrom: %s has no size line\n", what.c_str());
        return false;
    }
    buffer* png = create_buffer_2(1024, ROM_SCRATCH_KIND);
    bool ok = LodePNG_encode32_pbuffer(px.data(), (unsigned)pw, (unsigned)ph, png) == 0;
    if (ok) out->assign((const char*)png->data, (size_t)png->length);
    destroy_buffer(png);
    if (!ok) fprintf(stderr, "mkrom: %s does not encode\n", what.c_str());
    return ok;
}

int list(const char* file) {
    std::string bytes;
    if (!read_bytes(file, &bytes)) {
        fprintf(stderr, "mkrom: cannot read %s\n", file);
        return 1;
    }
    buffer* blocks[4] = {};
    int n = parse_dat_blocks((const uint8_t*)bytes.data(), bytes.size(), blocks, 4);
    int rc = 1;
    if (n >= 2) {
        printf("block 0: %.*s\n", blocks[0]->length, (const char*)blocks[0]->data);
        int64_t used = 0;
        buffer* s = rom_unpack(blocks[1]->data, blocks[1]->length, &used);
        if (s) {
            int64_t pos = 0;
            rom_entry e;
            int r;
            while ((r = rom_next_entry(s->data, s->length, &pos, &e)) == ROM_ENTRY_OK)
                printf("%8lld %s\n", e.folder ? -1LL : (long long)e.size, e.name);
            rc = r == ROM_ENTRY_END ? 0 : 1;
            destroy_buffer(s);
        }
    }
    for (buffer* b : blocks) destroy_buffer(b);
    if (rc) fprintf(stderr, "mkrom: %s is not a readable sysrom.dat\n", file);
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    std::string user_folder = "halvoran", prefix = "system", out, root;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--list" && i + 1 < argc) return list(argv[i + 1]);
        if (a == "--user-folder" && i + 1 < argc) user_folder = argv[++i];
        else if (a == "--prefix" && i + 1 < argc) prefix = argv[++i];
        else if (a == "-o" && i + 1 < argc) out = argv[++i];
        else if (!a.empty() && a[0] != '-') root = a;
        else {
            fprintf(stderr, "usage: mkrom [--user-folder NAME] [--prefix system] -o OUT DIR | --list FILE\n");
            return 2;
        }
    }
    if (out.empty() || root.empty() || !name_ok(prefix)) {
        fprintf(stderr, "usage: mkrom [--user-folder NAME] [--prefix system] -o OUT DIR | --list FILE\n");
        return 2;
    }
    // The runtime would ignore a name it can not use and fall back to another
    // folder without a word; refuse it here instead.
    if (!export_name_is_valid((const uint8_t*)user_folder.data(), user_folder.size())) {
        fprintf(stderr, "mkrom: %s can not name a per-user folder (1 to 64 bytes, no '/', not . or ..)\n",
                user_folder.c_str());
        return 2;
    }
    std::error_code ec;
    if (!fs::is_directory(root, ec)) {
        fprintf(stderr, "mkrom: %s is not a folder\n", root.c_str());
        return 1;
    }

    std::vector<item> items = {{prefix, true, ""}};
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const fs::path& p = it->path();
        std::string base = p.filename().string();
        if (!base.empty() && base[0] == '.') {
            if (it->is_directory()) it.disable_recursion_pending();
            continue;
        }
        std::string rel = prefix + "/" + fs::relative(p, root).generic_string();
        if (!name_ok(rel)) {
            fprintf(stderr, "mkrom: refusing the name %s\n", rel.c_str());
            return 1;
        }
        if (it->is_directory()) {
            items.push_back({rel, true, ""});
        } else if (it->is_regular_file()) {
            item f{rel, false, ""};
            if (!read_bytes(p, &f.data)) {
                fprintf(stderr, "mkrom: cannot read %s\n", p.c_str());
                return 1;
            }
            if (rel.size() > 4 && rel.compare(rel.size() - 4, 4, ".pic") == 0) {
                std::string png;
                if (!render_picture(f.data, p.string(), &png)) return 1;
                f.name = rel.substr(0, rel.size() - 4);
                f.data = png;
            }
            items.push_back(std::move(f));
        }
    }
    if (ec) {
        fprintf(stderr, "mkrom: cannot walk %s\n", root.c_str());
        return 1;
    }
    bool has_boot = std::any_of(items.begin(), items.end(),
                                [&](const item& i) { return !i.folder && i.name == prefix + "/boot.lua"; });
    if (prefix == "system" && !has_boot) {
        fprintf(stderr, "mkrom: %s has no boot.lua\n", root.c_str());
        return 1;
    }
    // The order of the file table, which the runtime's own writer follows.
    std::sort(items.begin(), items.end(),
              [](const item& a, const item& b) { return strcmp(a.name.c_str(), b.name.c_str()) < 0; });

    buffer* stream = create_buffer_2(ROM_STREAM_START, ROM_SCRATCH_KIND);
    for (const item& i : items) {
        if (rom_append_entry(stream, i.name.c_str(), i.folder, (const uint8_t*)i.data.data(), (int64_t)i.data.size())) {
            fprintf(stderr, "mkrom: %s does not fit into a ROM\n", i.name.c_str());
            return 1;
        }
    }
    buffer* rom = create_buffer_2(1024, ROM_SCRATCH_KIND);
    if (rom_pack(rom, stream->data, stream->length) != 0 || (uint32_t)rom->length > DAT_MAX_BLOCK_LEN) {
        fprintf(stderr, "mkrom: the ROM is too large\n");
        return 1;
    }
    buffer* dat = create_buffer_2(rom->length + 1024, ROM_SCRATCH_KIND);
    bwrite_dat_block(dat, (const uint8_t*)user_folder.data(), (uint32_t)user_folder.size());
    bwrite_dat_block(dat, rom->data, (uint32_t)rom->length);

    std::string tmp = out + ".tmp";
    FILE* f = fopen(tmp.c_str(), "wb");
    bool ok = f && fwrite(dat->data, 1, (size_t)dat->length, f) == (size_t)dat->length;
    if (f) ok = fclose(f) == 0 && ok;
    ok = ok && rename(tmp.c_str(), out.c_str()) == 0;
    if (!ok) {
        remove(tmp.c_str());
        fprintf(stderr, "mkrom: cannot write %s\n", out.c_str());
        return 1;
    }
    printf("mkrom: %s: %zu entries, %d bytes\n", out.c_str(), items.size(), dat->length);
    destroy_buffer(stream);
    destroy_buffer(rom);
    destroy_buffer(dat);
    return 0;
}
