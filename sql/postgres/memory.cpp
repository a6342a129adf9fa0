// The module's settings, and the server's memory for the host library.
#include "module.hpp"

#include <cstdint>

namespace qvpg {

// ---- settings ----------------------------------------------------------------------------------

char *package_setting = nullptr;  // qvewumth.package: the package file; empty for the default one
// Hidden, for tests: the allocation request (counted from when it is set, in each process) that
// is refused; 0 refuses none.
int refuse_request = 0;
int64 requests = 0;
// Hidden, for tests: the bytes the partial states of one result row may take; 0 is what the server
// can carry.
int row_state_limit = 0;

void count_requests_afresh(int, void *) { requests = 0; }

// ---- memory ------------------------------------------------------------------------------------

// Blocks of many megabytes (the values of a large group, the argument list of its result, the
// package's copy of them) are written through once, right after they are taken, and given back
// soon after: the host library advises huge pages for them. Large blocks taken in a statement are
// given back to the system when it ends (see on_end).
std::size_t large_taken = 0;  // bytes in large blocks taken since the last top-level statement ended

void advise(void *block, std::size_t size) {
    large_taken += size;
    qvh_advise_large(block, size);
}

// A block of memory from cxt, or NULL when it cannot be had; never raises an error.
void *take(MemoryContext cxt, std::size_t size) {
    if (refuse_request > 0 && ++requests == refuse_request) return nullptr;
    if (!AllocHugeSizeIsValid(size)) return nullptr;
    void *block = MemoryContextAllocExtended(cxt, size, MCXT_ALLOC_HUGE | MCXT_ALLOC_NO_OOM);
    if (block != nullptr && size >= LARGE_BLOCK) advise(block, size);
    return block;
}

// The host library's memory: what it holds now and at most in this statement (reported at DEBUG1
// when a statement ends, to see what a kept value costs).
std::size_t held = 0, most_held = 0;

void *hook_alloc(void *cxt, std::size_t size) {
    void *block = take(static_cast<MemoryContext>(cxt), size);
    if (block != nullptr && (held += size) > most_held) most_held = held;
    return block;
}

void hook_release(void *, void *block, std::size_t size) {
    held -= size;
    pfree(block);
}

qvh_allocator allocator_in(MemoryContext cxt) { return {hook_alloc, nullptr, hook_release, cxt}; }


}  // namespace qvpg
