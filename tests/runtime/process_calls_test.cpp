// Process calls as scripts see them: slicing with its result triples and
// refusals, kill and restart, halt, flip, the process list, signals, printh.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "gfx/gfx.h"
#include "lang/lang.h"
#include "platform/platform.h"
#include "userdata/userdata.h"
#include "tests/support/process_harness.h"

using hvx_test::process_env;

namespace {

// Every script below records results with rec(...); out() joins them.
const std::string kPrelude =
    "out = {} "
    "function rec(...) local t = table.pack(...) local s = {} "
    "  for i = 1, t.n do s[i] = tostring(t[i]) end out[#out + 1] = table.concat(s, ',') end ";

std::string out(Process* p) {
    if (!p || !p->L) return "<no state>";
    lua_State* L = p->L;
    lua_getglobal(L, "out");
    std::string s;
    if (lua_istable(L, -1)) {
        lua_Integer n = luaL_len(L, -1);
        for (lua_Integer i = 1; i <= n; i++) {
            lua_rawgeti(L, -1, i);
            if (i > 1) s += "|";
            s += lua_tostring(L, -1) ? lua_tostring(L, -1) : "?";
            lua_pop(L, 1);
        }
    }
    lua_pop(L, 1);
    return s;
}

// Boots a root from the prelude and code and runs frames.
Process* run_root(process_env& env, const std::string& code, int frames = 1) {
    Process* root = env.boot_root(kPrelude + code);
    if (!root) return nullptr;
    for (int i = 0; i < frames; i++) env.frame();
    return root;
}

TEST(RunProcessSlice, ResultTriples) {
    process_env env;
    Process* root = run_root(env, R"lua(
        local busy = _create_process_from_code("while true do end", "busy", "/ram/busy.lua")
        local flipper = _create_process_from_code("while true do flip() end", "flipper", "/ram/f.lua")
        local halter = _create_process_from_code("_halt() x = 1", "halter", "/ram/h.lua")
        local quick = _create_process_from_code("y = 1", "quick", "/ram/q.lua")
        rec(select('#', _run_process_slice(busy, 0)))
        rec(select('#', _run_process_slice(busy, -1)))
        rec(select('#', _run_process_slice(busy, math.huge - math.huge)))
        rec(select('#', _run_process_slice(busy, "x")))
        rec(_run_process_slice(999, 0.5))
        rec(_run_process_slice("nope", 0.5))
        local done, cpu = _run_process_slice(busy, 0.1)
        rec("busy", done, cpu > 0.09 and cpu <= 0.1)
        rec("flipper", (_run_process_slice(flipper, 0.1)))
        rec("flipper again", _run_process_slice(flipper, 0.1))
        done, cpu = _run_process_slice(halter, 0.1)
        rec("halter", done, _process_state(halter))
        rec("halter again", _run_process_slice(halter, 0.1))
        rec("quick", _run_process_slice(quick, 0.1))
        rec("quick state", _process_state(quick))
        done, cpu = _run_process_slice(busy, 2.5)
        rec("rest", done, cpu > 0.5)
        rec("spent", _run_process_slice(busy, 0.5))
    )lua");
    EXPECT_EQ(out(root),
              "0|0|0|0|true,0.0,_run_process_slice: bad process id|true,0.0,_run_process_slice: bad process id|"
              "busy,false,true|flipper,true|flipper again,true,0.0|halter,true,1|halter again,true,0.0|"
              "quick,true,0.0,_run_process_slice: could not find lua state|quick state,-1|rest,false,true|"
              "spent,true,0.0");
}

TEST(RunProcessSlice, RefusesTheRunningChain) {
    process_env env;
    // The child tries to slice itself and its parent (the root); neither
    // may be resumed while it runs, and the root goes on.
    Process* root = run_root(env, R"lua(
        local child = _create_process_from_code([[
            local a = table.pack(_run_process_slice(pid(), 1))
            local b = table.pack(_run_process_slice(1, 1))
            send_message(1, {self = a[3], parent = b[3], done = a[1] and b[1]})
            while true do flip() end
        ]], "child", "/ram/child.lua")
        rec(_run_process_slice(pid(), 1))
        rec((_run_process_slice(child, 0.5)))
        local m = _read_message()
        rec(m.self, m.parent, m.done)
    )lua");
    EXPECT_EQ(out(root),
              "true,0.0,_run_process_slice: invalid process|true|"
              "_run_process_slice: invalid process,_run_process_slice: invalid process,true");
    EXPECT_EQ(get_process(2)->state, PROC_RUNNING);
}

TEST(RunProcessSlice, HeldBackProcessesAreDone) {
    process_env env;
    Process* root = run_root(env, R"lua(
        a = _create_process_from_code("while true do end", "a", "/ram/a.lua")   -- 2
        _create_process_from_code("", "b", "/ram/b.lua")                          -- 3
        _create_process_from_code("", "c", "/ram/c.lua")                          -- 4
        h = _create_process_from_code("while true do end", "h", "/ram/h.lua")   -- 5
        _signal(40)
        rec("atomic", _run_process_slice(h, 0.2))
        _signal(41)
        local done, cpu = _run_process_slice(h, 0.2)
        rec("open", done, cpu > 0)
        rec("more", _run_process_slice(a, 1))
        rec("spent", _run_process_slice(a, 1))
    )lua");
    // What is left after h's slice and the jump that crossed its end.
    EXPECT_EQ(out(root), "atomic,true,0.0|open,false,true|more,false,0.79999284743581|spent,true,0.0");
}

TEST(RunProcessSlice, BootWaitIsDone) {
    process_env env;
    Process* root = env.boot_root(kPrelude + R"lua(
        for i = 2, 4 do _create_process_from_code("while true do end", "p", "/ram/p.lua") end
        rec(_run_process_slice(4, 0.5))
    )lua");
    config.headless = 0;
    platform_app.frame_count = 0;
    boot_get_time();
    env.frame();
    EXPECT_EQ(out(root), "true,0.0");
}

TEST(ProcessCalls, KillRestartAndState) {
    process_env env;
    Process* root = run_root(env, R"lua(
        local c = _create_process_from_code("n = (n or 0) + 1 while true do flip() end", "c", "/ram/c.lua")
        local h = _create_process_from_code("_halt()", "h", "/ram/h.lua")
        _run_process_slice(c, 0.1)
        _run_process_slice(h, 0.1)
        rec(_process_state(c), _process_state(h), _process_state(99), _process_state("x"))
        _kill_process(c, 2)
        _kill_process(c, -1)
        _kill_process(c, 7)
        rec(_process_state(c))
        _kill_process(c, 1)
        rec(_process_state(c))
        _kill_process(h)
        rec(_process_state(h))
        local m = _read_message()
        rec(m.event, m.proc_id, m._from)
        rec(_read_message())
    )lua");
    EXPECT_EQ(out(root), "0,1,-1,-1|0|0|-1|child_completed,3,2|");
    Process* c = get_process(2);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->slices, 0);  // restarted: a fresh record with the same id
    EXPECT_EQ(c->parent, 1);
}

