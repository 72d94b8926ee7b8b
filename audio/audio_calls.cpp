// note, sfx and music: the caller becomes the audio focus for the call and
// changes the synthesizer under the audio lock. None returns a value or
// charges cycles; a refused call changes nothing.
#include <algorithm>

#include "audio/audio.h"
#include "audio/synth.h"
#include "lang/lang.h"
#include "core/core.h"

namespace {

// A number or a string (one that is no number gives 0), truncated toward
// zero and saturated to 32 bits; anything else is the default.
int32_t arg_i32(lua_State* L, int i, int32_t dflt) {
    const int t = lua_type(L, i);
    return t == LUA_TNUMBER || t == LUA_TSTRING ? hvx_trunc_arg(L, i) : dflt;
}

int32_t base_from_byte(uint32_t addr) { return std::min<int32_t>(peek(addr) << 16, (int32_t)MUDO_MAX_BASE); }

bool begin() { return cproc && audio_op_start(cproc->id, 1) == 0; }

}  // namespace

int lua54_play_note(lua_State* L) {
    const int32_t pitch = arg_i32(L, 1, 48), inst = arg_i32(L, 2, 0), vol = arg_i32(L, 3, 64);
    const int32_t effect = arg_i32(L, 4, 0), param = arg_i32(L, 5, 0);
    const int32_t channel = arg_i32(L, 6, lua_gettop(L) == 0 ? -1 : 0);
    const int32_t retrigger = lua_isnone(L, 7) ? 1 : lua_toboolean(L, 7);
    const int32_t pan = arg_i32(L, 8, MUDO_PAN_KEEP);
    if (!begin()) return 0;
    const int32_t base = base_from_byte(ADDR_AUDIO_BASE);
    // The note reads its instrument (flags, envelopes, nodes) at this base,
    // so the base is set first; then as always after the note, since a reset
    // gives the channel its defaults.
    if (channel >= 0) mudo_set_channel_base_addr((uint32_t)channel, base);
    mudo_set_note(channel, pitch, inst, vol, effect, param, retrigger, pan);
    if (channel >= 0) {
        mudo_set_channel_mix_vol((uint32_t)channel, peek(ADDR_AUDIO_MIX_VOL));
        mudo_set_channel_base_addr((uint32_t)channel, base);
    }
    audio_op_end();
    return 0;
}

int lua54_play_track(lua_State* L) {
    const int32_t track = arg_i32(L, 1, 0), channel = arg_i32(L, 2, -1), offset = arg_i32(L, 3, 0);
    const int32_t rows = arg_i32(L, 4, 0), pan = arg_i32(L, 5, MUDO_PAN_KEEP);
    if (!begin()) return 0;
    const int32_t mix = arg_i32(L, 6, peek(ADDR_AUDIO_MIX_VOL)) & 0xFF;
    const int32_t base = base_from_byte(ADDR_AUDIO_BASE);
    mudo_play_track(track, channel, offset, rows, 0, pan, mix, base, 0);  // which sets the channel's base
    audio_op_end();
    return 0;
}

int lua54_play_music(lua_State* L) {
    const int32_t pattern = arg_i32(L, 1, 0), fade = arg_i32(L, 2, 0);
    const uint32_t mask = (uint32_t)arg_i32(L, 3, 255);
    const int64_t base = hvx_intp(L, 4, (int64_t)peek(ADDR_AUDIO_MUSIC_BASE) << 16);
    const int64_t start = hvx_intp(L, 5, 0);
    if (!begin()) return 0;
    if (pattern == -1)
        mudo_fade_out_music(fade);
    else
        mudo_play_music(pattern, fade, mask, (int32_t)std::clamp<int64_t>(base, 0, MUDO_MAX_BASE),
                        (int32_t)std::clamp<int64_t>(start, INT32_MIN, INT32_MAX));
    audio_op_end();
    return 0;
}
