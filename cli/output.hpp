// Where a table goes. Standard output streams. A file named by --out is never written in place:
// the table goes to a temporary file beside it (".NAME.qvfnc-tmp.PID", with the permissions of
// the file it replaces) that is renamed over it only once the whole table is written and on
// disk. On an error, SIGINT, SIGTERM, SIGHUP or SIGQUIT the temporary file is removed and the
// old file stays as it was; only SIGKILL can leave a temporary file behind.
#pragma once

#include <cstdio>
#include <string>

namespace qvcli {

class Output {
public:
    Output() = default;
    ~Output();
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;

    // path empty: standard output. A path that is not a regular file (a terminal, a pipe,
    // /dev/null) is written directly. False with a one-line message.
    bool open(const std::string &path, std::string &error);
    std::FILE *file() const { return file_; }

    // Makes the table final: flushed, on disk, renamed over the target. False with a message;
    // the temporary file is then gone and the target untouched.
    bool commit(std::string &error);
    // Gives the table up: the temporary file is removed, the target stays as it was.
    void abandon();

    const std::string &temporary() const { return temp_; }

private:
    std::FILE *file_ = nullptr;
    std::string target_;  // the file renamed over; empty when written directly
    std::string temp_;
};

}  // namespace qvcli