TEST(ProcessCalls, KillingItselfIsSafe) {
    process_env env;
    Process* root = run_root(env, R"lua(
        local c = _create_process_from_code("_kill_process(pid()) x = 1 while true do end", "c", "/ram/c.lua")
        rec(_run_process_slice(c, 0.5))
        rec(_process_state(c))
        local r = _create_process_from_code("_kill_process(pid(), 1) while true do end", "r", "/ram/r.lua")
        local done = _run_process_slice(r, 0.1)
        rec(done, _process_state(r))
    )lua");
    EXPECT_EQ(out(root),
              "true,0.0,_run_process_slice: could not find lua state|-1|true,0");
    // The restarted process has not run since its restart.
    ASSERT_NE(get_process(3), nullptr);
    EXPECT_EQ(get_process(3)->slices, 0);
}

TEST(ProcessCalls, KernelHaltingEndsIt) {
    process_env env;
    Process* root = run_root(env, "_halt() rec('after')");
    EXPECT_TRUE(root_process_ended());
    EXPECT_EQ(out(root), "");
}

TEST(ProcessCalls, CreateArguments) {
    process_env env;
    Process* root = run_root(env, R"lua(
        rec(_create_process_from_code("x = 1", "a"))
        rec(_create_process_from_code(nil, "a", "/ram/a.lua"))
        rec(_create_process_from_code("x = = 1", "bad", "/ram/bad.lua"))
        rec(_create_process_from_code("x = 1", "s", "/system/s.lua", "sb", "cart"))
        rec(_create_process_from_code("x = 1", 34, 56))
    )lua");
    EXPECT_EQ(out(root), "|||3|4");
    Process* s = get_process(3);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->flags, 3);
    EXPECT_STREQ(s->cart_id, "cart");
    EXPECT_EQ(s->parent, 1);
    EXPECT_STREQ(get_process(4)->name, "34");
}

TEST(ProcessCalls, FlipMarksTheFrameUnlessAsked) {
    process_env env;
    Process* a = env.spawn("poke_done = 1 _flip(1) x = 1 flip() y = 1");
    Process* root = run_root(env, R"lua(
        rec(_run_process_slice(2, 0.1))
    )lua");
    (void)root;
    EXPECT_EQ(a->flipped, 0);  // flip(1) only yields
    poke_proc(a, ADDR_FLAG_BYTE, 0xFF);
    prepare_processes_for_frame();
    run_process_slice(a, 0.1);
    EXPECT_EQ(a->flipped, 1);
    EXPECT_EQ(peek_proc(a, ADDR_FLAG_BYTE), 0xFF & ~FLAG_NO_NEW_FRAME);
}

