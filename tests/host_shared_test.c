/* The shared library on its own: an exception thrown and caught inside it (an aggregate whose
 * allocator refuses the argument list) comes back as QVH_E_NOMEM, so the unwinder finds the
 * library's unwind tables; and the library needs no C library symbol newer than it supports. */
#include <stdio.h>
#include <stdlib.h>

#include "qvhost.h"

static int refuse = 0;
static void *alloc(void *ctx, size_t n) { (void)ctx; return refuse ? NULL : malloc(n); }
static void release(void *ctx, void *p, size_t n) { (void)ctx; (void)n; free(p); }

int main(void) {
    const qvh_allocator a = {alloc, NULL, release, NULL};
    qvh_package *pkg = NULL;
    qvh_agg *agg = NULL;
    double r = 0;
    if (qvh_open(NULL, &pkg) != QVH_OK || qvh_agg_new_in(pkg, "MEDIAN", 0, &a, &agg) != QVH_OK) {
        printf("setup: %s\n", qvh_errmsg());
        return 1;
    }
    const double xs[] = {3, 1, 2};
    qvh_agg_add_n(agg, xs, 3);
    refuse = 1;
    const int rc = qvh_agg_result(agg, &r, NULL);
    refuse = 0;
    const int again = qvh_agg_result(agg, &r, NULL);
    printf("%s: %s; then %s, %g\n", qvh_rc_name(rc), qvh_errmsg(), qvh_rc_name(again), r);
    qvh_agg_free(agg);
    qvh_close(pkg);
    return rc == QVH_E_NOMEM && again == QVH_OK && r == 2 ? 0 : 1;
}
