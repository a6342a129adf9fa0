// The engine's handles on a call and an aggregate: the interrupt check and the memory a call keeps
// between calls.
#include "internal.hpp"

extern "C" {

int qvh_call_set_interrupt(qvh_call *call, qvh_interrupt_fn check, void *ctx) noexcept {
    if (call == nullptr) return qvhost::fail(QVH_E_NULL, "the call is NULL");
    call->interrupt.set(check, ctx);
    return QVH_OK;
}

void qvh_call_trim(qvh_call *call) noexcept {
    if (call == nullptr) return;
    call->warm.release();
    call->pool.trim();
    call->ordered.release();
}

}  // extern "C"