TEST(ProcessCalls, ProcessListAndPriorities) {
    process_env env;
    Process* root = run_root(env, R"lua(
        _create_process_from_code("", "two", "/ram/two.lua")
        _create_process_from_code("", "three", "/ram/three.lua")
        for i = 4, 7 do _create_process_from_code("", "p" .. i, "/ram/p.lua") end
    )lua");
    ASSERT_NE(root, nullptr);
    get_process(5)->boosted = 1;
    poke_proc(get_process(6), ADDR_FLAG_BYTE, 0x20);
    poke_proc(get_process(7), ADDR_FLAG_BYTE, 0x21);
    get_process(4)->flip_cycles = CPU_FRAME_BUDGET / 4;
    Process* q = env.spawn(kPrelude + R"lua(
        for _, e in ipairs(_get_process_list()) do
            local keys = 0 for k in pairs(e) do keys = keys + 1 end
            rec(e.id, e.name, e.prog, e.cpu, e.priority, e.pwd, math.type(e.memory), keys)
        end
        coroutine.yield()
        for _, e in ipairs(_get_process_list()) do rec(e.id, e.priority) end
        coroutine.yield()
    )lua", "lister", "/ram/lister.lua");
    app.atomic_pid = q->id;
    prepare_processes_for_frame();
    run_process_slice(q, 1);
    EXPECT_EQ(out(q),
              "1,[root],[root],0.0,0.0,/,integer,7|2,two,/ram/two.lua,0.0,0.0,/,integer,7|"
              "3,three,/ram/three.lua,0.0,0.0,/,integer,7|4,p4,/ram/p.lua,0.25,1.0,/,integer,7|"
              "5,p5,/ram/p.lua,0.0,2.0,/,integer,7|6,p6,/ram/p.lua,0.0,0.1,/,integer,7|"
              "7,p7,/ram/p.lua,0.0,1.0,/,integer,7|8,lister,/ram/lister.lua,0.0,10.0,/,integer,7");
    app.atomic_pid = 0;
    config.display_pid = 4;
    run_process_slice(q, 1);
    EXPECT_NE(out(q).find("|1,0.0|2,0.0|3,0.0|4,10.0|5,10.0|6,10.0|7,10.0|8,10.0"), std::string::npos)
        << out(q);
}

TEST(ProcessCalls, DisplaySizeAndSandboxedFamily) {
    process_env env;
    Process* root = run_root(env, R"lua(
        local a = _create_process_from_code("", "a", "/ram/a.lua", "sb")   -- 2, child of 1
        local b = _create_process_from_code("", "b", "/ram/b.lua")         -- 3
        rec(_immediate_sandboxed_family(a, a), _immediate_sandboxed_family(b, b),
            _immediate_sandboxed_family(a, 99), _immediate_sandboxed_family(a, b))
        rec(_get_process_display_size(b))
        rec(_get_process_display_size(42))
    )lua");
    (void)root;
    EXPECT_EQ(out(get_process(1)), "true,false,false,false|0,0|0,0");
    Process* a = get_process(2);
    poke2_proc(a, ADDR_DISPLAY_W, 480);
    poke2_proc(a, ADDR_DISPLAY_H, -2);
    // A sandboxed child of a sandboxed process is family, both ways.
    Process* prev = cproc;
    cproc = a;
    Process* kid = env.spawn(kPrelude + R"lua(
        rec(_immediate_sandboxed_family(2, pid()), _immediate_sandboxed_family(pid(), 2),
            _immediate_sandboxed_family(1, pid()))
        rec(_get_process_display_size(2))
        while true do flip() end
    )lua", "kid", "/ram/kid.lua", "sb2");
    cproc = prev;
    prepare_processes_for_frame();
    run_process_slice(kid, 1);
    EXPECT_EQ(out(kid), "true,true,false|480,-2");
}

