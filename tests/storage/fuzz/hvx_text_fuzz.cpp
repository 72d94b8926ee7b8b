// libFuzzer target for the text cartridge reader: whatever it reads stays
// inside its folder (no cartridge inside it is mounted meanwhile). "Loaded
// whole" must be true of the input: a reference reader below, written apart
// from the product's, tells a text it knows to be sound (then the load is
// whole and holds exactly its files) from one it knows to be damaged (then
// it is not whole); what a whole load wrote out reads back whole to the
// same folder and writes out the same bytes; the writer that works from a
// copy agrees with the whole writer.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/storage/fuzz/fuzz_folder.h"

namespace {

// Whether the folder loaded whole.
bool read_into(const char* folder, const uint8_t* data, size_t size) {
    pmkdir(folder);
    buffer* b = create_buffer_2((int32_t)size + 1, 100);
    bwrite(data, 1, (int64_t)size, b);
    bool whole = populate_ram_folder_from_hvx_buffer(folder, b) == 0;
    destroy_buffer(b);
    return whole;
}

// ---------------------------------------------------------------------------
// Reference reader of the second version of the text form. It knows the
// plain texts: names of short segments of letters, digits, '.', '_' and
// '-', each entry once, no file where a folder's path runs, and no line
// outside an entry but empty ones before the first. Anything else it is
// unsure of. Within that, a body line that does not decode whole is damage.
// ---------------------------------------------------------------------------

enum verdict { SOUND, DAMAGED, UNSURE };

struct ref_cart {
    verdict v = SOUND;
    std::map<std::string, std::string> files;
    std::set<std::string> folders;  // without their '/'
    void unsure() {
        if (v == SOUND) v = UNSURE;
    }
};

constexpr size_t ref_long_line = 1024;  // an encoded body line this long is skipped

bool plain_name(const std::string& n) {
    if (n.empty() || n.size() > 120) return false;
    size_t seg = 0;
    for (size_t i = 0; i <= n.size(); i++) {
        if (i == n.size() || n[i] == '/') {
            std::string s = n.substr(seg, i - seg);
            if (s.empty() || s == "." || s == ".." || s.size() > 40) return false;
            seg = i + 1;
            continue;
        }
        char c = n[i];
        if (!(isalnum((unsigned char)c) || c == '.' || c == '_' || c == '-')) return false;
    }
    return true;
}

int ref_hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int ref_b64(char c) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";
    const char* at = c ? strchr(alphabet, c) : nullptr;
    return at ? (int)(at - alphabet) : -1;
}

// The body lines of one file, its bytes and whether they decoded whole.
std::string ref_body(const std::vector<std::string>& lines, bool* damaged) {
    std::string out;
    if (lines.empty()) return out;
    const std::string& first = lines[0];
    const bool hex = first.compare(0, 4, "hex$") == 0, b64 = first.compare(0, 4, "b64$") == 0;
    if (!hex && !b64) {
        for (size_t i = 0; i < lines.size(); i++) out += (i ? "\n" : "") + lines[i];
        return out;
    }
    uint32_t acc = 0;
    int bits = 0, chars = 0;
    bool padding = false;
    for (size_t i = 0; i < lines.size(); i++) {
        const std::string l = i == 0 ? lines[i].substr(4) : lines[i];
        if (l.size() >= ref_long_line) {
            *damaged = true;
            continue;
        }
        if (hex) {
            if (l.size() % 2) *damaged = true;
            for (size_t k = 0; k + 1 < l.size(); k += 2) {
                int a = ref_hex(l[k]), b = ref_hex(l[k + 1]);
                if (a < 0 || b < 0) {
                    *damaged = true;
                    break;
                }
                out += (char)(a * 16 + b);
            }
            continue;
        }
        for (char c : l) {
            int v = ref_b64(c);
            if (c == '=') {
                padding = true;
            } else if (v < 0 || padding) {
                *damaged = true;
            } else {
                chars++;
                acc = acc << 6 | (uint32_t)v;
                bits += 6;
                if (bits >= 8) {
                    bits -= 8;
                    out += (char)(acc >> bits);
                }
            }
        }
    }
    if (b64 && chars % 4 == 1) *damaged = true;
    return out;
}

