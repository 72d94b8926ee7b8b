// The six-argument allocator: accounted sizes per kind of object, frees,
// and the retry after an emergency collection.
#include "tests/lang/lang_test_util.h"

#include <cstdlib>
#include <vector>

using namespace langtest;

namespace {

struct call {
    void* ptr;
    size_t osize, nsize;
    int retry;
    size_t accounted;
    l_mem debt;  // GC debt when the call was made
};

struct recorder {
    std::vector<call> calls;
    bool recording = true;
    int fail_next = 0;  // fail this many of the next growing requests
    lua_State* L = nullptr;
};

void* record_alloc(void* ud, void* ptr, size_t osize, size_t nsize, int retry, size_t accounted) {
    auto* r = (recorder*)ud;
    if (r->recording) r->calls.push_back({ptr, osize, nsize, retry, accounted, r->L ? G(r->L)->GCdebt : 0});
    if (nsize == 0) {
        std::free(ptr);
        return nullptr;
    }
    if (r->fail_next > 0) {
        r->fail_next--;
        return nullptr;
    }
    return std::realloc(ptr, nsize);
}

struct recorded_state {
    recorder rec;
    lua_State* L;
    recorded_state() {
        L = lua_newstate(record_alloc, &rec);
        rec.L = L;
        lua_gc(L, LUA_GCSTOP);  // no collection frees in the middle of a measurement
    }
    ~recorded_state() {
        if (L) lua_close(L);
    }
    // Allocations (not frees) made by f.
    template <typename F>
    std::vector<call> allocations(F f) {
        rec.calls.clear();
        f(L);
        std::vector<call> out;
        for (const call& c : rec.calls)
            if (c.nsize > 0) out.push_back(c);
        return out;
    }
};

bool has_accounted(const std::vector<call>& calls, int tag, size_t accounted) {
    for (const call& c : calls)
        if (c.ptr == nullptr && c.osize == (size_t)tag && c.accounted == accounted) return true;
    return false;
}

}  // namespace

TEST(lang_alloc, state_thread_and_string_table_sizes) {
    recorder rec;
    lua_State* L = lua_newstate(record_alloc, &rec);
    ASSERT_NE(L, nullptr);
    ASSERT_FALSE(rec.calls.empty());
    EXPECT_EQ(rec.calls[0].ptr, nullptr);
    EXPECT_EQ(rec.calls[0].osize, (size_t)LUA_TTHREAD);
    EXPECT_EQ(rec.calls[0].retry, 0);
    EXPECT_EQ(rec.calls[0].accounted, 1616u);
    bool strt = false, stack = false;
    for (const call& c : rec.calls) {
        if (c.accounted == 2048 && c.nsize == 128 * sizeof(TString*)) strt = true;
        if (c.accounted == 720 && c.nsize == 45 * sizeof(StackValue)) stack = true;
    }
    EXPECT_TRUE(strt);
    EXPECT_TRUE(stack);
    rec.calls.clear();
    lua_newthread(L);
    EXPECT_TRUE(has_accounted(rec.calls, LUA_TTHREAD, 1616));
    lua_close(L);
    // every free passes retry 0 and accounted 0
    int frees = 0;
    for (const call& c : rec.calls)
        if (c.nsize == 0) {
            frees++;
            EXPECT_EQ(c.retry, 0);
            EXPECT_EQ(c.accounted, 0u);
        }
    EXPECT_GT(frees, 3);
}

