/* A program that uses the installed package through the host library: the median of a list with
 * a missing value, gamma through the package's exported routine, and a check that the program's
 * own log2 is still the C library's. */
#include <dlfcn.h>
#include <math.h>
#include <stdio.h>
#include <qvhost.h>

int main(void) {
    qvh_package *pkg;
    if (qvh_open(NULL, &pkg) != QVH_OK) {
        fprintf(stderr, "%s\n", qvh_errmsg());
        return 1;
    }
    double xs[] = {1, 2, 0, 4}, median;
    int32_t status;
    qvh_missing('.', &xs[2]);
    qvh_eval(pkg, "MEDIAN", xs, 4, &median, &status);
    printf("MEDIAN(1, 2, ., 4) = %g (%s)\n", median, qvh_status_name(status));

    int (*zgamma)(double *, double) = (int (*)(double *, double))qvh_symbol(pkg, "zgamma");
    double g = 0;
    int ok = zgamma != NULL ? zgamma(&g, 5.0) : -1;
    printf("zgamma(5) = %g (%d)\n", g, ok);

    void *libm = dlopen("libm.so.6", RTLD_NOW | RTLD_NOLOAD);
    double (*libm_log2)(double) = (double (*)(double))dlsym(libm, "log2");
    int same = 1;
    for (int i = 1; i < 100000; ++i) same &= log2(i * 0.37) == libm_log2(i * 0.37);
    printf("log2 is the C library's: %s\n", same && dlsym(RTLD_DEFAULT, "log2") == (void *)libm_log2 ? "yes" : "no");
    qvh_close(pkg);
    return 0;
}
