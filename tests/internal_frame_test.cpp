// StringInit is private to the package: it clears three words of the state and calls the
// context's string service with the widened identifier.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

extern "C" int32_t StringInit(void *ctx, int32_t id, uint32_t flags, void *state);

namespace {

struct Seen {
    void *ctx, *state;
    std::int64_t id, zero;
    std::uint32_t flags;
    int calls = 0;
} seen;

std::int64_t service(void *ctx, void *state, std::int64_t id, std::int64_t zero, std::uint32_t flags) {
    seen = {ctx, state, id, zero, flags, seen.calls + 1};
    return 123;
}

TEST(StringInit, ClearsStateWordsAndCallsTheService) {
    unsigned char ctx[160] = {};
    auto fn = &service;
    std::memcpy(ctx + 152, &fn, sizeof fn);
    std::uint32_t state[16];
    for (auto &w : state) w = 0xABABABAB;
    EXPECT_EQ(StringInit(ctx, -7, 0x80000001u, state), 0);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(state[i], (i >= 10 && i <= 12) ? 0u : 0xABABABABu) << i;
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.ctx, ctx);
    EXPECT_EQ(seen.state, state);
    EXPECT_EQ(seen.id, -7);
    EXPECT_EQ(seen.zero, 0);
    EXPECT_EQ(seen.flags, 0x80000001u);
}

}  // namespace
