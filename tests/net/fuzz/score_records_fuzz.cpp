// Fuzz target: a channel reply read as score records and merged into a
// channel. Every record lies inside the reply, and the merged table keeps one
// item per key, best score first, equal scores by ts.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "net/net.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t* end = data + size;
    scoresub* sub = get_scoresub(nullptr, nullptr, "fuzz-channel");
    for (const score_record& r : scoresub_parse_reply(data, size)) {
        const auto* key = (const uint8_t*)r.key;
        if (key < data || key + r.key_len > end || r.content < data || r.content + r.content_len > end) abort();
        if (r.key_len == 0 || std::memchr(r.key, 0, r.key_len)) abort();
        channel_add(sub, std::string(r.key, r.key_len).c_str(), r.score, r.content, r.content_len, r.ts);
    }
    std::set<std::string> keys;
    double prev_score = 0;
    uint64_t prev_ts = 0;
    for (int i = 0; i < scoresub_item_count(sub); i++) {
        double score;
        uint64_t ts;
        const char* key = scoresub_item_at(sub, i, &score, &ts);
        if (!keys.insert(key).second) abort();
        if (i > 0 && (score > prev_score || (score == prev_score && ts < prev_ts))) abort();
        prev_score = score;
        prev_ts = ts;
    }
    remove_scoresub_references(0);  // the unreferenced channel goes
    return 0;
}
