// libFuzzer target for the calls that read a script's or a server's bytes
// as text, called on a process of a fresh table. The first byte picks:
// 0 split: fields split at a set of separator bytes hold none of them and,
//   with one separator byte each put back, give the text again; fields of a
//   length join to the text;
// 1 tokenoid's scanner: from any continuation state the tokens of a line
//   tile it, each inside it;
// 2 the cache: a host path joined from any folder and name lies inside the
//   cache folder and climbs nowhere; the cache name chosen for any URL lies
//   in the cartridge cache, climbs nowhere and holds no control byte or '%';
// 3 fetch's format dispatcher (also given network replies): any bytes under
//   any extension decode or raise an error, the stack kept; plain bytes come
//   back as they are;
// 4 _fetch_remote's URL, method, body and header table, with the network off
//   (nothing is sent), and the well-formed path checks: no fault; a
//   well-formed vynnet path begins with its prefix.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lang/lang.h"
#include "net/net.h"
#include "runtime/runtime.h"
#include "storage/storage.h"

namespace {

const char* const extensions[] = {"vyn", "png", "qz.png", "qoi", "txt", "lua", "pn", "bin", "hvx", ""};

bool segment_climbs(const std::string& p) {
    return path_has_dotdot_segment(p.c_str(), (int64_t)p.size());
}

bool has_control(const std::string& p) {
    for (char c : p)
        if ((uint8_t)c < 32 || c == 127) return true;
    return false;
}

void check_split(lua_State* L, FuzzedDataProvider& in) {
    std::string text = in.ConsumeRandomLengthString(4096);
    bool by_length = in.ConsumeBool();
    int64_t chunk = in.ConsumeIntegralInRange<int64_t>(-2, 70);
    std::string sep = in.ConsumeRandomLengthString(8);
    lua_settop(L, 0);
    lua_pushlstring(L, text.data(), text.size());
    if (by_length) lua_pushinteger(L, chunk);
    else lua_pushlstring(L, sep.data(), sep.size());
    lua_pushboolean(L, 0);
    if (lua54_split(L) != 1 || !lua_istable(L, -1)) abort();
    std::string joined, rest;
    bool sep_set[256] = {};
    for (char c : sep) sep_set[(uint8_t)c] = true;
    lua_Integer n = (lua_Integer)luaL_len(L, -1);
    for (lua_Integer i = 1; i <= n; i++) {
        lua_rawgeti(L, -1, i);
        size_t len = 0;
        const char* f = lua_tolstring(L, -1, &len);
        if (!f) abort();
        std::string field(f, len);
        lua_pop(L, 1);
        if (by_length || sep.empty()) {
            joined += field;
            continue;
        }
        for (char c : field)
            if (sep_set[(uint8_t)c]) abort();
        joined += field;
        // The byte that ended this field is the one in the text there.
        if (i < n) {
            if (joined.size() >= text.size() || !sep_set[(uint8_t)text[joined.size()]]) abort();
            joined += text[joined.size()];
        }
    }
    if (joined != text) abort();
    lua_settop(L, 0);
}

void check_tokens(FuzzedDataProvider& in) {
    int64_t state = in.ConsumeIntegral<int64_t>();
    std::string line = in.ConsumeRandomLengthString(4096);
    const auto* s = (const uint8_t*)line.data();
    int64_t len = (int64_t)line.size();
    for (int64_t pos = 0; pos < len;) {
        token_span t;
        if (!scan_token(s, len, pos, state, &t)) return;  // a state too deep gives no token
        if (t.length < 1 || t.length > len - pos) abort();
        if (t.open && pos + t.length != len) abort();
        pos += t.length;
        state = t.open ? t.state : 0;
    }
}

void check_cache(FuzzedDataProvider& in) {
    std::string folder = in.ConsumeRandomLengthString(300);
    std::string name = in.ConsumeRandomLengthString(300);
    int version = in.ConsumeIntegralInRange<int>(-1, 1000);
    char path[CACHE_PATH_MAX];
    char base[HVX_PATH_MAX];
    bool has_base = krio_prefix_with_appdata_path(CACHE_FOLDER, base, sizeof base);
    if (cache_host_path(folder.data(), folder.size(), name.data(), name.size(), version, path, sizeof path)) {
        std::string p = path;
        if (!has_base || p.compare(0, strlen(base), base) != 0 || p[strlen(base)] != '/' || segment_climbs(p) ||
            p.size() >= CACHE_PATH_MAX)
            abort();
    }
    std::string url = in.ConsumeRandomLengthString(600);
    if (in.ConsumeBool()) url = "http://site.test" + std::string(GET_CART_PATH) + url;
    else if (in.ConsumeBool()) url = "http://carts.test/" + url;
    char name_out[HVX_PATH_MAX];
    if (cart_cache_name_for_url(url.c_str(), name_out, sizeof name_out)) {
        std::string p = name_out;
        if (p.compare(0, strlen(CART_CACHE_FOLDER) + 1, std::string(CART_CACHE_FOLDER) + "/") != 0 ||
            segment_climbs(p) || has_control(p) || p.find('%') != std::string::npos)
            abort();
    }
}

int dispatch(lua_State* L) {
    size_t n = 0;
    const char* bytes = lua_tolstring(L, 1, &n);
    const char* path = lua_tostring(L, 2);
    int flags = (int)lua_tointeger(L, 3);
    buffer view{(uint32_t)n + 1, (uint8_t*)const_cast<char*>(bytes), 0, (int32_t)n, 0};
    return unvyn_from_fetched_buffer(L, &view, path, flags);
}

void check_dispatch(lua_State* L, FuzzedDataProvider& in) {
    std::string path = std::string("/r/x.") + in.PickValueInArray(extensions);
    int flags = in.ConsumeIntegralInRange<int>(0, 3);
    std::string bytes = in.ConsumeRemainingBytesAsString();
    lua_settop(L, 0);
    lua_pushcfunction(L, dispatch);
    lua_pushlstring(L, bytes.data(), bytes.size());
    lua_pushstring(L, path.c_str());
    lua_pushinteger(L, flags);
    if (lua_pcall(L, 3, LUA_MULTRET, 0) == LUA_OK && path.substr(path.size() - 4) == ".bin" &&
        bytes.compare(0, 7, "--[[vyn") != 0 && bytes.compare(0, strlen(LEGACY_VYN_PREFIX), LEGACY_VYN_PREFIX) != 0) {
        size_t n = 0;
        const char* s = lua_tolstring(L, 1, &n);
        if (lua_gettop(L) != 2 || !s || std::string(s, n) != bytes) abort();
    }
    lua_settop(L, 0);
}

void check_fetch_remote(lua_State* L, FuzzedDataProvider& in) {
    std::string url = in.ConsumeRandomLengthString(600);
    std::string method = in.ConsumeRandomLengthString(40);
    std::string body = in.ConsumeRandomLengthString(300);
    lua_settop(L, 0);
    lua_pushlstring(L, url.data(), url.size());
    lua_pushlstring(L, method.data(), method.size());
    lua_pushlstring(L, body.data(), body.size());
    lua_newtable(L);
    for (int i = 1; in.remaining_bytes() > 0 && i <= 20; i++) {
        std::string h = in.ConsumeBool() ? std::string(TOKEN_PLACEHOLDER) : in.ConsumeRandomLengthString(200);
        lua_pushlstring(L, h.data(), h.size());
        lua_rawseti(L, -2, i);
    }
    config.network_access = 0;
    lua54__fetch_remote(L);
    lua_settop(L, 0);
    if (is_well_formed_vynnet_path(url.data(), url.size()) && url.compare(0, strlen(VYNNET_PREFIX), VYNNET_PREFIX) != 0)
        abort();
    is_well_formed_bbs_path(url.data(), url.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    config_set_defaults();
    config.headless = 1;
    pfile_init();
    net_set_host_url(NET_HOST_SITE, "http://site.test");
    net_set_host_url(NET_HOST_CART, "http://carts.test");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    FuzzedDataProvider in(data + 1, size - 1);
    processes_init();
    Process* p = create_process_from_code("", "fuzz", "/ram/fuzz.lua", "", "");
    if (!p) abort();
    set_current_process(p);
    switch (data[0] % 5) {
    case 0: check_split(p->L, in); break;
    case 1: check_tokens(in); break;
    case 2: check_cache(in); break;
    case 3: check_dispatch(p->L, in); break;
    default: check_fetch_remote(p->L, in); break;
    }
    processes_init();
    return 0;
}
