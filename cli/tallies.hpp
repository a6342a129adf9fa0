// What the table job says on standard error: errors, one line each, that stop the job; notes
// about statuses other than OK and about the reader's own repairs, summed up at the end; and
// the progress line on a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qvcli {

class Program;

class Reporter {
public:
    Reporter(std::FILE *err, const std::string &input) : err_(err), input_(input) {}
    // "qvfnc: MESSAGE"; names and cells in it may hold line ends, which are written escaped.
    void fail(const std::string &message);
    // "qvfnc: INPUT: line N: MESSAGE"
    void fail_at(std::size_t line, const std::string &message);

private:
    std::FILE *err_;
    const std::string &input_;
};

// Statuses other than OK and the reader's notes, summed per column, cause and status.
class Tallies {
public:
    // A status of the unit (a row, or a group) on the given line; a unit counts once per cause.
    void add(const std::string &column, const std::string &what, std::int32_t status, std::uint64_t unit,
             std::size_t line, bool group);
    // The notes of a program's last run.
    void add_notes(const Program &p, const std::string &column, std::uint64_t unit, std::size_t line, bool group);
    // A note of the reader itself: key says what happened to how many.
    void reader(const std::string &key, std::size_t line);
    bool any() const { return !list_.empty(); }
    // whole_table: the groups are the one group of a summary without --by.
    void report(std::FILE *err, bool whole_table) const;

private:
    struct Tally {
        std::string column, what;
        std::int32_t status;
        bool group;
        std::uint64_t count, last;
        std::size_t line;
    };
    std::vector<Tally> list_;
};

// Rows read and rows per second, about once a second, on err.
class Progress {
public:
    Progress(bool on, std::FILE *err) : on_(on), err_(err), start_(Clock::now()), last_(start_) {}
    void tick(std::uint64_t rows) {
        if (on_ && (rows & 0xFFFF) == 0) tick_now(rows);
    }
    void done(std::uint64_t rows);

private:
    using Clock = std::chrono::steady_clock;
    void tick_now(std::uint64_t rows);
    void print(std::uint64_t rows, Clock::time_point now);
    bool on_;
    std::FILE *err_;
    Clock::time_point start_, last_;
};

}  // namespace qvcli
