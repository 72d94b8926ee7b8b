// File operations and ROM cartridges against their plain anchors: a whole
// host read at open against one read(), a close write (hidden sibling and
// rename) against write()+close(), a script's cp of 10 MB against a fetch
// and a store of the same bytes, the ROM unpack against LZ4 alone, and a ROM
// write of a 1 MB tree.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <lz4.h>
#include <lz4hc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "lang/lang.h"
#include "storage/storage.h"

namespace {

namespace fs = std::filesystem;

std::string scratch() { return bench_scratch(); }

std::string noise(size_t n, uint32_t seed) { return bench_noise(n, seed); }

void mount_scratch() {
    pfile_init();
    pfile_reset();
    mount_host_path("/", scratch().c_str());
    mount_ram_folder("/ram");
}

void make_file(const std::string& name, size_t n) {
    std::string p = scratch() + "/" + name;
    FILE* f = fopen(p.c_str(), "wb");
    std::string d = noise(n, 7);
    fwrite(d.data(), 1, d.size(), f);
    fclose(f);
}

void bm_pfopen_read(benchmark::State& state) {
    size_t n = (size_t)state.range(0) << 20;
    mount_scratch();
    make_file("read.bin", n);
    for (auto _ : state) {
        pfile* f = pfopen("/read.bin", "r");
        benchmark::DoNotOptimize(f->data->data);
        pfclose(f);
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)n);
}
BENCHMARK(bm_pfopen_read)->Arg(1)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond);

void bm_anchor_read(benchmark::State& state) {
    size_t n = (size_t)state.range(0) << 20;
    make_file("read.bin", n);
    std::string p = scratch() + "/read.bin";
    for (auto _ : state) {
        int fd = open(p.c_str(), O_RDONLY);
        struct stat st;
        fstat(fd, &st);
        char* b = (char*)malloc((size_t)st.st_size + 1);
        size_t got = 0;
        while (got < (size_t)st.st_size) {
            ssize_t r = read(fd, b + got, (size_t)st.st_size - got);
            if (r <= 0) break;
            got += (size_t)r;
        }
        close(fd);
        benchmark::DoNotOptimize(b);
        free(b);
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)n);
}
BENCHMARK(bm_anchor_read)->Arg(1)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond);

void bm_pfclose_write(benchmark::State& state) {
    size_t n = (size_t)state.range(0);
    mount_scratch();
    std::string d = noise(n, 3);
    for (auto _ : state) {
        pfile* f = pfopen("/write.bin", "w");
        pfwrite(d.data(), 1, (int64_t)n, f);
        pfclose(f);
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)n);
}
BENCHMARK(bm_pfclose_write)->Arg(4096)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

void bm_anchor_write(benchmark::State& state) {
    size_t n = (size_t)state.range(0);
    std::string d = noise(n, 3);
    std::string p = scratch() + "/write_anchor.bin";
    for (auto _ : state) {
        int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        benchmark::DoNotOptimize(write(fd, d.data(), n));
        close(fd);
    }
    state.SetBytesProcessed(state.iterations() * (int64_t)n);
}
BENCHMARK(bm_anchor_write)->Arg(4096)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

