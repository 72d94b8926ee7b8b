// Helpers for driving the dialect's Lua core directly from tests: states,
// chunks, the cycle globals, and access to compiled prototypes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "lang/lang.h"

// Internal core headers: tests read and edit prototypes.
#include "lobject.h"
#include "lopcodes.h"
#include "lstate.h"

#include "hvx_hooks.h"

namespace langtest {

// Sets the slice globals for a test and restores them afterwards.
struct cycle_scope {
    int32_t saved_cycles = cpu_cycles, saved_max = cpu_cycles_max, saved_super = cpu_superyielding;
    cycle_scope(int32_t cycles, int32_t max, int32_t super = 0) {
        cpu_cycles = cycles;
        cpu_cycles_max = max;
        cpu_superyielding = super;
    }
    ~cycle_scope() {
        cpu_cycles = saved_cycles;
        cpu_cycles_max = saved_max;
        cpu_superyielding = saved_super;
    }
};

inline constexpr int32_t UNLIMITED = INT32_MAX;

// Every test starts from a fresh slice without a budget: the cycle globals
// are shared by all tests of the executable, and code that may not yield
// stops past the budget's ceiling.
struct fresh_slice_per_test : testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override {
        cpu_cycles = 0;
        cpu_cycles_max = UNLIMITED;
        cpu_superyielding = 0;
    }
};
inline const bool fresh_slice_registered = [] {
    testing::UnitTest::GetInstance()->listeners().Append(new fresh_slice_per_test);
    return true;
}();

struct state {
    lua_State* L;
    state() : L(luaL_newstate()) { luaL_openlibs(L); }
    ~state() { lua_close(L); }
    state(const state&) = delete;
    state& operator=(const state&) = delete;

    // Compiles code; the function is left on the stack.
    void load(const std::string& code, const char* name = "=t") {
        int st = luaL_loadbufferx(L, code.data(), code.size(), name, "t");
        ASSERT_EQ(st, LUA_OK) << lua_tostring(L, -1);
    }
    // Runs code with lua_pcall; returns the error text or "" on success, and
    // leaves nresults values on the stack on success.
    std::string run(const std::string& code, int nresults = 0) {
        int st = luaL_loadbufferx(L, code.data(), code.size(), "=t", "t");
        if (st == LUA_OK) st = lua_pcall(L, 0, nresults, 0);
        if (st == LUA_OK) return "";
        std::string err = lua_tostring(L, -1) ? lua_tostring(L, -1) : "(no message)";
        lua_pop(L, 1);
        return err.empty() ? "(empty error)" : err;
    }
};

// The prototype of the function at the given stack index.
inline Proto* proto_at(lua_State* L, int idx) {
    StkId o = idx > 0 ? L->ci->func + idx : L->top + idx;
    return clLvalue(s2v(o))->p;
}

inline int count_opcode(const Proto* p, OpCode op) {
    int n = 0;
    for (int i = 0; i < p->sizecode; i++)
        if (GET_OPCODE(p->code[i]) == op) n++;
    return n;
}

// A flat 16 MB address space standing in for the running process's memory
// while it lives; last_addr is the last byte address read.
struct flat_memory {
    static inline std::vector<uint8_t>* current = nullptr;
    static inline uint32_t last_addr = 0;
    std::vector<uint8_t> bytes = std::vector<uint8_t>(1 << 24);

    static uint8_t peek(uint32_t a) {
        last_addr = a;
        return (*current)[a & 0xFFFFFF];
    }
    static uint16_t peek2(uint32_t a) { return (uint16_t)(peek(a) | peek(a + 1) << 8); }
    static uint32_t peek4(uint32_t a) { return (uint32_t)peek2(a) | (uint32_t)peek2(a + 2) << 16; }
    static uint64_t peek8(uint32_t a) { return (uint64_t)peek4(a) | (uint64_t)peek4(a + 4) << 32; }
    flat_memory() {
        current = &bytes;
        static const hvx_vm_memory m = {peek, peek2, peek4, peek8};
        hvx_set_vm_memory(&m);
    }
    ~flat_memory() {
        hvx_set_vm_memory(nullptr);
        current = nullptr;
    }
};

}  // namespace langtest
