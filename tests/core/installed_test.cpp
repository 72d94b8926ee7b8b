// What the machine installs for the ground to call upward: the steps that run
// when a process ended, in the order they were added.
#include <gtest/gtest.h>

#include <string>

#include "core/core.h"

namespace {

std::string ran;  // "<step><id>" per step run

void step_a(int64_t id) { ran += "a" + std::to_string(id); }
void step_b(int64_t id) { ran += "b" + std::to_string(id); }
void step_c(int64_t id) { ran += "c" + std::to_string(id); }

TEST(process_ended_steps, run_in_the_order_added_and_only_once_each) {
    clear_process_ended_steps();
    ran.clear();
    run_process_ended_steps(5);
    EXPECT_EQ(ran, "");
    EXPECT_TRUE(add_process_ended_step(step_b));
    EXPECT_TRUE(add_process_ended_step(step_a));
    EXPECT_TRUE(add_process_ended_step(step_c));
    EXPECT_FALSE(add_process_ended_step(nullptr));
    run_process_ended_steps(7);
    EXPECT_EQ(ran, "b7a7c7");
    EXPECT_EQ(process_ended_step_at(0), step_b);
    EXPECT_EQ(process_ended_step_at(2), step_c);
    EXPECT_EQ(process_ended_step_at(3), nullptr);
    EXPECT_EQ(process_ended_step_at(-1), nullptr);
    // Installed afresh (the machine does so at every start): the old list goes.
    clear_process_ended_steps();
    EXPECT_TRUE(add_process_ended_step(step_c));
    ran.clear();
    run_process_ended_steps(9);
    EXPECT_EQ(ran, "c9");
    clear_process_ended_steps();
}

TEST(process_ended_steps, a_full_list_refuses_more_and_keeps_what_it_has) {
    clear_process_ended_steps();
    for (int i = 0; i < PROCESS_ENDED_STEPS_MAX; i++) EXPECT_TRUE(add_process_ended_step(step_a));
    EXPECT_FALSE(add_process_ended_step(step_b));
    ran.clear();
    run_process_ended_steps(1);
    std::string all;
    for (int i = 0; i < PROCESS_ENDED_STEPS_MAX; i++) all += "a1";
    EXPECT_EQ(ran, all);
    clear_process_ended_steps();
}

}  // namespace
