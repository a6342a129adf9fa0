// The C++ side of the extension, kept apart from the server's headers. The module's entry points
// call these noexcept functions from plain C frames and raise the server's errors themselves, so
// no exception and no C++ object ever meets the server's error handling.
#pragma once

#include <cstddef>

namespace qvpg {

// The catalogue position of the function whose SQL name followed by suffix is name, or -1.
int resolve(const char *name, const char *suffix) noexcept;

// The one-line message a user sees for a failed call of function index (-1: the package): the SQL
// name, the context when there is one ("argument 2"), and the host library's message speaking of
// the function by its SQL name: "qv_whichn: takes at least 1 argument, got 0: qv_whichn(v, x1, ...)".
// Fills buf, zero-terminated.
void message(int index, const char *context, const char *host_message, char *buf, std::size_t size) noexcept;

// Whether partial states of the statistic at index must keep their values to be combined: a folded
// fixed state combines exactly for the counts and the extremes, but a folded sum (SUM, MEAN) is
// already rounded and cannot be added to in the order of the rows.
bool combines_only_values(int index) noexcept;

}  // namespace qvpg
