// System-information calls: stat (numbered facts about the machine and the
// caller), _kstat (session texts), time/t (the caller's clock) and date
// (calendar formatting on the 64-bit calendar time).
#include <cmath>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "gfx/gfx.h"
#include "lang/lang.h"
#include "net/net.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "storage/storage.h"

// ---------------------------------------------------------------------------
// time, _kstat
// ---------------------------------------------------------------------------

int lua54_time(lua_State* L) {
    lua_pushnumber(L, cproc ? (double)cproc->clock / 60.0 : 0.0);
    return 1;
}

int lua54_kstat(lua_State* L) {
    int isnum = 0;
    lua_Integer s = lua_tointegerx(L, 1, &isnum);
    if (!isnum || (s != 800 && s != 805)) return 0;
    siteuser_session* session = get_active_session();
    const char* text = session ? siteuser_session_text(session, s == 800 ? SESSION_ACCESS_TOKEN
                                                                          : SESSION_CONNECT_TOKEN)
                               : nullptr;
    // The access token is given even when empty; the connect token only when set.
    if (!text || (s == 805 && !text[0])) lua_pushnil(L);
    else lua_pushstring(L, text);
    return 1;
}

// ---------------------------------------------------------------------------
// stat
// ---------------------------------------------------------------------------

static int64_t stat_counter = 1;  // stat(333): unique within the run
static int16_t audio_scratch[MUDO_SCRATCH_SAMPLES];

static int push_float(lua_State* L, double v) {
    lua_pushnumber(L, v);
    return 1;
}

static int push_text_or_nil(lua_State* L, const char* s) {
    if (s && s[0]) lua_pushstring(L, s);
    else lua_pushnil(L);
    return 1;
}

static double frames_of(int64_t cycles) { return (double)cycles / current_frame_budget(); }

// Writes n samples of the scratch area to the caller's memory at addr (in
// unsigned arithmetic: any integer is an address that wraps).
static void poke_samples(Process* p, int64_t addr, int64_t n) {
    if (n > MUDO_SCRATCH_SAMPLES) n = MUDO_SCRATCH_SAMPLES;
    for (int64_t i = 0; i < n; i++) hvx_poke16(p, (uint32_t)addr + 2u * (uint32_t)i, (uint16_t)audio_scratch[i]);
}

// Refills p's snapshot of every channel's plain fields once per clock tick,
// so that all reads within one of its frames see the same moment.
static void refresh_channel_cache(Process* p) {
    if (p->channel_cache_stamp == p->clock) return;
    if (audio_op_start(p->id, 0) != 0) return;
    runtime_app.audio_stat_counters[0]++;
    for (int c = 0; c < STAT_AUDIO_CHANNELS; c++)
        for (int f = 0; f < STAT_AUDIO_CACHED_FIELDS; f++)
            p->channel_cache[c * CHANNEL_CACHE_STRIDE + f] = mudo_get_channel_state(c, f, audio_scratch);
    p->channel_cache_stamp = p->clock;
    audio_op_end();
}

