// Storage hot paths beside their anchors: crc32b against zlib's crc32,
// MurmurHash3 throughput, the string hash table against std::unordered_map,
// file lookup against std::lower_bound on a sorted vector, deltas,
// resolution with growing mount tables, the walks of a folder beside
// 100,000 other files (with the cycles they charge, as "cycles"), and the
// write-back of a changed cartridge of each form against its charge.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench/bench_support.h"
#include "runtime/runtime.h"
#include "storage/storage.h"
#include "storage/storage_internal.h"

namespace {

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed = 1) {
    std::vector<uint8_t> b(n);
    std::mt19937 rng(seed);
    for (auto& c : b) c = (uint8_t)rng();
    return b;
}

void BM_crc32b(benchmark::State& st) {
    auto b = random_bytes((size_t)st.range(0));
    for (auto _ : st) benchmark::DoNotOptimize(crc32b(b.data(), (int64_t)b.size()));
    st.SetBytesProcessed((int64_t)st.iterations() * st.range(0));
}
BENCHMARK(BM_crc32b)->Arg(4096)->Arg(16 << 20);

void BM_zlib_crc32(benchmark::State& st) {
    auto b = random_bytes((size_t)st.range(0));
    for (auto _ : st) benchmark::DoNotOptimize(crc32(0, b.data(), (uInt)b.size()));
    st.SetBytesProcessed((int64_t)st.iterations() * st.range(0));
}
BENCHMARK(BM_zlib_crc32)->Arg(4096)->Arg(16 << 20);

void BM_mmh3_x64_128(benchmark::State& st) {
    auto b = random_bytes(16 << 20);
    uint8_t out[16];
    for (auto _ : st) {
        murmurhash3_x64_128(b.data(), (int32_t)b.size(), 0, out);
        benchmark::DoNotOptimize(out);
    }
    st.SetBytesProcessed((int64_t)st.iterations() * (int64_t)b.size());
}
BENCHMARK(BM_mmh3_x64_128);

void BM_mmh3_x86_32_paths(benchmark::State& st) {
    const char* p = "/ram/desktop/projects/game/sprites/player_walk_03.gfx";
    int32_t n = (int32_t)strlen(p);
    for (auto _ : st) benchmark::DoNotOptimize(mmh3_x86_32(p, n, 0));
    st.SetBytesProcessed((int64_t)st.iterations() * n);
}
BENCHMARK(BM_mmh3_x86_32_paths);

// ---------------------------------------------------------------------------
// Hash table against std::unordered_map at 50k keys
// ---------------------------------------------------------------------------

std::vector<std::string> keys(int n) {
    std::vector<std::string> k;
    for (int i = 0; i < n; i++) k.push_back("/desktop/folder" + std::to_string(i % 97) + "/file" + std::to_string(i));
    return k;
}

void BM_htable_insert_get(benchmark::State& st) {
    auto k = keys(50000);
    for (auto _ : st) {
        htable* t = create_htable(65536);
        for (auto& s : k) htable_insert_str(t, s.c_str(), "0123456789abcdef0123456789abcdef");
        for (auto& s : k) benchmark::DoNotOptimize(htable_get(t, s.c_str(), nullptr));
        destroy_htable(t);
    }
    st.SetItemsProcessed((int64_t)st.iterations() * 100000);
}
BENCHMARK(BM_htable_insert_get)->Unit(benchmark::kMillisecond);

void BM_unordered_map_insert_get(benchmark::State& st) {
    auto k = keys(50000);
    for (auto _ : st) {
        std::unordered_map<std::string, std::string> m;
        for (auto& s : k) m[s] = "0123456789abcdef0123456789abcdef";
        for (auto& s : k) benchmark::DoNotOptimize(m.find(s));
    }
    st.SetItemsProcessed((int64_t)st.iterations() * 100000);
}
BENCHMARK(BM_unordered_map_insert_get)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------
// File lookup against std::lower_bound
// ---------------------------------------------------------------------------

std::vector<std::string> file_names(int n) {
    std::vector<std::string> v;
    char name[64];
    for (int i = 0; i < n; i++) {
        snprintf(name, sizeof name, "/ram/d%03d/file_%07d.lua", i % 300, i);
        v.push_back(name);
    }
    std::sort(v.begin(), v.end());
    return v;
}

void fill_table(const std::vector<std::string>& names) {
    pfile_init();
    pfile_reset();
    for (auto& s : names) {
        buffer* b = create_buffer_from_str(s.c_str());
        pfile_insert(b, PFILE_KIND_RAM, b);
    }
}