// A script copies 10 MB with cp: range(0) 0 from one RAM file to another,
// 1 from one drive file to another. Its anchor, range(1) 1: the same bytes
// fetched and stored by the same script. The RAM source is written in 64 KB
// pieces, so it holds the spare room a file grown by writes has.
void bm_script_copy_10mb(benchmark::State& state) {
    const bool drive = state.range(0) == 1, anchor = state.range(1) == 1;
    const int64_t n = 10 << 20;
    Process* p = bench_process(R"lua(
        local RAW = '--[[vyn_format="raw",metadata_format="none"]]'
        function copy(a, b) cp(a, b) end
        function fetch_store(a, b) store(b, fetch(a), RAW) end
    )lua");
    if (!p) {
        state.SkipWithError("no process");
        return;
    }
    mount_scratch();
    make_file("copy_src.bin", (size_t)n);
    std::string d = noise((size_t)n, 7);
    pfile* f = pfopen("/ram/copy_src.bin", "w");
    for (int64_t i = 0; i < n; i += 65536) pfwrite(d.data() + i, 1, 65536, f);
    pfclose(f);
    set_current_process(p);
    cpu_cycles_max = INT32_MAX;
    lua_pcall(p->L, 0, 0, 0);
    const char* from = drive ? "/copy_src.bin" : "/ram/copy_src.bin";
    const char* to = drive ? "/copy_dst.bin" : "/ram/copy_dst.bin";
    uint64_t made = get_buffer_bytes_made(), copied = get_buffer_bytes_copied();
    for (auto _ : state) {
        cpu_cycles = 0;
        lua_getglobal(p->L, anchor ? "fetch_store" : "copy");
        lua_pushstring(p->L, from);
        lua_pushstring(p->L, to);
        if (lua_pcall(p->L, 2, 0, 0) != LUA_OK) {
            state.SkipWithError(lua_tostring(p->L, -1));
            break;
        }
    }
    // Buffer bytes made (zero-filled) and copied, per byte copied: the
    // script strings of the anchor are not among them.
    state.counters["made_per_byte"] = (double)(get_buffer_bytes_made() - made) / ((double)n * state.iterations());
    state.counters["copied_per_byte"] =
        (double)(get_buffer_bytes_copied() - copied) / ((double)n * state.iterations());
    state.SetBytesProcessed(state.iterations() * n);
    state.SetLabel(std::string(drive ? "drive" : "ram") + (anchor ? " fetch+store" : " cp"));
    pfile_reset();
    processes_init();
}
BENCHMARK(bm_script_copy_10mb)->Args({0, 0})->Args({0, 1})->Args({1, 0})->Args({1, 1})->Unit(benchmark::kMillisecond);

// A stream of about 1 MB: 64 files of 16 KB.
buffer* one_mb_stream() {
    buffer* s = create_buffer_2(1 << 20, ROM_SCRATCH_KIND);
    for (int i = 0; i < 64; i++) {
        std::string d = noise(16384, (uint32_t)i);
        std::string name = "system/f" + std::to_string(i) + ".lua";
        rom_append_entry(s, name.c_str(), 0, (const uint8_t*)d.data(), (int64_t)d.size());
    }
    return s;
}

void bm_rom_unpack_1mb(benchmark::State& state) {
    buffer* s = one_mb_stream();
    buffer* rom = create_buffer_2(1024, ROM_SCRATCH_KIND);
    rom_pack(rom, s->data, s->length);
    for (auto _ : state) {
        int64_t used;
        buffer* out = rom_unpack(rom->data, rom->length, &used);
        benchmark::DoNotOptimize(out->data);
        destroy_buffer(out);
    }
    state.SetBytesProcessed(state.iterations() * s->length);
    destroy_buffer(rom);
    destroy_buffer(s);
}
BENCHMARK(bm_rom_unpack_1mb)->Unit(benchmark::kMicrosecond);

void bm_anchor_lz4_decompress_1mb(benchmark::State& state) {
    buffer* s = one_mb_stream();
    std::vector<char> c((size_t)LZ4_compressBound(s->length));
    int clen = LZ4_compress_HC((const char*)s->data, c.data(), s->length, (int)c.size(), 9);
    std::vector<char> out((size_t)s->length);
    for (auto _ : state) {
        benchmark::DoNotOptimize(LZ4_decompress_safe(c.data(), out.data(), clen, (int)out.size()));
    }
    state.SetBytesProcessed(state.iterations() * s->length);
    destroy_buffer(s);
}
BENCHMARK(bm_anchor_lz4_decompress_1mb)->Unit(benchmark::kMicrosecond);

void bm_rom_boot_populate_1mb(benchmark::State& state) {
    buffer* s = one_mb_stream();
    buffer* rom = create_buffer_2(1024, ROM_SCRATCH_KIND);
    rom_pack(rom, s->data, s->length);
    for (auto _ : state) {
        pfile_init();
        pfile_reset();
        mount_ram_folder("/system");
        rom->cursor = 0;
        populate_ram_folder_from_hvx_rom_buffer_ex("/system", "system/", rom, 0);
    }
    state.SetBytesProcessed(state.iterations() * s->length);
    pfile_reset();
    destroy_buffer(rom);
    destroy_buffer(s);
}
BENCHMARK(bm_rom_boot_populate_1mb)->Unit(benchmark::kMicrosecond);