// Selectors 400..497: the synthesizer as the audio-focus process hears it.
static int stat_audio(lua_State* L, Process* p, int64_t s, int64_t a, int64_t b) {
    bool focus = p->id == audio_app.audio_focus_pid;
    if (s >= STAT_AUDIO_CHANNEL_FIRST && s < STAT_AUDIO_CHANNEL_FIRST + STAT_AUDIO_CHANNELS) {
        int c = (int)(s - STAT_AUDIO_CHANNEL_FIRST);
        if (!focus || a < 0) return push_float(L, -1);
        if (a < STAT_AUDIO_CACHED_FIELDS) {
            refresh_channel_cache(p);
            return push_float(L, p->channel_cache[c * CHANNEL_CACHE_STRIDE + a]);
        }
        if (audio_op_start(p->id, 0) != 0) return push_float(L, -1);
        runtime_app.audio_stat_counters[1]++;
        int v = mudo_get_channel_state(c, a > INT32_MAX ? INT32_MAX : (int)a, audio_scratch);
        audio_op_end();
        if (v > 0 && a == STAT_AUDIO_WAVE_FIELD) poke_samples(p, b, 2 * (int64_t)v);
        else if (v > 0 && a <= STAT_AUDIO_LAST_WAVE_FIELD) poke_samples(p, b, v);
        return push_float(L, v);
    }
    switch (s) {
    case 464:
        if (!focus) break;
        if (p->active_channels_stamp != p->clock && audio_op_start(p->id, 0) == 0) {
            runtime_app.audio_stat_counters[0]++;
            p->active_channels = mudo_get_active_channels();
            p->active_channels_stamp = p->clock;
            audio_op_end();
        }
        lua_pushinteger(L, p->active_channels);
        return 1;
    case 465: {
        if (!focus || audio_op_start(p->id, 0) != 0) break;
        runtime_app.audio_stat_counters[2]++;
        int v = mudo_get_channel_state(-1, -1, audio_scratch);
        audio_op_end();
        if (v > 0) {
            poke_samples(p, b, 2 * (int64_t)v);
            spend_cpu((int32_t)std::lround(v * 0.5));
        }
        return push_float(L, v);
    }
    case 466:
    case 467: {
        if (!focus || audio_op_start(p->id, 0) != 0) break;
        runtime_app.audio_stat_counters[3]++;
        int v = mudo_get_music_state((int)(s - 466));
        audio_op_end();
        lua_pushinteger(L, v);
        return 1;
    }
    default: break;
    }
    lua_pushinteger(L, -1);
    return 1;
}

static int stat_sessions(lua_State* L, int64_t s) {
    siteuser_session* session = get_active_session();
    switch (s) {
    case 64: return push_text_or_nil(L, session ? siteuser_session_text(session, SESSION_USER_ID) : nullptr);
    case 65: return push_text_or_nil(L, session ? siteuser_session_text(session, SESSION_USER_NAME) : nullptr);
    case 66: {
        if (!session) {
            lua_pushnil(L);
            return 1;
        }
        spend_cpu(STAT_SESSION_DATA_COST);
        const char* data = siteuser_session_text(session, SESSION_STORED_DATA);
        std::string text = std::string("b64:") + (data ? data : "");
        if (destringify_object(L, text.data(), (int64_t)text.size()) != 1) lua_pushnil(L);
        return 1;
    }
    case 70: {
        // Copied first: building the table may run code that changes the sessions.
        std::vector<std::string> texts;
        for (int i = 0, n = num_sessions(); i < n; i++) {
            const char* t = siteuser_session_text(get_session(i), SESSION_USER_ID);
            texts.push_back(t ? t : "");
        }
        lua_createtable(L, (int)texts.size(), 0);
        for (size_t i = 0; i < texts.size(); i++) {
            lua_pushlstring(L, texts[i].data(), texts[i].size());
            if (lua_type(L, -2) != LUA_TTABLE) {  // a finalizer replaced it
                lua_pop(L, 1);
                break;
            }
            lua_rawseti(L, -2, (lua_Integer)i + 1);
        }
        return 1;
    }
    default:  // 71
        return push_float(L, config.user_id[0] && config.session_token[0] ? 1.0 : 0.0);
    }
}