void BM_get_index_by_name(benchmark::State& st) {
    auto names = file_names((int)st.range(0));
    fill_table(names);
    std::mt19937 rng(3);
    std::vector<const char*> probes;
    for (int i = 0; i < 4096; i++) probes.push_back(names[rng() % names.size()].c_str());
    size_t i = 0;
    for (auto _ : st) benchmark::DoNotOptimize(get_index_by_name(probes[i++ & 4095]));
    pfile_reset();
}
BENCHMARK(BM_get_index_by_name)->Arg(1000)->Arg(65536)->Arg(262143);

void BM_lower_bound_vector(benchmark::State& st) {
    auto names = file_names((int)st.range(0));
    std::mt19937 rng(3);
    std::vector<std::string> probes;
    for (int i = 0; i < 4096; i++) probes.push_back(names[rng() % names.size()]);
    size_t i = 0;
    for (auto _ : st) {
        const std::string& p = probes[i++ & 4095];
        benchmark::DoNotOptimize(std::lower_bound(names.begin(), names.end(), p));
    }
}
BENCHMARK(BM_lower_bound_vector)->Arg(1000)->Arg(65536)->Arg(262143);

// Compaction runs every frame: with nothing released, and after 64 records
// were released (the walk then visits every entry).
void BM_compact_262k_nothing_released(benchmark::State& st) {
    auto names = file_names(262143);
    fill_table(names);
    for (auto _ : st) pdisk_compact_pfiles();
    pfile_reset();
}
BENCHMARK(BM_compact_262k_nothing_released);

void BM_compact_262k_after_release(benchmark::State& st) {
    auto names = file_names(262143);
    fill_table(names);
    std::mt19937 rng(4);
    for (auto _ : st) {
        st.PauseTiming();
        for (int i = 0; i < 64; i++) clear_pfile(get_ram_file_by_index((int)(rng() % (unsigned)pdisk_num_pfiles())));
        st.ResumeTiming();
        pdisk_compact_pfiles();
    }
    pfile_reset();
}
BENCHMARK(BM_compact_262k_after_release)->Iterations(200)->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------------------
// Deltas
// ---------------------------------------------------------------------------

std::vector<uint8_t> edited(const std::vector<uint8_t>& o) {
    auto n = o;
    std::mt19937 rng(9);
    for (int e = 0; e < 10; e++) {
        size_t at = rng() % n.size();
        auto ins = random_bytes(40, e);
        n.insert(n.begin() + (long)at, ins.begin(), ins.end());
    }
    return n;
}

void BM_generate_diff(benchmark::State& st) {
    auto o = random_bytes((size_t)st.range(0), 5);
    auto n = edited(o);
    for (auto _ : st) destroy_buffer(generate_diff(o.data(), (int64_t)o.size(), n.data(), (int64_t)n.size()));
    st.SetBytesProcessed((int64_t)st.iterations() * (int64_t)n.size());
}
BENCHMARK(BM_generate_diff)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

void BM_apply_diff(benchmark::State& st) {
    auto o = random_bytes((size_t)st.range(0), 5);
    auto n = edited(o);
    buffer* d = generate_diff(o.data(), (int64_t)o.size(), n.data(), (int64_t)n.size());
    for (auto _ : st) destroy_buffer(apply_diff(o.data(), (int64_t)o.size(), d->data, d->length));
    destroy_buffer(d);
    st.SetBytesProcessed((int64_t)st.iterations() * (int64_t)n.size());
}
BENCHMARK(BM_apply_diff)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------
// Resolution with many mounts (a plain path; the anchor of the cartridge path)
// ---------------------------------------------------------------------------

void mounts(int n) {
    pfile_init();
    pfile_reset();
    mount_ram_folder("/ram");
    mount_host_path("/", "/tmp/halvoran-bench-drive");
    char mp[64];
    for (int i = 2; i < n; i++) {
        snprintf(mp, sizeof mp, "/ram/bench/m%d", i);
        mount_host_path(mp, "/tmp/halvoran-bench-other");
    }
}

void BM_resolve_plain(benchmark::State& st) {
    mounts((int)st.range(0));
    int kind;
    for (auto _ : st) destroy_buffer(resolve_to_origin("/desktop/projects/game/main.lua", &kind, 0));
    pfile_reset();
}
BENCHMARK(BM_resolve_plain)->Arg(8)->Arg(1000)->Arg(6000);