ref_cart ref_read(const uint8_t* data, size_t size) {
    ref_cart r;
    // Lines without their LF, a CR before an LF dropped.
    std::vector<std::string> lines;
    for (size_t at = 0; at < size;) {
        const uint8_t* lf = (const uint8_t*)memchr(data + at, '\n', size - at);
        size_t e = lf ? (size_t)(lf - data) : size;
        std::string l((const char*)data + at, e - at);
        if (lf && !l.empty() && l.back() == '\r') l.pop_back();
        lines.push_back(l);
        at = e + 1;
    }
    if (lines.size() < 2 || lines[1] != "version 2") {
        r.v = UNSURE;
        return r;
    }
    std::string name;  // the open file's
    bool in_file = false, in_entries = false;
    std::vector<std::string> body;
    auto end_entry = [&] {
        if (in_file) {
            bool damaged = false;
            r.files[name] = ref_body(body, &damaged);
            if (damaged) r.v = DAMAGED;
        }
        in_file = false;
        body.clear();
    };
    size_t i = 2;
    for (; i < lines.size(); i++) {
        const std::string& l = lines[i];
        if (l.compare(0, 3, ":: ") != 0) {
            if (in_file) body.push_back(l);
            else if (in_entries || !l.empty()) r.unsure();  // dropped
            continue;
        }
        end_entry();
        in_entries = true;
        size_t k = 3;
        while (k < l.size() && (uint8_t)l[k] > 32 && (uint8_t)l[k] < 128) k++;
        std::string n = l.substr(3, k - 3);
        if (l.find_first_not_of(" \t", k) != std::string::npos) r.v = DAMAGED;  // lost on a write-back
        if (n == "[eoc]") break;
        const bool folder = !n.empty() && n.back() == '/';
        if (folder) n.pop_back();
        if (!plain_name(n) || r.files.count(n) || r.folders.count(n)) {
            r.unsure();
            continue;
        }
        if (folder) {
            r.folders.insert(n);
        } else {
            name = n;
            in_file = true;
        }
    }
    end_entry();
    for (i++; i < lines.size(); i++)
        if (!lines[i].empty()) r.unsure();
    // No entry inside a file; no file where a folder is.
    auto inside_a_file = [&](const std::string& n) {
        for (size_t s = n.find('/'); s != std::string::npos; s = n.find('/', s + 1))
            if (r.files.count(n.substr(0, s))) return true;
        return false;
    };
    for (const auto& [n, d] : r.files)
        if (r.folders.count(n) || inside_a_file(n)) r.unsure();
    for (const std::string& n : r.folders)
        if (inside_a_file(n)) r.unsure();
    return r;
}

// The load against the reference: damage is never whole; a sound text is
// whole and holds its files, and its folders and those on their paths.
void check_against_reference(const uint8_t* data, size_t size, bool whole) {
    ref_cart ref = ref_read(data, size);
    if (ref.v == DAMAGED && whole) abort();
    if (ref.v != SOUND) return;
    if (!whole) abort();
    std::map<std::string, std::string> files;
    std::set<std::string> folders;
    for (auto& [n, d] : fuzz_folder::tree("/ram/f")) {
        if (n.back() == '/') folders.insert(n.substr(0, n.size() - 1));
        else files[n] = d;
    }
    if (files != ref.files) abort();
    for (const std::string& n : ref.folders)
        if (!folders.count(n)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_folder::fresh_ram();
    bool whole = read_into("/ram/f", data, size);
    if (pdisk_num_mounts() != 1) abort();
    int n = pdisk_pfile_iterator();
    for (int i = 0; i < n; i++) {
        const char* p = to_cstr(pdisk_pfile_iterator_item(i)->path);
        if (strcmp(p, "/ram/f") != 0 && strncmp(p, "/ram/f/", 7) != 0) abort();
    }
    check_against_reference(data, size, whole);
    // The writer may refuse only what did not load whole; what it writes
    // reads back whole, to the same records, and writes the same bytes again.
    std::string once, twice;
    bool wrote = fuzz_folder::write("/ram/f", false, &once);
    if (whole && !wrote) abort();
    if (wrote) {
        if (!read_into("/ram/g", (const uint8_t*)once.data(), once.size())) abort();
        if (fuzz_folder::tree("/ram/g") != fuzz_folder::tree("/ram/f")) abort();
        if (!fuzz_folder::write("/ram/g", false, &twice) || twice != once) abort();
    }
    pfile_reset();
    return 0;
}