TEST(ProcessCalls, BlitProcessVideo) {
    process_env env;
    Process* src = env.spawn("while true do flip() end", "src", "/ram/src.lua");  // 1
    poke2_proc(src, ADDR_DISPLAY_W, 480);
    poke2_proc(src, ADDR_DISPLAY_H, 270);
    for (int x = 0; x < 8; x++) poke_proc(src, ADDR_DISPLAY + 480 * 2 + x, (uint8_t)(0x10 + x));
    Process* me = env.spawn(kPrelude + R"lua(
        while true do
            local c0 = cycles()
            rec(select('#', _blit_process_video(1)), cycles() - c0)
            c0 = cycles()
            rec(select('#', _blit_process_video(1, 0, 2, 8, 1, 1, 1)), cycles() - c0)
            rec(_blit_process_video(99))
            coroutine.yield()
        end
    )lua", "me", "/ram/me.lua");
    alignas(16) static uint8_t target[UD_HEADER_SIZE + 16 * 4];
    std::memset(target, 0, sizeof target);
    ud_write_header(target, UTYPE_U8, 2, 16, 4);
    me->draw_target = target;
    me->clip_box[0] = 0, me->clip_box[1] = 16, me->clip_box[2] = 0, me->clip_box[3] = 4;
    // The clip words decide: the box is refreshed from them.
    poke2_proc(me, ADDR_CLIP_WORDS + 4, 6);
    poke2_proc(me, ADDR_CLIP_WORDS + 6, 4);
    prepare_processes_for_frame();
    run_process_slice(me, 0.5);
    // Row 2 of the source lands at (1, 1), clipped at x = 6; the whole-display
    // blit without a mask costs nothing beyond the call.
    const uint8_t* d = ud_data(target);
    EXPECT_EQ(d[16 + 0], 0);
    for (int x = 1; x < 6; x++) EXPECT_EQ(d[16 + x], 0x10 + x - 1) << x;
    EXPECT_EQ(d[16 + 6], 0);
    std::string first = out(me);
    ASSERT_EQ(first.substr(0, 2), "0,");
    // A masked blit copies only the pixels that have a bit of the mask.
    poke_proc(src, ADDR_VIDEO_MASK, 0x10);
    std::memset(ud_data(target), 0, 64);
    poke_proc(src, ADDR_DISPLAY + 480 * 2 + 3, 0x03);
    run_process_slice(me, 0.5);
    EXPECT_EQ(d[16 + 1], 0x10);
    EXPECT_EQ(d[16 + 4], 0);  // 0x03 has no bit of the mask
    // No new frame, or an unknown process: true and nothing drawn.
    poke_proc(src, ADDR_FLAG_BYTE, FLAG_NO_NEW_FRAME);
    std::memset(ud_data(target), 0, 64);
    run_process_slice(me, 0.5);
    EXPECT_EQ(d[16 + 1], 0);
    std::string all = out(me);
    // The third round: both blits returned one result (true).
    size_t third = all.find("|true|", all.find("|true|") + 1);
    ASSERT_NE(third, std::string::npos) << all;
    EXPECT_EQ(all.substr(third + 6, 2), "1,") << all;
    EXPECT_NE(all.find("|1,", third + 6), std::string::npos) << all;
    me->draw_target = nullptr;
}

TEST(ProcessCalls, EscapeSliceFlag) {
    process_env env;
    Process* root = run_root(env, R"lua(
        rec(_yielded_to_escape_slice())
        rec(select('#', _yielded_to_escape_slice(5)))
        rec(_yielded_to_escape_slice())
        _yielded_to_escape_slice(0)
        rec(_yielded_to_escape_slice())
        _yielded_to_escape_slice(1)
        _yielded_to_escape_slice(1, 2)     -- two arguments only read the flag
        rec(_yielded_to_escape_slice())
        _yielded_to_escape_slice("0")      -- not a number: read only
        rec(_yielded_to_escape_slice())
    )lua");
    EXPECT_EQ(out(root), "false|0|true|false|true|true");
    EXPECT_EQ(*lua_hvx_escapeflag(root->L), ESCAPE_FLAG_SET);
}

TEST(SystemCalls, Signals) {
    process_env env;
    Process* root = run_root(env, R"lua(
        _signal(37) _signal(34.9) _signal("33") _signal(99) _signal()
        local h = _create_process_from_code("_signal(40) while true do flip() end", "h", "/ram/h.lua")
        _run_process_slice(h, 0.1)
        rec(h)
    )lua");
    EXPECT_EQ(platform_app.boot_screen_off, 1);
    EXPECT_EQ(platform_app.reboot_request, 1);
    EXPECT_EQ(platform_app.exit_request, 1);
    EXPECT_EQ(app.atomic_pid, 2);
    EXPECT_EQ(out(root), "2");
    kill_process(get_process(2));  // the holder's removal ends the operation
    EXPECT_EQ(app.atomic_pid, 0);
    app.atomic_pid = 7;
    Process* q = env.spawn("_signal(41)");
    prepare_processes_for_frame();
    run_process_slice(q, 0.1);
    EXPECT_EQ(app.atomic_pid, 0);
}

TEST(SystemCalls, PrinthWritesOneLine) {
    process_env env;
    testing::internal::CaptureStdout();
    run_root(env, "printh('x') _printh('a\\0b') printh(12) printh() printh({}) printh(nil)");
    std::string got = testing::internal::GetCapturedStdout();
    EXPECT_EQ(got, std::string("x\na\0b\n12\n", 9));
}

}  // namespace