void BM_resolve_through_cartridge(benchmark::State& st) {
    mounts((int)st.range(0));
    auto content = random_bytes(1 << 20, 11);
    buffer* b = create_buffer_from_str("/ram/cart.hvx.rom");
    pfile* f = pfile_insert(b, PFILE_KIND_RAM, b);
    f->data = create_buffer_2((int32_t)content.size(), 105);
    bwrite(content.data(), 1, (int64_t)content.size(), f->data);
    int kind;
    for (auto _ : st) destroy_buffer(resolve_to_origin("/ram/cart.hvx.rom/gfx/0.gfx", &kind, 0));
    pfile_reset();
}
BENCHMARK(BM_resolve_through_cartridge)->Arg(8)->Arg(1000)->Arg(6000);

void BM_prune_mounts_6145(benchmark::State& st) {
    for (auto _ : st) {
        st.PauseTiming();
        mounts(PMOUNT_PRUNE_HEAVY);
        st.ResumeTiming();
        prune_mounts();
    }
    pfile_reset();
}
BENCHMARK(BM_prune_mounts_6145)->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------------------
// Folder walks beside 100,000 files: the host time of a RAM folder's delete
// and listing against the cycles charged (a cycle stands for about 60 ns).
// ---------------------------------------------------------------------------

void ram_tree(int around) {
    pfile_init();
    pfile_reset();
    mount_ram_folder("/ram");
    char name[64];
    for (int i = 0; i < around; i++) {
        snprintf(name, sizeof name, "/ram/many/f%06d.txt", i);
        pfile* f = pfopen(name, "w");
        pfclose(f);
    }
}

void make_folder(int files, int subfolders) {
    pmkdir("/ram/w");
    char name[64];
    for (int i = 0; i < files; i++) {
        snprintf(name, sizeof name, "/ram/w/f%06d.txt", i);
        pfile* f = pfopen(name, "w");
        pfwrite("x", 1, 1, f);
        pfclose(f);
    }
    for (int i = 0; i < subfolders; i++) {
        snprintf(name, sizeof name, "/ram/w/d%06d", i);
        pmkdir(name);
        pfclose(pfopen((std::string(name) + "/x.txt").c_str(), "w"));
    }
}

// Arg: the files in the deleted folder.
void BM_delete_ram_folder(benchmark::State& st) {
    ram_tree(100000);
    int64_t cycles = 0;
    for (auto _ : st) {
        st.PauseTiming();
        make_folder((int)st.range(0), 0);
        pdisk_compact_pfiles();
        cpu_cycles = 0;
        st.ResumeTiming();
        delete_path("/ram/w");
        pdisk_compact_pfiles();  // the records' memory goes back here
        cycles += cpu_cycles;
    }
    st.counters["cycles"] = benchmark::Counter((double)cycles, benchmark::Counter::kAvgIterations);
    pfile_reset();
}
BENCHMARK(BM_delete_ram_folder)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

// Args: files and subfolders (each holding one file) in the listed folder.
void BM_list_ram_folder(benchmark::State& st) {
    ram_tree(100000);
    make_folder((int)st.range(0), (int)st.range(1));
    int64_t cycles = 0;
    for (auto _ : st) {
        cpu_cycles = 0;
        pflist("/ram/w", nullptr, nullptr);
        cycles += cpu_cycles;
    }
    st.counters["cycles"] = benchmark::Counter((double)cycles, benchmark::Counter::kAvgIterations);
    pfile_reset();
}
BENCHMARK(BM_list_ram_folder)->Args({0, 0})->Args({1000, 0})->Args({0, 1000})->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------------------
// Cartridge write-back: the host time of writing a changed cartridge of each
// form to its file against the cycles it is charged (a cycle stands for
// 1/16,777,200 s). Args: the form (1 text, 2 ROM, 3 PNG), the content (0
// compressible text, 1 noise, 2 "ab\0" over and over, as the stall scripts
// store) and the folder's KB. Four paths: the encoding alone into memory;
// whole, as the frame or a flush writes a small one (encoded, written and
// renamed on the frame's thread, then synced); over frames (copied on the
// frame's thread a frame's bytes at a time, encoded, written and synced by
// the worker); and over frames into a cartridge file that is a RAM file,
// which is the copy and the encoding without the host write (charged on its
// own, at the file's close). Time is the process's CPU, every thread's, the
// least of the iterations; bytes are what the charge counts, the larger of
// the files' and the encoded bytes.
// ---------------------------------------------------------------------------

