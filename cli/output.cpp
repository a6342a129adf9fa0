#include "output.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace qvcli {

namespace {

// The temporary file a signal must remove: a fixed buffer, since the handler may only make
// async-signal-safe calls.
char pending_path[PATH_MAX + 64];
volatile sig_atomic_t pending = 0;

constexpr int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void remove_and_die(int sig) {
    if (pending) unlink(pending_path);
    signal(sig, SIG_DFL);
    raise(sig);  // delivered with its usual effect once the handler returns
}

void arm(const std::string &path) {
    std::memcpy(pending_path, path.c_str(), path.size() + 1);
    pending = 1;
    struct sigaction sa {};
    sa.sa_handler = remove_and_die;
    sigemptyset(&sa.sa_mask);
    for (int sig : CLEANUP_SIGNALS) sigaddset(&sa.sa_mask, sig);
    for (int sig : CLEANUP_SIGNALS) {
        struct sigaction old {};
        // A signal the caller chose to ignore stays ignored (nohup).
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(sig, &sa, nullptr);
    }
}

// The temporary file is written through this stream, which has the kernel start writing each
// 8 MiB to disk as soon as it is written: the fsync before the rename then waits only for the
// last of it.
struct DiskWriter {
    int fd;
    off_t written = 0, started = 0;
};
constexpr off_t WRITE_BACK = off_t{8} << 20;

ssize_t disk_write(void *cookie, const char *buf, std::size_t size) {
    auto *w = static_cast<DiskWriter *>(cookie);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(w->fd, buf + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
        done += static_cast<std::size_t>(n);
    }
    w->written += static_cast<off_t>(size);
    if (w->written - w->started >= WRITE_BACK) {
        sync_file_range(w->fd, w->started, w->written - w->started, SYNC_FILE_RANGE_WRITE);
        w->started = w->written;
    }
    return static_cast<ssize_t>(size);
}

int disk_close(void *cookie) {
    auto *w = static_cast<DiskWriter *>(cookie);
    int rc = fsync(w->fd);
    if (::close(w->fd) != 0) rc = -1;
    delete w;
    return rc;
}

std::string folder_of(const std::string &path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A new file named stem, or stem.1, stem.2, ... when one is left from an earlier run of the
// same process id: its descriptor with its name in temp, or -1 with errno set.
int create_temporary(const std::string &stem, std::string &temp) {
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = attempt == 0 ? stem : stem + "." + std::to_string(attempt);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    return fd;
}

}  // namespace

Output::~Output() { abandon(); }

bool Output::open(const std::string &path, std::string &error) {
    // A full disk or a file size limit is an error to report, not a signal that kills.
    signal(SIGXFSZ, SIG_IGN);
    if (path.empty()) {
        file_ = stdout;
        return true;
    }
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        error = "cannot write " + path + ": it is a folder";
        return false;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        file_ = std::fopen(path.c_str(), "wb");
        if (file_ == nullptr) error = "cannot write " + path + ": " + std::strerror(errno);
        return file_ != nullptr;
    }
    // Through a symbolic link, the file it points to is the one replaced.
    std::string target = path;
    if (exists) {
        char real[PATH_MAX];
        if (realpath(path.c_str(), real) != nullptr) target = real;
    }
    const std::string stem = folder_of(target) + "/." + base_of(target) + ".qvfnc-tmp." + std::to_string(getpid());
    if (stem.size() >= PATH_MAX) {
        error = "cannot write " + path + ": the name is too long";
        return false;
    }
    const int fd = create_temporary(stem, temp_);
    if (fd < 0) {
        error = "cannot write " + path + " (a temporary file in " + folder_of(target) + "): " + std::strerror(errno);
        temp_.clear();
        return false;
    }
    arm(temp_);
    if (exists) {
        // The new file takes the old one's permissions, and its owner where that is allowed (the
        // set-id bits only with the owner).
        const bool owned = fchown(fd, st.st_uid, st.st_gid) == 0;
        if (fchmod(fd, st.st_mode & (owned ? 07777 : 0777)) != 0) {
            error = "cannot give " + temp_ + " the permissions of " + path + ": " + std::strerror(errno);
            close(fd);
            abandon();
            return false;
        }
    }
    file_ = fopencookie(new DiskWriter{fd}, "wb", cookie_io_functions_t{nullptr, disk_write, nullptr, disk_close});
    if (file_ == nullptr) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        close(fd);
        abandon();
        return false;
    }
    target_ = target;
    return true;
}

bool Output::commit(std::string &error) {
    if (file_ == nullptr) return false;
    std::FILE *f = file_;
    file_ = nullptr;
    if (f == stdout) {
        if (std::fflush(f) != 0) {
            error = std::string("cannot write the output: ") + std::strerror(errno);
            return false;
        }
        return true;
    }
    // Closing the temporary file waits until it is on disk.
    bool ok = std::fflush(f) == 0;
    int why = errno;
    if (std::fclose(f) != 0 && ok) ok = false, why = errno;
    if (!ok) {
        error = "cannot write " + (target_.empty() ? std::string("the output") : target_) + ": " + std::strerror(why);
        abandon();
        return false;
    }
    if (target_.empty()) return true;
    // No signal may remove the file between the rename and forgetting its old name.
    sigset_t block, old;
    sigemptyset(&block);
    for (int sig : CLEANUP_SIGNALS) sigaddset(&block, sig);
    sigprocmask(SIG_BLOCK, &block, &old);
    const bool renamed = std::rename(temp_.c_str(), target_.c_str()) == 0;
    why = errno;
    if (renamed) {
        pending = 0;
        temp_.clear();
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (!renamed) {
        error = "cannot replace " + target_ + ": " + std::strerror(why);
        abandon();
        return false;
    }
    return true;
}

void Output::abandon() {
    if (file_ != nullptr && file_ != stdout) std::fclose(file_);
    file_ = nullptr;
    if (!temp_.empty()) {
        unlink(temp_.c_str());
        pending = 0;
        temp_.clear();
    }
}

}  // namespace qvcli