void bm_rom_write_1mb_tree(benchmark::State& state) {
    pfile_init();
    pfile_reset();
    mount_ram_folder("/ram");
    for (int i = 0; i < 64; i++) {
        std::string d = noise(16384, (uint32_t)i);
        std::string name = "/ram/t/f" + std::to_string(i) + ".lua";
        pfile* f = pfopen(name.c_str(), "w");
        pfwrite(d.data(), 1, (int64_t)d.size(), f);
        pfclose(f);
    }
    for (auto _ : state) {
        buffer* out = create_buffer_2(1024, ROM_SCRATCH_KIND);
        write_hvx_rom_from_ram_files(out, "/ram/t", 0);
        benchmark::DoNotOptimize(out->data);
        destroy_buffer(out);
    }
    state.SetBytesProcessed(state.iterations() * (64 << 14));
    pfile_reset();
}
BENCHMARK(bm_rom_write_1mb_tree)->Unit(benchmark::kMillisecond);

// A new ROM cartridge mount from a host file of about range(0) KB (its
// files noise, so the file is as large as what it unpacks to), and
// the file read alone as the mount does it into a fresh buffer: the host
// time the mount's charge stands for. Counters: the cycles charged for the
// mount, the file's bytes and the file bytes the read gets through per
// cycle of host time (a cycle being 1/16,800 ms).
void bm_cart_mount_rom(benchmark::State& state) {
    mount_scratch();
    pfile_init();
    pfile_reset();
    mount_ram_folder("/ram");
    int files = (int)state.range(0) / 16;
    for (int i = 0; i < files; i++) {
        std::string d = noise(16384, (uint32_t)i + 1000);
        for (char& c : d) c = (char)(c * 131 + 17);  // nothing for the packer to find
        std::string name = "/ram/src/f" + std::to_string(i) + ".bin";
        pfile* f = pfopen(name.c_str(), "w");
        pfwrite(d.data(), 1, (int64_t)d.size(), f);
        pfclose(f);
    }
    buffer* rom = create_buffer_2(1024, ROM_SCRATCH_KIND);
    write_hvx_rom_from_ram_files(rom, "/ram/src", 0);
    std::string host = scratch() + "/c.hvx.rom";
    FILE* out = fopen(host.c_str(), "wb");
    fwrite(rom->data, 1, (size_t)rom->length, out);
    fclose(out);
    int64_t file_bytes = rom->length;
    destroy_buffer(rom);
    pfile_reset();
    mount_host_path("/", scratch().c_str());
    mount_ram_folder("/ram");
    cpu_cycles_max = INT32_MAX;
    int64_t charged = 0;
    for (auto _ : state) {
        cpu_cycles = 0;
        benchmark::DoNotOptimize(mount_hvx_path("/c.hvx.rom"));
        charged = cpu_cycles;
        state.PauseTiming();
        delete_mount_point("/c.hvx.rom");
        pdisk_compact_pfiles();
        state.ResumeTiming();
    }
    double read_ns = 1e18;
    for (int k = 0; k < 50; k++) {
        auto t0 = std::chrono::steady_clock::now();
        buffer* b = create_buffer_from_file(host.c_str());
        benchmark::DoNotOptimize(b->data);
        auto t1 = std::chrono::steady_clock::now();
        destroy_buffer(b);
        read_ns = std::min(read_ns, (double)std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count());
    }
    state.counters["cycles_charged"] = (double)charged;
    state.counters["file_bytes"] = (double)file_bytes;
    state.counters["read_bytes_per_cycle"] = (double)file_bytes / (read_ns * 16800.0 / 1e6);
    state.SetBytesProcessed(state.iterations() * file_bytes);
    pfile_reset();
}
BENCHMARK(bm_cart_mount_rom)->Arg(192)->Arg(4096)->Unit(benchmark::kMicrosecond);

void bm_anchor_lz4hc9_1mb(benchmark::State& state) {
    buffer* s = one_mb_stream();
    std::vector<char> c((size_t)LZ4_compressBound(s->length));
    for (auto _ : state)
        benchmark::DoNotOptimize(LZ4_compress_HC((const char*)s->data, c.data(), s->length, (int)c.size(), 9));
    state.SetBytesProcessed(state.iterations() * s->length);
    destroy_buffer(s);
}
BENCHMARK(bm_anchor_lz4hc9_1mb)->Unit(benchmark::kMillisecond);

}  // namespace
