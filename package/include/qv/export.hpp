// The one way a name leaves the package: C linkage and default visibility. Everything else
// is compiled with hidden visibility.
#pragma once

#define QV_EXPORT extern "C" __attribute__((visibility("default")))

// Exported variables: their C linkage comes from the declaration in qvfnc.h.
#define QV_EXPORT_DATA __attribute__((visibility("default")))
