// Fuzz target: where a signed-in user's token may go. Every input checks the
// endpoint rule for an endpoint and a URL (often the endpoint, or a part of
// it, continued by the input) against a reference that parses both: the
// token goes only over http(s) to the endpoint's own scheme and host part,
// with a path that, percent-decoded and with its dot segments resolved, stays
// under the endpoint's; and a plain URL continuing the endpoint at '/', '?'
// or '#' does get it. When the first byte is odd, the rest of the input is a
// header table for _fetch_remote's header lines, with the endpoint and token
// as the active session's: the lines are NUL-ended, none broken by a line
// break, and are the table's valid lines in order, the placeholder becoming
// the token line only under the endpoint.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lang/lang.h"
#include "net/net.h"
#include "runtime/runtime.h"
#include "storage/storage.h"

namespace {

struct parsed_url {
    std::string scheme, authority, path;
};

// scheme "://" authority, the authority ended by any of "/?#\" (some
// parsers take a backslash for a slash), the path by '?' or '#'.
std::optional<parsed_url> parse(std::string_view u) {
    size_t colon = u.find("://");
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    size_t a = colon + 3;
    size_t a_end = std::min(u.find_first_of("/?#\\", a), u.size());
    size_t p_end = std::min(u.find_first_of("?#", a_end), u.size());
    return parsed_url{std::string(u.substr(0, colon)), std::string(u.substr(a, a_end - a)),
                      std::string(u.substr(a_end, p_end - a_end))};
}

int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = (char)(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The path a server ends up serving: escapes decoded, backslashes as
// slashes, then RFC 3986's removal of dot segments.
std::string served_path(const std::string& raw) {
    std::string in;
    for (size_t i = 0; i < raw.size(); i++) {
        if (raw[i] == '%' && i + 2 < raw.size() && hex(raw[i + 1]) >= 0 && hex(raw[i + 2]) >= 0) {
            in += (char)(hex(raw[i + 1]) * 16 + hex(raw[i + 2]));
            i += 2;
        } else {
            in += raw[i] == '\\' ? '/' : raw[i];
        }
    }
    std::string out;
    auto drop_last = [&] { out.erase(std::min(out.rfind('/'), out.size())); };
    while (!in.empty()) {
        if (in.starts_with("../")) in.erase(0, 3);
        else if (in.starts_with("./")) in.erase(0, 2);
        else if (in.starts_with("/./")) in.replace(0, 3, "/");
        else if (in == "/.") in = "/";
        else if (in.starts_with("/../")) in.replace(0, 4, "/"), drop_last();
        else if (in == "/..") in = "/", drop_last();
        else if (in == "." || in == "..") in.clear();
        else {
            size_t end = std::min(in.find('/', 1), in.size());
            out += in.substr(0, end);
            in.erase(0, end);
        }
    }
    return out;
}

// Where the token may safely go, by the reference.
bool reference_under(std::string_view url, std::string_view endpoint) {
    auto u = parse(url), e = parse(endpoint);
    if (!u || !e || url.find('\0') != std::string_view::npos) return false;
    if (e->scheme != "http" && e->scheme != "https") return false;
    std::string_view host = e->authority;
    host = host.substr(std::min(host.rfind('@') + 1, host.size()));  // after any user part
    host = host.substr(0, host.find(':'));
    if (host.empty() || u->scheme != e->scheme || u->authority != e->authority) return false;
    std::string up = served_path(u->path), ep = served_path(e->path);
    return ep.empty() || up == ep || (ep.back() == '/' && up.starts_with(ep)) || up.starts_with(ep + "/");
}

bool only_of(std::string_view s, const char* allowed) { return s.find_first_not_of(allowed) == std::string_view::npos; }

// An endpoint and URL of the forms the site and scripts use: the token must go.
bool plainly_under(std::string_view url, std::string_view endpoint) {
    static const char* const word = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-";
    size_t host = endpoint.starts_with("https://") ? 8 : endpoint.starts_with("http://") ? 7 : 0;
    if (!host || !url.starts_with(endpoint)) return false;
    std::string_view rest = endpoint.substr(host);
    size_t slash = std::min(rest.find('/'), rest.size());
    std::string_view authority = rest.substr(0, slash), path = rest.substr(slash);
    std::string_view name = authority.substr(0, authority.find(':'));
    std::string_view port = authority.substr(name.size());
    bool port_ok = port.empty() || (port.size() >= 2 && port.size() <= 6 && only_of(port.substr(1), "0123456789") &&
                                    std::stoi(std::string(port.substr(1))) <= 65535);
    if (name.empty() || host + authority.size() > NET_HOST_URL_MAX ||
        !only_of(name, "abcdefghijklmnopqrstuvwxyz0123456789.-") || !port_ok ||
        !only_of(path, (std::string(word) + "/").c_str()))
        return false;
    std::string_view more = url.substr(endpoint.size());
    return only_of(more, (std::string(word) + "/?#=&").c_str()) &&
           (more.empty() || endpoint.back() == '/' || more[0] == '/' || more[0] == '?' || more[0] == '#');
}

bool reference_line_ok(std::string_view line) {
    for (char c : line)
        if ((uint8_t)c == 127 || ((uint8_t)c < 32 && c != '\t')) return false;
    return true;
}

// The session's copy of a text: cut at a NUL and to its field.
std::string as_stored(const std::string& s) { return s.substr(0, std::min(strlen(s.c_str()), SESSION_REPLY_MAX)); }

void check_header_lines(const std::string& url, const std::string& endpoint, const std::string& token,
                        FuzzedDataProvider& in) {
    siteuser_session* s = get_active_session();
    if (!s) abort();
    memcpy(s->https_endpoint, endpoint.c_str(), endpoint.size() + 1);
    memcpy(s->vynnet_token, token.c_str(), token.size() + 1);
    processes_init();
    Process* p = create_process_from_code("", "fuzz", "/ram/fuzz.lua", "", "");
    if (!p) abort();
    set_current_process(p);
    lua_State* L = p->L;
    lua_settop(L, 0);
    lua_createtable(L, 16, 0);
    std::vector<std::string> script_lines;
    std::string expected;
    const bool token_goes = url_under_endpoint(url, endpoint) && !token.empty();
    const std::string token_line = "Authorization: " + token;
    for (int i = 1; in.remaining_bytes() > 0 && i <= 16; i++) {
        int kind = in.ConsumeIntegralInRange(0, 3);
        if (kind == 0) {
            lua_pushinteger(L, in.ConsumeIntegral<int16_t>());  // not a string: skipped
            lua_rawseti(L, 1, i);
            continue;
        }
        std::string h = kind == 1 ? std::string(TOKEN_PLACEHOLDER) : in.ConsumeRandomLengthString(120);
        lua_pushlstring(L, h.data(), h.size());
        lua_rawseti(L, 1, i);
        if (h == TOKEN_PLACEHOLDER) {
            if (token_goes && reference_line_ok(token_line)) expected += token_line + '\0';
        } else if (reference_line_ok(h)) {
            expected += h + '\0';
            script_lines.push_back(h);
        }
    }
    buffer* b = fetch_header_lines(L, 1, url);
    if (!b) abort();
    std::string block((const char*)b->data, (size_t)b->length);
    destroy_buffer(b);
    if (block != expected) abort();
    // Whatever the table held: lines NUL-ended, none broken in two.
    if (!block.empty() && block.back() != '\0') abort();
    if (block.find_first_of("\r\n") != std::string::npos) abort();
    // Without the reference's consent, the token is in no line the script did not give itself.
    if (!token.empty() && !reference_under(url, endpoint)) {
        for (size_t at = 0; at < block.size(); at = block.find('\0', at) + 1) {
            std::string line = block.substr(at, block.find('\0', at) - at);
            if (line.find(token) != std::string::npos &&
                std::find(script_lines.begin(), script_lines.end(), line) == script_lines.end())
                abort();
        }
    }
    lua_settop(L, 0);
    processes_init();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    config_set_defaults();
    config.headless = 1;
    pfile_init();
    // The session is saved under the per-user folder: a scratch one.
    static char home[] = "/tmp/halvoran-fuzz-XXXXXX";
    if (!mkdtemp(home)) abort();
    snprintf(config.home, sizeof config.home, "%s", home);
    config.network_access = 1;  // the session is active only with it; nothing here starts a request
    siteuser_init();
    if (add_or_modify_session("4242", 1, "token", "ann", "icon") != 0) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    FuzzedDataProvider in(data + 1, size - 1);
    std::string endpoint = in.ConsumeRandomLengthString(300);
    std::string url = endpoint.substr(0, in.ConsumeIntegralInRange<size_t>(0, endpoint.size()));
    url += in.ConsumeRandomLengthString(300);
    std::string token = in.ConsumeRandomLengthString(300);
    bool under = url_under_endpoint(url, endpoint);
    if (under && !reference_under(url, endpoint)) abort();
    if (plainly_under(url, endpoint) && !under) abort();
    if (data[0] & 1) check_header_lines(url, as_stored(endpoint), as_stored(token), in);
    return 0;
}
