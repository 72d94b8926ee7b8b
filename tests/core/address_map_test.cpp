// The fixed address map: its overlap check catches what it must, and the
// table is kept in address order with its aliases equal to their fields.
#include <gtest/gtest.h>

#include "core/address_map.h"

namespace {

constexpr addr_span BLOCK = {0x100, 0x20};
constexpr addr_field ADJACENT[] = {{{0x100, 4}, BLOCK}, {{0x104, 2}, BLOCK}, {{0x11F, 1}, BLOCK}};
constexpr addr_field OVERLAPPING[] = {{{0x100, 4}, BLOCK}, {{0x110, 2}, BLOCK}, {{0x103, 1}, BLOCK}};
constexpr addr_field INSIDE_ANOTHER[] = {{{0x100, 0x10}, BLOCK}, {{0x104, 2}, BLOCK}};
constexpr addr_field PAST_BLOCK[] = {{{0x11E, 4}, BLOCK}};
constexpr addr_field BEFORE_BLOCK[] = {{{0xFF, 2}, BLOCK}};
constexpr addr_field EMPTY[] = {{{0x108, 0}, BLOCK}};
constexpr addr_field LAST_BYTES[] = {{{HVX_ADDR_MASK - 3, 4}, ADDR_SPACE_SPAN}};
constexpr addr_field PAST_SPACE[] = {{{HVX_ADDR_MASK - 3, 5}, ADDR_SPACE_SPAN}};

static_assert(addr_fields_valid(ADJACENT), "fields that only touch are separate");
static_assert(!addr_fields_valid(OVERLAPPING), "a shared byte, found whatever the order");
static_assert(!addr_fields_valid(INSIDE_ANOTHER), "a field inside another");
static_assert(!addr_fields_valid(PAST_BLOCK), "a field running out of its block");
static_assert(!addr_fields_valid(BEFORE_BLOCK), "a field starting before its block");
static_assert(!addr_fields_valid(EMPTY), "a field without a length");
static_assert(addr_fields_valid(LAST_BYTES), "the last bytes of the space are in it");
static_assert(!addr_fields_valid(PAST_SPACE), "no field runs past the 24-bit space");

// Aliases name one address.
static_assert(ADDR_DRAW_STATE == ADDR_PALETTE && ADDR_AUDIO_FLAGS == ADDR_FLAG_BYTE);

TEST(AddressMap, FieldsAreListedInAddressOrder) {
    const size_t n = sizeof ADDR_FIELDS / sizeof ADDR_FIELDS[0];
    ASSERT_GT(n, 50u);
    for (size_t i = 1; i < n; i++)
        EXPECT_LT(ADDR_FIELDS[i - 1].span.addr, ADDR_FIELDS[i].span.addr) << "entry " << i;
}

TEST(AddressMap, EveryDrawStateFieldIsInItsPage) {
    for (const addr_field& f : ADDR_FIELDS) {
        const bool in_page = f.span.addr >> HVX_PAGE_SHIFT == ADDR_DRAW_STATE >> HVX_PAGE_SHIFT;
        EXPECT_EQ(in_page, f.block.addr == ADDR_DRAW_STATE && f.block.len == ADDR_DRAW_STATE_LEN)
            << std::hex << f.span.addr;
    }
}

}  // namespace