TEST(lang_alloc, tables_strings_closures_and_userdata) {
    recorded_state s;
    auto empty = s.allocations([](lua_State* L) { lua_createtable(L, 0, 0); });
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_EQ(empty[0].accounted, 56u);
    EXPECT_EQ(empty[0].osize, (size_t)LUA_TTABLE);

    auto arr = s.allocations([](lua_State* L) { lua_createtable(L, 3, 0); });
    ASSERT_EQ(arr.size(), 2u);
    EXPECT_EQ(arr[0].accounted, 56u);
    EXPECT_EQ(arr[1].accounted, 48u);
    auto hash = s.allocations([](lua_State* L) { lua_createtable(L, 0, 4); });
    ASSERT_EQ(hash.size(), 2u);
    EXPECT_EQ(hash[1].accounted, 64u);  // four nodes

    auto short_str = s.allocations([](lua_State* L) { lua_pushstring(L, "abcde"); });
    ASSERT_EQ(short_str.size(), 1u);
    EXPECT_EQ(short_str[0].accounted, 37u);
    const std::string hundred(100, 'q');
    auto long_str = s.allocations([&](lua_State* L) { lua_pushlstring(L, hundred.data(), hundred.size()); });
    ASSERT_EQ(long_str.size(), 1u);
    EXPECT_EQ(long_str[0].accounted, 132u);
    EXPECT_GT(long_str[0].nsize, 100u);  // the real size is what the debt uses

    auto cclosure = s.allocations([](lua_State* L) {
        lua_pushinteger(L, 1);
        lua_pushcclosure(L, [](lua_State*) { return 0; }, 1);
    });
    ASSERT_EQ(cclosure.size(), 1u);
    EXPECT_EQ(cclosure[0].accounted, 56u);

    auto ud = s.allocations([](lua_State* L) { lua_newuserdatauv(L, 8, 0); });
    ASSERT_EQ(ud.size(), 1u);
    EXPECT_EQ(ud[0].accounted, 64u);
    auto ud2 = s.allocations([](lua_State* L) { lua_newuserdatauv(L, 8, 3); });
    ASSERT_EQ(ud2.size(), 1u);
    EXPECT_EQ(ud2[0].accounted, 64u);
    EXPECT_GT(ud2[0].nsize, ud[0].nsize);
}

TEST(lang_alloc, lua_closures_upvalues_prototypes_and_vectors) {
    recorded_state s;
    const char* code = "local a, b = 1, 2 return function() return a + b end";
    auto load = s.allocations([&](lua_State* L) { luaL_loadstring(L, code); });
    EXPECT_TRUE(has_accounted(load, LUA_VPROTO, 128));
    for (const call& c : load) {
        if (c.ptr != nullptr) {
            EXPECT_EQ(c.accounted % 16, 0u);  // grown vectors: 16 per element
        }
    }
    auto run = s.allocations([](lua_State* L) { lua_call(L, 0, 1); });
    EXPECT_TRUE(has_accounted(run, LUA_TFUNCTION, 64));  // 32 + 16 x 2 upvalues
    EXPECT_TRUE(has_accounted(run, LUA_TUPVAL, 40));

    auto ci = s.allocations([](lua_State* L) {
        luaL_loadstring(L, "local function f(n) if n > 0 then return f(n - 1) + 1 end return 0 end return f(30)");
        lua_call(L, 0, 1);
    });
    EXPECT_TRUE(has_accounted(ci, 0, 64));  // CallInfo records
    auto stack = s.allocations([](lua_State* L) { lua_checkstack(L, 5000); });
    ASSERT_FALSE(stack.empty());
    EXPECT_EQ(stack.back().accounted, stack.back().nsize);  // a stack is accounted at its real size
}

TEST(lang_alloc, failed_request_is_retried_once_after_a_collection) {
    recorded_state s;
    s.rec.calls.clear();
    s.rec.fail_next = 1;
    const l_mem before = G(s.L)->GCdebt;
    lua_createtable(s.L, 0, 0);
    ASSERT_EQ(s.rec.calls.size(), 2u) << "one failed attempt, one retry";
    const call& first = s.rec.calls[0];
    const call& second = s.rec.calls[1];
    EXPECT_EQ(first.retry, 0);
    EXPECT_EQ(second.retry, 1);
    EXPECT_EQ(second.ptr, first.ptr);
    EXPECT_EQ(second.osize, first.osize);
    EXPECT_EQ(second.nsize, first.nsize);
    EXPECT_EQ(second.accounted, 56u);
    // the failed attempt left the debt alone; the success added the real size once
    EXPECT_EQ(first.debt, before);
    EXPECT_EQ(G(s.L)->GCdebt - second.debt, (l_mem)second.nsize);
}

TEST(lang_alloc, second_failure_raises_the_memory_error) {
    recorded_state s;
    lua_pushcfunction(s.L, [](lua_State* L) {
        lua_createtable(L, 0, 0);
        return 1;
    });
    s.rec.fail_next = 2;
    EXPECT_EQ(lua_pcall(s.L, 0, 1, 0), LUA_ERRMEM);
    EXPECT_STREQ(lua_tostring(s.L, -1), "not enough memory");
    lua_pop(s.L, 1);
}

TEST(lang_alloc, no_retry_while_the_state_is_being_built) {
    recorder rec;
    rec.fail_next = 1;
    EXPECT_EQ(lua_newstate(record_alloc, &rec), nullptr);
    ASSERT_EQ(rec.calls.size(), 1u);
    EXPECT_EQ(rec.calls[0].retry, 0);
}
