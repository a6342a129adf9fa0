// What qv_status() reports, by one rule: the results of the qv_ functions since the report began.
// A report begins with the first result after qv_status() was read, after the statement it
// belongs to ended, or after an error. One result reads as its status ("invalid argument"; a
// row-wise call's with the arguments it marked: "invalid argument; argument 1 marked"); several
// read "ok" when every one was, else name each function and status that was not, in the order
// first seen ("qv_pctl: invalid argument; qv_std: not a number"). An error replaces the report
// with "error: " and its message. Nothing here allocates, so running out of memory is reported too.
// (snprintf unqualified: PostgreSQL's headers, included first there, name their own.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "qvhost.h"

namespace qvsql {

class Report {
public:
    // The status of a statistic with a parameter over no rows, which has no status of its own.
    static constexpr std::int32_t NO_ROWS = -1;

    // A result of the function labelled label, in the statement the engine knows as statement;
    // call is the row-wise call that gave it (described when the report is read) or null.
    void result(const char *label, std::int32_t status, const qvh_call *call, std::uint64_t statement) noexcept {
        if (fresh_ || error_ || statement != statement_) {
            fresh_ = error_ = false;
            results_ = 0;
            nkinds_ = 0;
            more_kinds_ = false;
            statement_ = statement;
        }
        ++results_;
        call_ = call;
        described_ = false;
        status_ = status;
        if (status == QVH_STATUS_OK) return;
        for (int k = 0; k < nkinds_; ++k)
            if (kinds_[k].status == status && std::strcmp(kinds_[k].label, label) == 0) return;
        if (nkinds_ == MAX_KINDS) {
            more_kinds_ = true;
            return;
        }
        kinds_[nkinds_].status = status;
        snprintf(kinds_[nkinds_].label, sizeof kinds_[nkinds_].label, "%s", label);
        ++nkinds_;
    }

    void error(const char *message) noexcept {
        snprintf(text_, sizeof text_, "error: %s", message);
        error_ = fresh_ = true;
    }

    // The report ends (qv_status() read it, or the engine's statement ended): the next result
    // begins another.
    void end() noexcept { fresh_ = true; }

    // call goes away: a report of its one result keeps what it said.
    void forget(const qvh_call *call) noexcept {
        if (call == nullptr || call_ != call) return;
        if (!error_ && results_ == 1) qvh_call_describe(call, text_, sizeof text_);
        call_ = nullptr;
        described_ = results_ == 1;
    }

    // The report, in buf (size bytes) or its own text; null before any result.
    const char *text(char *buf, std::size_t size) const noexcept {
        if (error_) return text_;
        if (results_ == 0) return nullptr;
        if (results_ == 1 && call_ != nullptr) {
            qvh_call_describe(call_, buf, size);
            return buf;
        }
        if (results_ == 1 && described_) return text_;
        if (results_ == 1) return status_text(status_, nullptr, buf, size), buf;
        if (nkinds_ == 0) return "ok";
        std::size_t n = 0;
        for (int k = 0; k < nkinds_ && n < size; ++k) {
            if (k > 0) n += static_cast<std::size_t>(snprintf(buf + n, size - n, "; "));
            if (n < size) n += status_text(kinds_[k].status, kinds_[k].label, buf + n, size - n);
        }
        if (more_kinds_ && n < size) snprintf(buf + n, size - n, "; ...");
        return buf;
    }

private:
    static constexpr int MAX_KINDS = 8;

    // A status in the host library's wording, "no rows" for NO_ROWS; label names the function (or not).
    static std::size_t status_text(std::int32_t status, const char *label, char *buf, std::size_t size) noexcept {
        if (status != NO_ROWS) return qvh_status_message(status, label, buf, size);
        const int n = snprintf(buf, size, "%s%sno rows", label ? label : "", label ? ": " : "");
        return n < 0 ? 0 : static_cast<std::size_t>(n);
    }

    bool fresh_ = true;
    bool error_ = false;
    bool described_ = false;  // the one result's call went away; text_ holds its description
    std::uint64_t statement_ = 0;
    std::uint64_t results_ = 0;
    const qvh_call *call_ = nullptr;  // the last result's row-wise call
    std::int32_t status_ = QVH_STATUS_OK;
    struct Kind {
        std::int32_t status;
        char label[40];
    } kinds_[MAX_KINDS];  // the distinct statuses other than OK, in the order first seen
    int nkinds_ = 0;
    bool more_kinds_ = false;
    char text_[1024] = "";
};

}  // namespace qvsql
