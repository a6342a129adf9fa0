#include "tallies.hpp"

#include "names.hpp"
#include "program.hpp"

namespace qvcli {

void Reporter::fail(const std::string &message) { std::fprintf(err_, "qvfnc: %s\n", one_line(message).c_str()); }

void Reporter::fail_at(std::size_t line, const std::string &message) {
    std::fprintf(err_, "qvfnc: %s: line %zu: %s\n", input_.c_str(), line, one_line(message).c_str());
}

void Tallies::add(const std::string &column, const std::string &what, std::int32_t status, std::uint64_t unit,
                  std::size_t line, bool group) {
    for (Tally &t : list_) {
        if (t.status != status || t.group != group || t.what != what || t.column != column) continue;
        if (t.last != unit) ++t.count;
        t.last = unit;
        return;
    }
    list_.push_back({column, what, status, group, 1, unit, line});
}

void Tallies::add_notes(const Program &p, const std::string &column, std::uint64_t unit, std::size_t line, bool group) {
    for (const Note &n : p.notes()) add(column, p.site_name(n.site), n.status, unit, line, group);
}

void Tallies::reader(const std::string &key, std::size_t line) {
    for (Tally &t : list_)
        if (t.what == key && t.status == 0) {
            ++t.count;
            return;
        }
    list_.push_back({"", key, 0, false, 1, 0, line});
}

void Tallies::report(std::FILE *err, bool whole_table) const {
    for (const Tally &t : list_) {
        const std::string column = one_line(t.column), what = one_line(t.what);
        if (t.status == 0) {
            std::fprintf(err, "qvfnc: note: %s: %llu (first on line %zu)\n", what.c_str(),
                         static_cast<unsigned long long>(t.count), t.line);
        } else if (t.group && whole_table) {
            std::fprintf(err, "qvfnc: note: %s: %s in %s\n", column.c_str(), status_text(t.status), what.c_str());
        } else {
            std::fprintf(err, "qvfnc: note: %s: %s in %s on %llu %s%s (first %s line %zu)\n", column.c_str(),
                         status_text(t.status), what.c_str(), static_cast<unsigned long long>(t.count),
                         t.group ? "group" : "row", t.count == 1 ? "" : "s", t.group ? "the group of" : "on", t.line);
        }
    }
}

void Progress::tick_now(std::uint64_t rows) {
    const auto now = Clock::now();
    if (now - last_ < std::chrono::seconds(1)) return;
    last_ = now;
    print(rows, now);
}

void Progress::done(std::uint64_t rows) {
    if (!on_) return;
    print(rows, Clock::now());
    std::fputc('\n', err_);
}

void Progress::print(std::uint64_t rows, Clock::time_point now) {
    const double s = std::chrono::duration<double>(now - start_).count();
    std::fprintf(err_, "\rqvfnc: %llu rows read, %.0f rows/s ", static_cast<unsigned long long>(rows),
                 s > 0 ? static_cast<double>(rows) / s : 0.0);
    std::fflush(err_);
}

}  // namespace qvcli
