// The same through find_package(qvewumth) from C++.
#include <qvhost.h>

#include <cstdio>
#include <initializer_list>

int main() {
    qvh_package *pkg = nullptr;
    if (qvh_open(nullptr, &pkg) != QVH_OK) {
        std::fprintf(stderr, "%s\n", qvh_errmsg());
        return 1;
    }
    qvh_call *call = nullptr;
    qvh_call_new(pkg, "pctl", &call);
    for (double x : {90.0, 1.0, 2.0, 3.0, 4.0}) qvh_call_add_num(call, x);
    qvh_call_invoke(call);
    char text[QVH_FORMAT_MAX];
    qvh_format(qvh_call_result(call), text, sizeof text);
    std::printf("PCTL(90, 1, 2, 3, 4) = %s (%s)\n", text, qvh_status_name(qvh_call_status(call)));
    qvh_call_free(call);
    qvh_close(pkg);
    return 0;
}
