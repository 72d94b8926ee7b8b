// Maths calls and random numbers: screen maths in turns with the y axis
// pointing down, rounding to integers, min/max/mid with an integer path, and
// a xoshiro256** generator per process.
#include <cmath>
#include <ctime>

#include "lang/lang.h"
#include "runtime/runtime.h"

static inline uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

uint64_t xoshiro256ss_next(uint64_t s[4]) {
    uint64_t result = rotl(s[1] * 5, 7) * 9;
    uint64_t t = s[1] << 17;
    s[2] ^= s[0];
    s[3] ^= s[1];
    s[1] ^= s[2];
    s[0] ^= s[3];
    s[2] ^= t;
    s[3] = rotl(s[3], 45);
    return result;
}

void xoshiro256ss_srand(uint64_t s[4], uint64_t seed) {
    s[0] = seed ^ 0xDEADBEEF;
    s[1] = 0xFF;
    s[2] = (seed << 32) | (seed >> 32);
    s[3] = 0;
    for (int i = 0; i < 8; i++) xoshiro256ss_next(s);
}

// A number or numeric string as its value; anything else 0.
static double number_arg(lua_State* L, int i) {
    int isnum = 0;
    double d = lua_tonumberx(L, i, &isnum);
    return isnum ? d : 0.0;
}

int lua54_sqrt(lua_State* L) {
    spend_cpu(SQRT_COST);
    lua_pushnumber(L, std::sqrt(number_arg(L, 1)));
    return 1;
}

// Exact values on quarter turns of f = fmod(x, 1), which keeps x's sign.
int lua54_sin(lua_State* L) {
    double x = number_arg(L, 1);
    double f = std::fmod(x, 1.0);
    double r = f == 0 ? 0.0 : f == 0.25 ? -1.0 : f == 0.5 ? 0.0 : f == 0.75 ? 1.0 : -std::sin(2 * TURN_PI * x);
    lua_pushnumber(L, r);
    return 1;
}

int lua54_cos(lua_State* L) {
    double x = number_arg(L, 1);
    double f = std::fmod(x, 1.0);
    double r = f == 0 ? 1.0 : f == 0.25 ? 0.0 : f == 0.5 ? -1.0 : f == 0.75 ? 0.0 : std::cos(2 * TURN_PI * x);
    lua_pushnumber(L, r);
    return 1;
}

int lua54_atan2(lua_State* L) {
    double dx = number_arg(L, 1), dy = number_arg(L, 2);
    lua_pushnumber(L, std::atan2(-dy, dx) / ATAN2_TURN);
    return 1;
}

int lua54_abs(lua_State* L) {
    if (lua_isinteger(L, 1)) {
        lua_Integer v = lua_tointeger(L, 1);
        lua_pushinteger(L, v >= 0 ? v : v == INT64_MIN ? INT64_MAX : -v);
    } else {
        lua_pushnumber(L, std::fabs(number_arg(L, 1)));
    }
    return 1;
}

int lua54_sgn(lua_State* L) {
    bool negative = lua_isinteger(L, 1) ? lua_tointeger(L, 1) < 0 : number_arg(L, 1) < 0;
    lua_pushinteger(L, negative ? -1 : 1);
    return 1;
}

// An integer stays as it is; a number is rounded by round, saturating at the
// 64-bit range, and NaN gives nan_value.
static int round_call(lua_State* L, double (*round)(double), int64_t nan_value) {
    if (lua_isinteger(L, 1)) lua_pushinteger(L, lua_tointeger(L, 1));
    else lua_pushinteger(L, hvx_double_to_i64(round(number_arg(L, 1)), nan_value));
    return 1;
}

int lua54_flr(lua_State* L) { return round_call(L, std::floor, INT64_MAX); }
// Out of range saturates as flr does; NaN gives the smallest integer.
int lua54_ceil(lua_State* L) { return round_call(L, std::ceil, INT64_MIN); }

// The integer path: the first argument an integer and none of the others a
// float (strings, nil and tables do not count as numbers here).
static bool integer_path(lua_State* L, int n) {
    if (!lua_isinteger(L, 1)) return false;
    for (int i = 2; i <= n; i++)
        if (lua_type(L, i) == LUA_TNUMBER && !lua_isinteger(L, i)) return false;
    return true;
}

template <typename T>
static T min_of(T a, T b) { return b > a ? a : b; }
template <typename T>
static T max_of(T a, T b) { return a > b ? a : b; }
template <typename T>
static T mid_of(T a, T b, T c) { return max_of(min_of(a, b), min_of(max_of(a, b), c)); }

int lua54_min(lua_State* L) {
    if (integer_path(L, 2)) lua_pushinteger(L, min_of(hvx_intp(L, 1, 0), hvx_intp(L, 2, 0)));
    else lua_pushnumber(L, min_of(number_arg(L, 1), number_arg(L, 2)));
    return 1;
}

int lua54_max(lua_State* L) {
    if (integer_path(L, 2)) lua_pushinteger(L, max_of(hvx_intp(L, 1, 0), hvx_intp(L, 2, 0)));
    else lua_pushnumber(L, max_of(number_arg(L, 1), number_arg(L, 2)));
    return 1;
}

int lua54_mid(lua_State* L) {
    if (integer_path(L, 3))
        lua_pushinteger(L, mid_of(hvx_intp(L, 1, 0), hvx_intp(L, 2, 0), hvx_intp(L, 3, 0)));
    else
        lua_pushnumber(L, mid_of(number_arg(L, 1), number_arg(L, 2), number_arg(L, 3)));
    return 1;
}

int lua54_rnd(lua_State* L) {
    spend_cpu(RND_COST);
    Process* p = cproc;
    if (!p) return 0;
    int t = lua_type(L, 1);
    if (t == LUA_TTABLE) {
        lua_Unsigned n = lua_rawlen(L, 1);
        if (n == 0) return 0;
        uint64_t r = xoshiro256ss_next(p->rng_state);
        lua_geti(L, 1, (lua_Integer)(r % n) + 1);
        return 1;
    }
    double x = t == LUA_TNUMBER ? lua_tonumber(L, 1) : t == LUA_TSTRING ? number_arg(L, 1) : 1.0;
    uint64_t r = xoshiro256ss_next(p->rng_state);
    lua_pushnumber(L, (double)(r & 0xFFFFFFFFu) * x / 4294967296.0);
    return 1;
}

static uint32_t seed_entropy = SEED_ENTROPY_START;

int lua54_srand(lua_State* L) {
    Process* p = cproc;
    if (!p) return 0;
    int isnum = 0;
    double d = lua_tonumberx(L, 1, &isnum);
    uint64_t seed;
    if (lua_isinteger(L, 1) || (isnum && !std::isnan(d))) {
        seed = (uint64_t)hvx_intp(L, 1, 0);
    } else {
        // No usable seed: stir the run's entropy and mix in who and when.
        uint32_t v = ((seed_entropy << 7) ^ 0x56DF7780u) ^ ((seed_entropy & 0xFF0000u) >> 16);
        seed_entropy = (v + 331u) * (v + 42863u);
        uint64_t identity = (uint64_t)(uintptr_t)L + (uint64_t)std::time(nullptr);
        seed = (uint64_t)(int64_t)(int32_t)seed_entropy | (((uint64_t)p->id << 5) ^ (identity * 3001u));
    }
    xoshiro256ss_srand(p->rng_state, seed);
    return 0;
}
