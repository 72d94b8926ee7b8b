// The maths globals (turns, rounding, integer and float paths) and the
// per-process xoshiro256** generator against a reference written here.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/support/harness.h"
#include "tests/support/process_harness.h"

using hvx_test::call;
using hvx_test::eval;
using hvx_test::process_env;
using strings = std::vector<std::string>;

namespace {

TEST(Maths, CallsTable) {
    process_env env;
    Process* p = env.spawn("");
    const std::string nan = "(math.huge - math.huge)";
    struct {
        int (*fn)(lua_State*);
        std::string args;
        const char* want;
    } rows[] = {
        {lua54_sin, "0.25", "-1.0"},  {lua54_sin, "1.25", "-1.0"},  {lua54_sin, "0.75", "1.0"},
        {lua54_sin, "0.5", "0.0"},    {lua54_sin, "-0.25", "0.99999999988254"},  // off the table
        {lua54_sin, "'x'", "0.0"},    {lua54_cos, "0.5", "-1.0"},   {lua54_cos, "0", "1.0"},
        {lua54_cos, "0.25", "0.0"},   {lua54_cos, "0.1", "0.80902059790535"},
        {lua54_atan2, "0, -1", "0.25000243935897"},
        {lua54_atan2, "0, 1", "-0.25000243935897"},
        {lua54_atan2, "1, 0", "-0.0"},  // the negated y is a negative zero
        {lua54_atan2, "-1, 0", "-0.50000487871794"},
        {lua54_sqrt, "16", "4.0"},    {lua54_sqrt, "'2.25'", "1.5"},
        {lua54_abs, "math.mininteger", "9223372036854775807"},
        {lua54_abs, "-2.5", "2.5"},   {lua54_abs, "'-3'", "3.0"},   {lua54_abs, "-7", "7"},
        {lua54_sgn, "0", "1"},        {lua54_sgn, "-0.5", "-1"},    {lua54_sgn, "'-2'", "-1"},
        {lua54_sgn, "'x'", "1"},      {lua54_sgn, nan, "1"},
        {lua54_flr, "-1.5", "-2"},    {lua54_flr, "'2.7'", "2"},    {lua54_flr, "7", "7"},
        {lua54_flr, "nil", "0"},      {lua54_flr, "1e300", "9223372036854775807"},
        {lua54_flr, "-1e300", "-9223372036854775808"},             {lua54_flr, nan, "9223372036854775807"},
        {lua54_ceil, "-1.5", "-1"},   {lua54_ceil, "1.2", "2"},     {lua54_ceil, "math.maxinteger", "9223372036854775807"},
        {lua54_ceil, "1e300", "9223372036854775807"},              // saturates as flr does
        {lua54_ceil, "-1e300", "-9223372036854775808"},            {lua54_ceil, nan, "-9223372036854775808"},
        {lua54_mid, "3, 1, 2", "2"},  {lua54_mid, "3, 1.5, 2", "2.0"}, {lua54_mid, "1", "0"},
        {lua54_mid, "5, '9', 7", "7"},  // a string keeps the integer path
        {lua54_min, "5", "0"},        {lua54_max, "-3", "0"},       {lua54_min, "2, '1.5'", "1"},
        {lua54_min, "1.0, 2", "1.0"}, {lua54_max, "1, 2.5", "2.5"}, {lua54_max, "math.mininteger, {}", "0"},
        {lua54_min, nan + ", 1", "1.0"},  // b > a fails on NaN: b
        {lua54_max, nan + ", 1", "1.0"},
    };
    for (const auto& r : rows) {
        auto got = call(p, r.fn, r.args);
        ASSERT_EQ(got.values.size(), 1u) << r.args << got.error;
        EXPECT_EQ(got.values[0], r.want) << r.args;
    }
    EXPECT_EQ(call(p, lua54_sqrt, "4").charged, SQRT_COST);
    EXPECT_EQ(call(p, lua54_rnd, "").charged, RND_COST);
}

using reference_rng = hvx_test::reference_xoshiro;

double draw(reference_rng& r, double x) { return (double)(r.next() & 0xFFFFFFFFu) * x / 4294967296.0; }

double number(const std::string& s) { return std::stod(s); }

TEST(Random, SequenceMatchesTheReferenceForKnownSeeds) {
    process_env env;
    Process* p = env.spawn("");
    for (int64_t seed : {0LL, 1LL, -1LL, 0x123456789ABCDEFLL}) {
        call(p, lua54_srand, std::to_string(seed));
        reference_rng ref((uint64_t)seed);
        EXPECT_EQ(std::memcmp(p->rng_state, ref.s, sizeof ref.s), 0) << seed;
        for (int i = 0; i < 50; i++) {
            double want = draw(ref, i % 2 ? 100.0 : 1.0);
            EXPECT_NEAR(number(call(p, lua54_rnd, i % 2 ? "100" : "").values.at(0)), want, 1e-10) << seed << " " << i;
        }
        // A table draws an index: x[(r mod n) + 1].
        uint64_t r = ref.next();
        EXPECT_EQ(call(p, lua54_rnd, "{10, 20, 30, 40, 50, 60, 70}").values, strings{std::to_string((r % 7 + 1) * 10)});
    }
    call(p, lua54_srand, "2.9");  // floored
    EXPECT_EQ(std::memcmp(p->rng_state, reference_rng(2).s, sizeof p->rng_state), 0);
}

TEST(Random, EachProcessHasItsOwnGenerator) {
    process_env env;
    Process* a = env.spawn("");
    Process* b = env.spawn("");
    // Never seeded: every draw is 0 and a table gives its first element.
    EXPECT_EQ(call(b, lua54_rnd, "").values, strings{"0.0"});
    EXPECT_EQ(call(b, lua54_rnd, "{'first', 'second'}").values, strings{"first"});
    EXPECT_TRUE(call(b, lua54_rnd, "{}").values.empty());
    EXPECT_EQ(call(b, lua54_rnd, "0").values, strings{"0.0"});
    call(a, lua54_srand, "42");
    call(b, lua54_srand, "42");
    for (int i = 0; i < 5; i++) EXPECT_EQ(call(a, lua54_rnd, "").values, call(b, lua54_rnd, "").values);
    call(a, lua54_rnd, "");  // a's draw leaves b alone
    reference_rng ref(42);
    for (int i = 0; i < 5; i++) ref.next();
    EXPECT_NEAR(number(call(b, lua54_rnd, "").values.at(0)), draw(ref, 1.0), 1e-10);
    // Without a seed each call stirs the entropy: two processes, or two calls, differ.
    call(a, lua54_srand, "");
    call(b, lua54_srand, "nil");
    EXPECT_NE(std::memcmp(a->rng_state, b->rng_state, sizeof a->rng_state), 0);
    uint64_t before[4];
    std::memcpy(before, a->rng_state, sizeof before);
    call(a, lua54_srand, "{}");
    EXPECT_NE(std::memcmp(a->rng_state, before, sizeof before), 0);
    // Negative ranges draw toward zero from below.
    for (int i = 0; i < 20; i++) {
        double v = number(call(a, lua54_rnd, "-5").values.at(0));
        EXPECT_LE(v, 0.0);
        EXPECT_GT(v, -5.0);
    }
    // A table's own indexing applies.
    EXPECT_EQ(eval(a, "return rnd(setmetatable({1}, {__index = function() return 'meta' end}))").values.size(), 1u);
}

}  // namespace
