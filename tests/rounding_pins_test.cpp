// Rounding and integer arithmetic: single inputs that once gave a wrong result, each pinned bit for
// bit with its status and marks. One row per case.
#include <cmath>

#include "qvtest.hpp"

namespace {

struct Pin {
    const char *name;
    std::vector<double> args;
    double expected;
    QvStatus status;
};

TEST(RoundingPins, ResultStatusAndNoMarks) {
    const Pin pins[] = {
        // A zero dividend gives . even when the divisor is a NaN: no quotient is formed.
        {"DIVIDE", {0.0, NAN}, qvt::DOT, STATUS_OK},
    };
    for (const Pin &p : pins) {
        const qvt::Result r = qvt::call(p.name, qvt::nums(p.args));
        EXPECT_SAME(r.value, p.expected) << p.name;
        EXPECT_EQ(r.status, p.status) << p.name;
        EXPECT_TRUE(r.marked.empty()) << p.name;
    }
}

}  // namespace