constexpr double NS_PER_CYCLE = 1e9 / (CPU_FRAME_BUDGET * 60.0);
const char* const CART_NAMES[] = {"", "/c.hvx", "/c.hvx.rom", "/c.hvx.png"};
std::string cart_path(int form, bool ram) { return std::string(ram ? "/ram" : "") + CART_NAMES[form]; }

std::string cart_content(int content, size_t n, uint32_t seed) {
    if (content == 1) {
        std::string s(n, 0);
        std::mt19937 rng(seed);
        for (char& c : s) c = (char)rng();
        return s;
    }
    std::string s;
    s.reserve(n + 64);
    if (content == 2) {
        while (s.size() < n) s += std::string("ab\0", 3);
    } else {
        char line[96];
        for (uint32_t i = 0; s.size() < n; i++) {
            snprintf(line, sizeof line, "  local s%u = spr(%u, x + %u, y - %u) -- frame %u of walk\n", i % 97,
                     (i * 7 + seed) % 256, i % 128, (i * 3) % 64, i % 12);
            s += line;
        }
    }
    s.resize(n);
    return s;
}

int64_t host_file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (int64_t)st.st_size : -1;
}

double process_cpu_ns() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e9 + t.tv_nsec;
}

// A cartridge of the form, its file in the scratch folder (or a RAM file),
// filled with files of up to 1 MB (text files named .lua, the rest .bin)
// and written once; its mount.
pmount* changed_cartridge(int form, int content, int64_t bytes, bool ram) {
    pfile_init();
    pfile_reset();
    mount_host_path("/", bench_scratch().c_str());
    mount_ram_folder("/ram");
    const std::string cart = cart_path(form, ram);
    unlink((bench_scratch() + cart).c_str());
    pmkdir(cart.c_str());
    for (int64_t at = 0, i = 0; at < bytes; i++) {
        int64_t n = std::min<int64_t>(bytes - at, 1 << 20);
        std::string name = cart + "/f" + std::to_string(i) + (content == 0 ? ".lua" : ".bin");
        std::string d = cart_content(content, (size_t)n, (uint32_t)i);
        pfile* f = pfopen(name.c_str(), "w");
        pfwrite(d.data(), 1, n, f);
        pfclose(f);
        at += n;
    }
    flush_dirty_mounts_immediately();
    sync_fs(1);
    pmount* m = get_mount_by_mount_point(cart.c_str(), 0);
    return m && !m->dirty ? m : nullptr;
}

// Writes the mount's cartridge over frames as the frame's write-back does,
// a frame's bytes at a time, its charge spent rather than owed.
void write_over_frames(pmount* m) {
    m->dirty = 1;
    cart_write_start(m);
    bool finished = false;
    while (!finished)
        if (cart_write_step(WRITE_BACK_FRAME_BYTES, false, &finished) == 0 && !finished) usleep(100);
}

enum write_path { PATH_ENCODE, PATH_WHOLE, PATH_FRAMES, PATH_FRAMES_RAM };

void cart_write_back(benchmark::State& st, write_path path) {
    const int form = (int)st.range(0), content = (int)st.range(1);
    const int64_t folder = st.range(2) << 10;
    const bool ram = path == PATH_FRAMES_RAM;
    pmount* m = changed_cartridge(form, content, folder, ram);
    if (!m) {
        st.SkipWithError("the cartridge was not written");
        pfile_reset();
        return;
    }
    const std::string origin = btext(m->origin), cart = cart_path(form, ram);
    cpu_cycles_max = INT32_MAX;
    double least_cpu = 1e300, least_wall = 1e300;
    int64_t encoded = 0, charged = 0;
    for (auto _ : st) {
        cpu_cycles = 0;
        const double cpu0 = process_cpu_ns();
        const auto wall0 = std::chrono::steady_clock::now();
        if (path == PATH_ENCODE) {
            buffer* out = create_buffer_2(1024, ROM_SCRATCH_KIND);
            int r = form == 1 ? write_hvx_from_ram_files(out, origin.c_str(), 0)
                  : form == 2 ? write_hvx_rom_from_ram_files(out, origin.c_str(), 0)
                              : write_hvx_png_from_ram_files(out, origin.c_str());
            encoded = r == 0 ? out->length : -1;
            destroy_buffer(out);
        } else {
            if (path == PATH_WHOLE) {
                m->dirty = 1;
                flush_dirty_mount(m, 0);
            } else {
                write_over_frames(m);
            }
            sync_fs(1);
            const pfile* f = ram ? get_ram_file_by_name(cart.c_str()) : nullptr;
            encoded = m->dirty ? -1 : ram ? (f && f->data ? f->data->length : -1) : host_file_size(bench_scratch() + cart);
        }
        least_wall = std::min(least_wall, (double)std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                  std::chrono::steady_clock::now() - wall0).count());
        least_cpu = std::min(least_cpu, process_cpu_ns() - cpu0);
        charged = cpu_cycles;
        if (encoded < 0) {
            st.SkipWithError("the cartridge could not be written");
            break;
        }
    }
    const double bytes = (double)std::max(folder, encoded);
    st.counters["encoded_MB"] = (double)encoded / (1 << 20);
    st.counters["bytes_per_ns"] = bytes / least_cpu;
    st.counters["bytes_per_cycle"] = bytes / (least_cpu / NS_PER_CYCLE);
    st.counters["wall_bytes_per_cycle"] = bytes / (least_wall / NS_PER_CYCLE);
    st.counters["cycles_charged"] = (double)charged;
    st.counters["host_cycles"] = least_cpu / NS_PER_CYCLE;
    st.SetBytesProcessed(st.iterations() * (int64_t)bytes);
    pfile_reset();
}