int lua54_stat(lua_State* L) {
    int64_t s = hvx_intp(L, 1, 0), a = hvx_intp(L, 2, 0), b = hvx_intp(L, 3, 0);
    Process* p = cproc;
    if (!p) return push_float(L, 0.0);
    switch (s) {
    case 0:
        hvx_full_collection(L);
        return push_float(L, (double)process_memory_in_use(p));
    case 1: return push_float(L, frames_of((int64_t)cpu_cycles + p->cycles_since_flip));
    case 3: {
        hvx_full_collection(L);
        int64_t kb = lua_gc(L, LUA_GCCOUNT, 0), rest = lua_gc(L, LUA_GCCOUNTB, 0);
        return push_float(L, (double)(kb * 1024 + rest));
    }
    case 5:
        lua_pushinteger(L, BUILD_NUMBER);
        lua_pushstring(L, HVX_VERSION);
        return 2;
    case 7: {
        int fps = p->fps ? p->fps : 60;
        return push_float(L, platform_app.battery_slow ? fps / 2 : fps);
    }
    case 40: return push_float(L, p->sandboxed ? 0 : count_sockets(0));
    case 41: return push_float(L, count_sockets(p->id));
    case 42: return push_float(L, p->sandboxed ? 0 : count_sockbufs(0));
    case 43: return push_float(L, count_sockbufs(p->id));
    case 64:
    case 65:
    case 66:
    case 70:
    case 71: return stat_sessions(L, s);
    case 86: return push_float(L, (double)std::time(nullptr));
    case 87:
        tzset();
        return push_float(L, (double)timezone);
    case 101: return push_text_or_nil(L, p->cart_id);
    case 150:
    case 151:
    case 152:
    case 153: lua_pushliteral(L, ""); return 1;
    case 301: return push_float(L, frames_of(total_frame_cycles));
    case 302: return push_text_or_nil(L, a >= 0 && a < KEY_STATES ? os_key_from_scancode((int)a) : nullptr);
    case 303: return push_float(L, (double)platform_app.frame_count);
    case 304: return push_float(L, frames_of(total_frame_cycles_since_wm_flip + cpu_cycles));
    case 305:
        lua_pushboolean(L, (peek_proc(p, ADDR_FLAG_BYTE) & 0x10) && os_key_state(-1));
        return 1;
    case 306: lua_pushstring(L, hvx_build_string); return 1;
    case 307: return push_float(L, p->flags);
    case 308: return push_float(L, get_total_num_buffers());
    case 309: return push_float(L, get_total_buffer_allocation());
    case 310: return push_float(L, pdisk_num_pfiles());
    case 312: return push_float(L, p->page_len[(a >> HVX_PAGE_SHIFT) & (HVX_PAGES - 1)]);
    case 313: return push_float(L, (double)p->ram_bytes);
    case 314: return push_float(L, 3.141592653589793);
    case 315: return push_float(L, config.headless);
    case 316: lua_pushstring(L, config.stat_text); return 1;
    case 317: return push_float(L, storage_app.has_exported_cart ? 3.0 : 1.0);
    case 319: lua_pushnil(L); return 1;
    case 320: return push_float(L, gfx_app.gif_recording ? 1.0 : 0.0);
    case 321: return push_float(L, gfx_app.gif_recording ? gfx_app.gif_frames / 2 : 0);
    case 322: return push_float(L, gfx_app.audio_capture);
    case 330: return push_float(L, platform_app.battery_slow);
    case 331: return push_float(L, frames_of(p->granted_prev));
    case 332: return push_float(L, count_recent_sandboxed_processes());
    case 333: lua_pushinteger(L, stat_counter++); return 1;
    case 334: return push_float(L, platform_app.button_word);
    case 335: return push_float(L, config.display_pid > LAST_SYSTEM_PROCESS_ID ? 1.0 : 0.0);
    case 337: return push_float(L, runtime_app.rom_option);
    case 338: return push_float(L, storage_app.file_opened);
    case 498: {
        os_lock_audio();
        int mask = mudo_anything_is_playing();
        os_unlock_audio();
        lua_pushinteger(L, mask);
        return 1;
    }
    case 499: return push_float(L, (double)audio_app.audio_focus_pid);
    case 984: return push_float(L, p->flipped);
    case 985: return push_float(L, platform_app.boot_done);
    case 986: return push_float(L, runtime_app.signal36_flag);
    case 987: return push_float(L, (double)boot_get_time());
    case 988:
        start_frame();
        return push_float(L, os_key_state(SCANCODE_LCTRL) && os_key_state(SCANCODE_RCTRL) ? 1.0 : 0.0);
    default:
        if (s >= STAT_AUDIO_CHANNEL_FIRST && s <= 497) return stat_audio(L, p, s, a, b);
        return push_float(L, 0.0);
    }
}

// ---------------------------------------------------------------------------
// date
// ---------------------------------------------------------------------------

