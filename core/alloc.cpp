// The accounted allocator of every process state.
#include <cstdlib>

#include "core/core.h"

static inline void charge(int64_t n) {
    int64_t v = (int64_t)cpu_cycles + n;
    cpu_cycles = v > INT32_MAX ? INT32_MAX : (int32_t)v;
}

// While an error is being reported the state must be able to allocate its
// traceback even at the ceiling: a refusal there would be unprotected.
static bool ceiling_lifted = false;

void lift_memory_ceiling(bool lifted) { ceiling_lifted = lifted; }

// Every block carries a 16-byte header holding its accounted size; Lua sees
// the address after it. This runs on every Lua allocation, so it is kept
// short: a free calls on into free(), the charge saturates once, the
// ceiling is looked at only when a block's account grows, a new block
// comes from malloc(), and the heap count is moved before the call so that
// little has to live across it.

[[gnu::noinline]] static void* grow_block(Process* owner, int64_t* head, size_t new_size, int retry, int64_t acc) {
    const int64_t old_acc = head ? *head : 0;
    charge((int64_t)(new_size >> ALLOC_COST_SHIFT) + ALLOC_COST_BASE);  // the shifted size cannot overflow
    if (new_size > SIZE_MAX - ALLOC_HEADER ||
        (owner && acc > old_acc && !ceiling_lifted &&
         process_memory_in_use(owner) + (acc - old_acc) > MEMORY_HARD_CEILING)) {
        if (retry && owner) {
            cpu_superyielding = CPU_SUPERYIELD;
            owner->out_of_memory = 1;
        }
        return nullptr;
    }
    if (owner) owner->heap_bytes += acc - old_acc;
    auto* grown = (int64_t*)(head ? std::realloc(head, new_size + ALLOC_HEADER) : std::malloc(new_size + ALLOC_HEADER));
    if (!grown) {
        if (owner) owner->heap_bytes -= acc - old_acc;  // the old block, if any, stands
        if (retry && owner) {
            cpu_superyielding = CPU_SUPERYIELD;
            owner->out_of_memory = 1;
        }
        return nullptr;
    }
    *grown = acc;
    return grown + ALLOC_HEADER / sizeof(int64_t);
}

void* l_alloc(void* ud, void* block, size_t old_size, size_t new_size, int retry, size_t accounted) {
    (void)old_size;  // for a new block it is a type tag; the header knows the truth
    auto* owner = (Process*)ud;
    auto* head = block ? (int64_t*)((uint8_t*)block - ALLOC_HEADER) : nullptr;
    if (new_size != 0) return grow_block(owner, head, new_size, retry, (int64_t)accounted);
    if (head) {
        if (owner) owner->heap_bytes -= *head;
        std::free(head);
    }
    return nullptr;
}