void BM_cart_encode(benchmark::State& st) { cart_write_back(st, PATH_ENCODE); }
void BM_cart_write_whole(benchmark::State& st) { cart_write_back(st, PATH_WHOLE); }
void BM_cart_write_over_frames(benchmark::State& st) { cart_write_back(st, PATH_FRAMES); }
void BM_cart_encode_over_frames(benchmark::State& st) { cart_write_back(st, PATH_FRAMES_RAM); }

// The text and ROM forms at 1, 16 and 60 MB (a ROM's stream holds at most
// 64 MB); a PNG's ROM fits its picture only at 256 KB, so noise stays below
// that (at 1, 64 and 192 KB, to part the picture from the bytes) and text a
// little above it, and only "ab\0" reaches 16 MB.
void cart_sizes(benchmark::internal::Benchmark* b) {
    for (int form : {1, 2})
        for (int content : {0, 1, 2})
            for (int kb : {1 << 10, 16 << 10, 60 << 10}) b->Args({form, content, kb});
    b->Args({3, 0, 512})->Args({3, 1, 1})->Args({3, 1, 64})->Args({3, 1, 192})->Args({3, 2, 16 << 10});
    b->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations(4);
}
BENCHMARK(BM_cart_encode)->Apply(cart_sizes);
BENCHMARK(BM_cart_write_whole)->Apply(cart_sizes);
BENCHMARK(BM_cart_write_over_frames)->Apply(cart_sizes);
BENCHMARK(BM_cart_encode_over_frames)->Apply(cart_sizes);

// The 128 MB text cartridge of the autosave stall (sixteen 8 MB files of
// "ab\0"): the cycles its write over frames is charged.
BENCHMARK(BM_cart_write_over_frames)
    ->Args({1, 2, 128 << 10})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(2);

// The memory the worker's ROM encoding holds besides the copy of the
// folder it is handed (48 MB in 1 MB files; arg: the content, as above): the
// rise of resident memory over the copy's at its peak, measured in a child
// whose allocator maps every block of 128 KB or more on its own, so a block
// let go leaves the count at once. Counters: that rise and the packed image,
// in MB and as a share of the copy. Run it on its own: a child of a process
// that has run the others (their threads, their heaps) rises by more.
int64_t status_kb(const char* key) {
    FILE* f = fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    int64_t kb = -1;
    size_t n = strlen(key);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, key, n) == 0) kb = atoll(line + n);
    fclose(f);
    return kb;
}