namespace {

const char* const weekday_names[7] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
const char* const month_names[12] = {"January", "February", "March",     "April",   "May",      "June",
                                     "July",    "August",   "September", "October", "November", "December"};

// The conversion specifiers date accepts, one and two characters long.
constexpr const char* DATE_OPTIONS_1 = "aAbBcdHIjmMpSUwWxXyYzZ%";
constexpr const char* DATE_OPTIONS_2 = "cxdHIjmMSUwWyY";  // each after '#'

void append_number(std::string& out, long long v, int width) {
    char tmp[32];
    snprintf(tmp, sizeof tmp, "%0*lld", width, v);
    out += tmp;
}

void append_zone(std::string& out, const struct tm& t, bool utc, bool name) {
    if (utc) {
        out += name ? "UTC" : "+0000";
        return;
    }
    if (name) {
        out += t.tm_zone ? t.tm_zone : "";
        return;
    }
    long off = t.tm_gmtoff;
    out += off < 0 ? '-' : '+';
    if (off < 0) off = -off;
    append_number(out, off / 3600, 2);
    append_number(out, off / 60 % 60, 2);
}

// One conversion in the C locale; '#' (alt) drops leading zeros and gives the
// long forms of c and x.
void append_conversion(std::string& out, char c, bool alt, const struct tm& t, bool utc) {
    int w = alt ? 1 : 2;
    int hour12 = t.tm_hour % 12 == 0 ? 12 : t.tm_hour % 12;
    long long year = (long long)t.tm_year + 1900;
    switch (c) {
    case 'a': out.append(weekday_names[t.tm_wday % 7], 3); break;
    case 'A': out += weekday_names[t.tm_wday % 7]; break;
    case 'b': out.append(month_names[t.tm_mon % 12], 3); break;
    case 'B': out += month_names[t.tm_mon % 12]; break;
    case 'c':
        if (alt) {  // Tuesday, March 14, 1995, 12:41:29
            append_conversion(out, 'x', true, t, utc);
            out += ", ";
            append_conversion(out, 'X', false, t, utc);
        } else {  // Tue Mar 14 12:41:29 1995
            append_conversion(out, 'a', false, t, utc);
            out += ' ';
            append_conversion(out, 'b', false, t, utc);
            out += ' ';
            if (t.tm_mday < 10) out += ' ';
            append_number(out, t.tm_mday, 1);
            out += ' ';
            append_conversion(out, 'X', false, t, utc);
            out += ' ';
            append_number(out, year, 1);
        }
        break;
    case 'x':
        if (alt) {  // Tuesday, March 14, 1995
            out += weekday_names[t.tm_wday % 7];
            out += ", ";
            out += month_names[t.tm_mon % 12];
            out += ' ';
            append_number(out, t.tm_mday, 1);
            out += ", ";
            append_number(out, year, 1);
        } else {  // 03/14/95
            append_number(out, t.tm_mon + 1, 2);
            out += '/';
            append_number(out, t.tm_mday, 2);
            out += '/';
            append_number(out, (year % 100 + 100) % 100, 2);
        }
        break;
    case 'X':
        append_number(out, t.tm_hour, 2);
        out += ':';
        append_number(out, t.tm_min, 2);
        out += ':';
        append_number(out, t.tm_sec, 2);
        break;
    case 'd': append_number(out, t.tm_mday, w); break;
    case 'H': append_number(out, t.tm_hour, w); break;
    case 'I': append_number(out, hour12, w); break;
    case 'j': append_number(out, t.tm_yday + 1, alt ? 1 : 3); break;
    case 'm': append_number(out, t.tm_mon + 1, w); break;
    case 'M': append_number(out, t.tm_min, w); break;
    case 'p': out += t.tm_hour < 12 ? "AM" : "PM"; break;
    case 'S': append_number(out, t.tm_sec, w); break;
    case 'U': append_number(out, (t.tm_yday + 7 - t.tm_wday) / 7, w); break;
    case 'w': append_number(out, t.tm_wday, 1); break;
    case 'W': append_number(out, (t.tm_yday + 7 - (t.tm_wday + 6) % 7) / 7, w); break;
    case 'y': append_number(out, (year % 100 + 100) % 100, w); break;
    case 'Y': append_number(out, year, 1); break;
    case 'z': append_zone(out, t, utc, false); break;
    case 'Z': append_zone(out, t, utc, true); break;
    case '%': out += '%'; break;
    default: break;
    }
}

// A field of the time text at fixed positions: its digits, or 0 when any of
// them is missing or not a digit.
int text_field(const char* s, size_t n, size_t at, size_t width) {
    if (at + width > n) return 0;
    int v = 0;
    for (size_t i = at; i < at + width; i++) {
        if (s[i] < '0' || s[i] > '9') return 0;
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

int64_t checked_time_arg(lua_State* L, int arg, int64_t def) {
    int64_t v = hvx_intp(L, arg, def);
    if (v < INT32_MIN || v > INT32_MAX) luaL_argerror(L, arg, "time out-of-bounds");
    return v;
}

}  // namespace

int lua54_date(lua_State* L) {
    // Copied: the result is built before anything can run script code.
    std::string format = DATE_DEFAULT_FORMAT;
    if (hvx_is_text(L, 1)) {
        size_t n = 0;
        const char* f = lua_tolstring(L, 1, &n);
        format.assign(f, n);
    }

    int64_t when;
    if (lua_type(L, 2) == LUA_TSTRING) {
        size_t n = 0;
        const char* s = lua_tolstring(L, 2, &n);
        struct tm t = {};
        t.tm_year = text_field(s, n, 0, 4) - 1900;
        t.tm_mon = text_field(s, n, 5, 2) - 1;
        t.tm_mday = text_field(s, n, 8, 2);
        t.tm_hour = text_field(s, n, 11, 2);
        t.tm_min = text_field(s, n, 14, 2);
        t.tm_sec = text_field(s, n, 17, 2);
        when = timegm64(&t);
    } else if (lua_type(L, 2) == LUA_TNUMBER) {
        when = checked_time_arg(L, 2, (int64_t)std::time(nullptr));
    } else {
        when = (int64_t)std::time(nullptr);
    }
    when += checked_time_arg(L, 3, 0);

    size_t at = 0;
    bool utc = format[0] == '!';
    if (utc) at = 1;
    time_t tt = (time_t)when;
    struct tm t;
    bool ok;
    if (utc) {
        ok = gmtime_r(&tt, &t) != nullptr;
    } else {
        tzset();
        ok = localtime_r(&tt, &t) != nullptr;
    }
    if (!ok) luaL_error(L, "date result cannot be represented in this installation");

    if (format.compare(at, std::string::npos, "*t") == 0) {
        lua_createtable(L, 0, 9);
        const struct {
            const char* key;
            long long value;
        } fields[] = {{"year", (long long)t.tm_year + 1900}, {"month", t.tm_mon + 1}, {"day", t.tm_mday},
                      {"hour", t.tm_hour}, {"min", t.tm_min}, {"sec", t.tm_sec},
                      {"yday", t.tm_yday + 1}, {"wday", t.tm_wday + 1}};
        for (const auto& f : fields) {
            lua_pushinteger(L, f.value);
            lua_setfield(L, -2, f.key);
        }
        if (t.tm_isdst >= 0) {
            lua_pushboolean(L, t.tm_isdst);
            lua_setfield(L, -2, "isdst");
        }
        return 1;
    }

    std::string out;
    while (at < format.size()) {
        char c = format[at++];
        if (c != '%') {
            out += c;
            continue;
        }
        char c1 = at < format.size() ? format[at] : 0;
        char c2 = at + 1 < format.size() ? format[at + 1] : 0;
        if (c1 && std::strchr(DATE_OPTIONS_1, c1)) {
            append_conversion(out, c1, false, t, utc);
            at += 1;
        } else if (c1 == '#' && c2 && std::strchr(DATE_OPTIONS_2, c2)) {
            append_conversion(out, c2, true, t, utc);
            at += 2;
        } else {
            // Named as the rest of the format, as far as a C string goes.
            std::string rest = format.substr(at);
            luaL_argerror(L, 1, lua_pushfstring(L, "invalid conversion specifier '%%%s'", rest.c_str()));
        }
    }
    lua_pushlstring(L, out.data(), out.size());
    return 1;
}
