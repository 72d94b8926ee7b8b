// Fuzz target: the site's replies as the machine reads them, for a signed-in
// user. The first byte picks the user-data reply, the real-time endpoint
// reply or the score channel's key reply. A stored value is a line of the
// reply: never cut, inside its field, without control bytes, and the key
// replies only for a reply naming the user; every user-data line kept reads
// back as the part after its id.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/net.h"
#include "platform/platform.h"

namespace {

const char* const user_id = "4242";

bool stored_ok(const char* field, const std::string& reply) {
    size_t n = strnlen(field, SESSION_REPLY_MAX + 1);
    if (n > SESSION_REPLY_MAX) return false;
    for (size_t i = 0; i < n; i++)
        if ((uint8_t)field[i] < 32 || field[i] == 127) return false;
    return n == 0 || reply.find(field) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    config_set_defaults();
    config.headless = 1;
    // Sessions are saved under the per-user folder: a scratch one.
    static char home[] = "/tmp/halvoran-fuzz-XXXXXX";
    if (!mkdtemp(home)) return 0;
    snprintf(config.home, sizeof config.home, "%s", home);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    config.network_access = 1;
    siteuser_init();
    if (add_or_modify_session(user_id, 1, "token", "ann", "icon") != 0) abort();
    siteuser_session* s = get_active_session();
    if (!s) abort();
    std::string reply((const char*)data + 1, size - 1);
    gurl_job j{};
    j.state = GURL_DONE;
    j.result.data = (uint8_t*)reply.data();
    j.result.length = (int64_t)reply.size();
    s->channel_token[0] = s->vynnet_token[0] = s->https_endpoint[0] = 0;
    switch (data[0] % 3) {
    case 0: {
        siteuser_receive_udat_cb(&j);
        // Each kept line's text after the id is what the cache gives for it.
        size_t n = std::min(reply.size(), UDAT_REPLY_READ_MAX);
        for (size_t i = 0; i < n; i++) {
            size_t start = i;
            while (i < n && (uint8_t)reply[i] >= 32 && (uint8_t)reply[i] <= 127) i++;
            std::string line = reply.substr(start, i - start);
            size_t bar = line.find('|');
            if (line.size() < 8 || line.size() > UDAT_LINE_MAX || bar == std::string::npos || bar == 0 ||
                bar > SESSION_NAME_MAX || line.find('\0') != std::string::npos)
                continue;
            std::string id = line.substr(0, bar);
            const char* v = siteuser_get(id.c_str(), UDAT_SYSTEM_BATCH);
            if (!v || reply.find(v) == std::string::npos) abort();
        }
        if (strnlen(s->username, SESSION_NAME_MAX + 1) > SESSION_NAME_MAX ||
            strnlen(s->extra, SESSION_EXTRA_MAX + 1) > SESSION_EXTRA_MAX)
            abort();
        break;
    }
    case 1:
        get_vynnet_endpoint_cb(&j);
        if (!stored_ok(s->https_endpoint, reply)) abort();
        if (s->https_endpoint[0] && reply.find(std::string("/") + user_id + "/") == std::string::npos) abort();
        break;
    default:
        get_top_kat_cb(&j);
        if (!stored_ok(s->channel_token, reply) || !stored_ok(s->vynnet_token, reply)) abort();
        if (s->channel_token[0] && std::string(s->channel_token).find(std::string("/") + user_id + "/") ==
                                       std::string::npos)
            abort();
        break;
    }
    return 0;
}