void BM_rom_image_peak(benchmark::State& st) {
    const int content = (int)st.range(0);
    const int64_t copy = 48 << 20;
    int64_t result[2] = {-1, -1};  // the rise and the image, in bytes
    for (auto _ : st) {
        int fds[2];
        if (pipe(fds) != 0) break;
        fflush(nullptr);
        pid_t child = fork();
        if (child == 0) {
            close(fds[0]);
            mallopt(M_MMAP_THRESHOLD, 128 << 10);
            std::vector<cart_snapshot_entry> entries;
            for (int64_t at = 0, i = 0; at < copy; at += 1 << 20, i++) {
                cart_snapshot_entry e;
                e.path = "/ram/c/f" + std::to_string(i) + ".bin";
                e.data = cart_content(content, 1 << 20, (uint32_t)i);
                entries.push_back(std::move(e));
            }
            int64_t out[2] = {-1, -1};
            FILE* reset = fopen("/proc/self/clear_refs", "w");
            if (reset && fputs("5", reset) >= 0 && fclose(reset) == 0) {
                const int64_t before = status_kb("VmRSS:");
                if (st.range(1)) {
                    packed_image image;
                    if (rom_image_from_snapshot(&image, std::move(entries), strlen("/ram/c")) == 0) {
                        out[0] = (status_kb("VmHWM:") - before) << 10;
                        out[1] = (int64_t)image.size();
                    }
                } else {
                    std::string image;
                    if (rom_image_from_snapshot(&image, std::move(entries), strlen("/ram/c")) == 0) {
                        out[0] = (status_kb("VmHWM:") - before) << 10;
                        out[1] = (int64_t)image.size();
                    }
                }
            }
            ssize_t w = write(fds[1], out, sizeof out);
            _exit(w == (ssize_t)sizeof out ? 0 : 1);
        }
        close(fds[1]);
        if (read(fds[0], result, sizeof result) != (ssize_t)sizeof result) result[0] = -1;
        close(fds[0]);
        waitpid(child, nullptr, 0);
    }
    if (result[0] < 0) {
        st.SkipWithError("not measured");
        return;
    }
    st.counters["rise_MB"] = (double)result[0] / (1 << 20);
    st.counters["rise_per_copy"] = (double)result[0] / (double)copy;
    st.counters["image_MB"] = (double)result[1] / (1 << 20);
    st.counters["image_per_copy"] = (double)result[1] / (double)copy;
}
// Second arg: 0 the image into a text (a copy), 1 handed over where it was
// packed, as the write over frames takes it.
BENCHMARK(BM_rom_image_peak)
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The first touch of a 52 MB text cartridge: its text (1 MB files, args:
// the content, as above, and the files' MB) decoded into a fresh RAM folder, as a mount reads
// it. Time is the least of the iterations (wall and the thread's CPU), the
// folder's removal left out.
void BM_text_cart_decode(benchmark::State& st) {
    const int content = (int)st.range(0);
    const int64_t folder = st.range(1) << 20;
    pfile_init();
    pfile_reset();
    mount_ram_folder("/ram");
    pmkdir("/ram/c");
    for (int64_t at = 0, i = 0; at < folder; at += 1 << 20, i++) {
        std::string name = "/ram/c/f" + std::to_string(i) + (content == 0 ? ".lua" : ".bin");
        std::string d = cart_content(content, 1 << 20, (uint32_t)i);
        pfile* f = pfopen(name.c_str(), "w");
        pfwrite(d.data(), 1, (int64_t)d.size(), f);
        pfclose(f);
    }
    buffer* text = create_buffer_2(1024, ROM_SCRATCH_KIND);
    if (write_hvx_from_ram_files(text, "/ram/c", 0) != 0) {
        st.SkipWithError("the cartridge was not written");
        destroy_buffer(text);
        pfile_reset();
        return;
    }
    cpu_cycles_max = INT32_MAX;
    double least = 1e300, least_cpu = 1e300;
    bool whole = true;
    for (auto _ : st) {
        buffer* d = create_buffer_from_str("/ram/d");
        delete_ram_files_in_path(d);
        pmkdir("/ram/d");
        const auto t0 = std::chrono::steady_clock::now();
        timespec c0, c1;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
        whole = populate_ram_folder_from_hvx_buffer("/ram/d", text) == 0 && whole;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
        const double ns = (double)std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now() - t0).count();
        least = std::min(least, ns);
        least_cpu = std::min(least_cpu, (c1.tv_sec - c0.tv_sec) * 1e9 + (double)(c1.tv_nsec - c0.tv_nsec));
        st.SetIterationTime(ns / 1e9);
        delete_ram_files_in_path(d);
        destroy_buffer(d);
    }
    if (!whole) st.SkipWithError("the cartridge did not load whole");
    st.counters["text_MB"] = (double)text->length / (1 << 20);
    st.counters["least_ms"] = least / 1e6;
    st.counters["least_cpu_ms"] = least_cpu / 1e6;
    st.counters["bytes_per_ns"] = (double)text->length / least;
    destroy_buffer(text);
    pfile_reset();
}
BENCHMARK(BM_text_cart_decode)
    ->Args({0, 52})
    ->Args({1, 39})
    ->Args({2, 39})
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(5);

}  // namespace
