// note, sfx and music from a real process under the real nested lock, and a
// scripted kernel whose note reaches the disk audio driver at its pitch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "platform/platform.h"
#include "runtime/runtime.h"
#include "tests/support/process_harness.h"
#include "tests/support/rom_maker.h"
#include "tests/support/synth_harness.h"

namespace {

using hvx_test::run_in;

// No device runs here: the mixer's fields are read directly where the
// queries answer -1 for a channel with nothing on it.
const mudo_channel& ch(int c) { return mixer.channel[c]; }

int field(int c, int sel) {
    os_lock_audio();
    const int v = mudo_get_channel_state(c, sel, nullptr);
    os_unlock_audio();
    return v;
}

// The audio bytes as our system sets them, and base 3 for notes and music.
constexpr const char* AUDIO_SETUP = "poke(0x5538, 64) poke(0x5539, 64) poke(0x553a, 44) poke(0x553c, 3) poke(0x553d, 3)";

TEST(audio_calls, from_a_process) {
    hvx_test::process_env env;
    Process* p = env.spawn(AUDIO_SETUP);
    ASSERT_NE(p, nullptr);
    run_process_slice(p, 1.0);
    const uint32_t base = 3 << 16;
    const struct {
        const char* code;
        std::function<void()> check;
    } cases[] = {
        {"note(60)",
         [&] {
             EXPECT_EQ(std::vector<int>({field(0, 0), field(0, 4), field(0, 1), field(0, 2), field(0, 14), field(0, 15)}),
                       std::vector<int>({1, 60, 0, 64, 44, (int)base}));
         }},
        {"note(60) note(255)", [] { EXPECT_EQ(std::vector<int>({field(0, 0), field(0, 4)}), std::vector<int>({0, 60})); }},
        {"note(60, 2, 30, 0, 0, 5) note()", [] { EXPECT_EQ(mudo_anything_is_playing(), 0); }},
        {"note(60, 3) note(48, 300)", [&] {
             EXPECT_EQ(std::vector<int>({ch(0).instrument, ch(0).note, ch(0).mix_vol, (int)ch(0).base}),
                       std::vector<int>({255, 48, 44, (int)base}));
         }},
        {"note(-math.huge, math.huge - math.huge, '7', 'x')",
         [] { EXPECT_EQ(std::vector<int>({field(0, 4), field(0, 1), field(0, 2), field(0, 6)}),
                        std::vector<int>({INT32_MIN, 0, 7, 0})); }},
        {"sfx(-4, 3, 300)", [] { EXPECT_EQ(ch(3).mix_vol, 255); }},
        {"sfx(2, 2, 0, 0, nil, 300)", [] { EXPECT_EQ(field(2, 14), 44); EXPECT_EQ(field(2, 12), 2); }},
        {"sfx(2, 2) sfx(2, 5) sfx(-1, 2)", [] { EXPECT_EQ(mudo_get_active_channels(), 1); EXPECT_EQ(field(5, 12), 2); }},
        {"music(3, 500)", [] { EXPECT_EQ(mixer.fade_ticks, 60); EXPECT_EQ(mudo_get_music_state(0), 3); }},
        {"music(0) music(-1, 1000)", [] { EXPECT_EQ(mixer.fade_ticks, 120); EXPECT_EQ(mixer.music_volume, 256); }},
        {"music(1, 0, 15, 0x7fffffff)", [] { EXPECT_EQ(mixer.music_base, 0xF00000u); EXPECT_EQ(mixer.music_mask, 15u); }},
    };
    for (const auto& c : cases) {
        os_lock_audio();
        mudo_kill_all_audio();
        mixer.fade_ticks = 0;
        os_unlock_audio();
        EXPECT_EQ(run_in(p, c.code), "") << c.code;
        EXPECT_EQ(os_audio_lock_level(), 0) << c.code;
        SCOPED_TRACE(c.code);
        c.check();
    }
    EXPECT_EQ(audio_app.audio_focus_pid, p->id);
    // The system-information call reads the same state.
    EXPECT_EQ(run_in(p, "note(61, 0, 64, 0, 0, 5) sfx(2, 7) return stat(405, 4) .. ' ' .. stat(464) .. ' ' .. stat(498)"),
              "61.0 1 160");
}

TEST(audio_calls, a_refused_call_changes_nothing) {
    hvx_test::process_env env;
    for (int i = 0; i < 3; i++) env.spawn("");
    Process* holder = env.spawn(AUDIO_SETUP);
    Process* other = env.spawn(AUDIO_SETUP);
    ASSERT_NE(other, nullptr);
    holder->audio_priority = 5;
    EXPECT_EQ(run_in(holder, std::string(AUDIO_SETUP) + " note(60, 0, 64, 0, 0, 4)"), "");
    EXPECT_EQ(run_in(other, "note(70, 1, 20, 0, 0, 4) sfx(-4, 4, 9) music(2) note()"), "");
    EXPECT_EQ(os_audio_lock_level(), 0);
    EXPECT_EQ(audio_app.audio_focus_pid, holder->id);
    EXPECT_EQ(std::vector<int>({field(4, 4), field(4, 1), field(4, 14)}), std::vector<int>({60, 0, 44}));
    EXPECT_EQ(mudo_get_music_state(0), -1);
}

// The left channel SDL's disk driver wrote while a kernel (after the audio
// setup) played and then ended the run.
std::vector<int16_t> heard(const std::string& kernel) {
    hvx_test::install inst;
    inst.set_sysrom(hvx_test::make_sysrom(
        {{"boot.lua", std::string(AUDIO_SETUP) + kernel + " _signal(33) while true do flip() end"}}));
    const std::string raw = inst.home() + "/out.raw";
    const auto run = inst.run({"-x"}, hvx_test::kRunLastGuardMs, {"SDL_AUDIODRIVER=disk", "SDL_DISKAUDIOFILE=" + raw, "SDL_DISKAUDIODELAY=1"});
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    const std::string bytes = hvx_test::read_file(raw);
    std::vector<int16_t> left(bytes.size() / 4);
    for (size_t i = 0; i < left.size(); i++) std::memcpy(&left[i], bytes.data() + 4 * i, 2);
    return left;
}

int peak(const std::vector<int16_t>& s, size_t from, size_t to = SIZE_MAX) {
    int m = 0;
    for (size_t i = from; i < std::min(to, s.size()); i++) m = std::max(m, std::abs((int)s[i]));
    return m;
}

// The largest difference between neighbouring samples from..to.
int max_step(const std::vector<int16_t>& s, size_t from, size_t to = SIZE_MAX) {
    int m = 0;
    for (size_t i = from; i + 1 < std::min(to, s.size()); i++) m = std::max(m, std::abs(s[i + 1] - s[i]));
    return m;
}

size_t first_above(const std::vector<int16_t>& s, int level) {
    size_t i = 0;
    while (i < s.size() && std::abs((int)s[i]) <= level) i++;
    return i;
}

// The whole road: a kernel's note, the mixer on the audio thread, SDL's disk
// driver. The written stream holds A4, and the kernel hears that it plays.
TEST(audio_calls, a_kernels_note_reaches_the_disk_driver_at_its_pitch) {
    // Held for four seconds: a loaded host's audio thread may lag the frames,
    // and a note ending inside the measured half second would smear its tone.
    // A late callback on a loaded host can put a seam in one half second,
    // smearing its tone: the cleanest of the held half seconds is judged, as
    // a wrong pitch would show in every one.
    const std::vector<int16_t> all = heard("note(57, 0, 64) for i = 1, 240 do flip() end");
    const size_t from = first_above(all, 0);  // from the first sound on
    ASSERT_GT(all.size(), from + 22050u);
    double a4 = 0, its_neighbour = 0;
    for (size_t at = from; at + 22050 <= all.size() && at < from + 4 * 22050; at += 22050) {
        const std::vector<int16_t> half(all.begin() + (ptrdiff_t)at, all.begin() + (ptrdiff_t)(at + 22050));
        const double level = hvx_synth::tone_level(half, 440);
        const double neighbour =
            std::max(hvx_synth::tone_level(half, 466.16), hvx_synth::tone_level(half, 415.3));
        if (a4 == 0 || neighbour / level < its_neighbour / a4) a4 = level, its_neighbour = neighbour;
    }
    EXPECT_GT(a4, 5000);
    EXPECT_LT(its_neighbour, a4 / 50);
}

// Music stopped after its fade, or while muted, and muted notes reset: never
// a click (1% of full scale). The first note after a base change starts its
// data envelope (of instrument 1, at the new base) at its loud step 1.
TEST(audio_calls, kernels_heard_through_the_disk_driver) {
    constexpr int CLICK = 327;
    // Pattern 3 loops track 0: channel 0 holds pitch 48.
    const std::string music = "poke(0x3013c, 0, 0, 0, 0, 0, 0, 0, 0, 3, 1) poke(0x50000, 1, 0, 16, 0, 1, 0, 0, 0, 48, 0, 64) ";
    std::vector<int16_t> s = heard(music + "music(3, 500) for i = 1, 60 do flip() end music(-1, 1000) "
                                           "for i = 1, 150 do flip() end music(-1) for i = 1, 60 do flip() end");
    size_t at = first_above(s, CLICK), quiet = 0;  // the fade ends in the first second of silence
    EXPECT_GT(peak(s, at, at + 44100), 5000);
    for (; at < s.size() && quiet < 44100; at++) quiet = s[at] ? 0 : quiet + 1;
    EXPECT_EQ(quiet, 44100u);
    EXPECT_LE(peak(s, at - quiet), CLICK);

    s = heard(music + "poke(0x5539, 0) music(3) for i = 1, 30 do flip() end music(-1) "
                      "poke(0x553a, 0) note(48, 0, 64, 0, 0, 1) note(50, 0, 64, 0, 0, 2) for i = 1, 30 do flip() end "
                      "poke(0x553a, 64) sfx(-2, 1) note(48, 300, 64, 0, 0, 2) for i = 1, 30 do flip() end");
    EXPECT_GT(s.size(), 44100u);
    EXPECT_LE(peak(s, 0), CLICK);

    s = heard("for i = 0, 511 do poke(0x40200 + i, peek(0x40000 + i)) end poke(0x40204, 6) "
              "poke(0x40300, 2, 0, 15, 1, 2, 1, 0, 0, 40, 255) note(48, 1, 64) for i = 1, 90 do flip() end");
    at = first_above(s, 0);
    const int loud = peak(s, at + 8000, at + 20000);
    EXPECT_GT(loud, 5000);
    EXPECT_GT(peak(s, at, at + 4000), loud * 3 / 4);

    // A held tone whose volume drops sharply, to 1 and to 0, and comes back,
    // five times (a drop near a zero crossing would hide a step): the seam
    // fades the old sound out from the volume it was heard at. No step
    // exceeds the tone's own slope plus what a 64-sample fade of its peak
    // adds (a linear fade may add that much to the slope).
    for (const std::string to : {"1", "0"}) {
        SCOPED_TRACE(to);
        const std::string drop = "poke(0x5538, " + to + ") for i = 1, 10 do flip() end ";
        s = heard("note(57, 0, 64) for i = 1, 60 do flip() end for k = 1, 4 do " + drop +
                  "poke(0x5538, 64) for i = 1, 10 do flip() end end " + drop + drop);
        at = first_above(s, CLICK) + 64;  // past the note's own fade-in
        const size_t held = at + 4410;
        ASSERT_LT(held, s.size());
        const int top = peak(s, at, held);
        EXPECT_GT(top, 5000);
        EXPECT_LE(max_step(s, held), max_step(s, at, held) + top / 64);
        EXPECT_LE(peak(s, s.size() - 4410), top / 32);  // the drop was heard
    }
}

}  // namespace
