// Exported data that is not part of an instance.
#include "qv/export.hpp"
#include "qvfnc.h"

// Recorded for the host; nothing in the package reads it.
QV_EXPORT_DATA void *Exported_QVHandle = nullptr;

// Read by the C mathematics library: 1 selects its ANSI C error-handling convention.
QV_EXPORT_DATA int _lib_version = 1;

QV_EXPORT QvStatus qvextent(void *handle) {
    Exported_QVHandle = handle;
    return STATUS_OK;
}

// Every module carries this routine; nothing in the package calls it. It clears three words of
// the state and hands the state to the context's string service.
extern "C" int32_t StringInit(void *ctx, int32_t id, uint32_t flags, void *state) {
    auto *words = static_cast<uint32_t *>(state);
    words[10] = 0;
    words[11] = 0;
    words[12] = 0;
    using Service = int64_t (*)(void *, void *, int64_t, int64_t, uint32_t);
    Service service;
    __builtin_memcpy(&service, static_cast<unsigned char *>(ctx) + 152, sizeof service);
    service(ctx, state, static_cast<int64_t>(id), 0, flags);
    return 0;
}
