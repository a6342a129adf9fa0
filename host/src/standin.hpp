// The stand-in host kernel: pools, journals and a message service with the byte layouts the
// package relies on, recording what they receive so tests can check it.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qvfnc.h"

namespace qvhost {

struct PoolRequest {
    std::uint64_t size;
    std::uint32_t flags;
};

// A HostPool backed by malloc that counts every block. It can be told to refuse the Nth
// allocation request (counted from 1) or every request.
class CountingPool {
public:
    explicit CountingPool(std::string name = "test pool");
    ~CountingPool();
    CountingPool(const CountingPool &) = delete;
    CountingPool &operator=(const CountingPool &) = delete;

    HostPool *host() { return &base_; }
    static CountingPool *of(HostPool *pool);

    void refuse_nth(int n) { refuse_nth_ = n; }
    void refuse_all(bool on) { refuse_all_ = on; }

    std::size_t outstanding() const { return blocks_.size(); }
    const std::vector<PoolRequest> &requests() const { return requests_; }
    std::size_t frees() const { return frees_; }
    int destroys() const { return destroys_; }
    bool destroyed() const { return destroys_ > 0; }
    const std::string &name() const { return name_; }
    void reset_counts();

private:
    static void do_destroy(HostPool *pool);
    static void *do_allocate(HostPool *pool, std::uint64_t size, std::uint32_t flags);
    static void do_free(HostPool *pool, void *block);
    void release_all();

    HostPool base_{};
    std::string name_;
    std::map<void *, std::uint64_t> blocks_;
    std::vector<PoolRequest> requests_;
    std::size_t frees_ = 0;
    int destroys_ = 0;
    int refuse_nth_ = 0;
    bool refuse_all_ = false;
};

class Journal {
public:
    explicit Journal(std::u32string name, std::uint32_t mode);
    HostJournal *host() { return &base_; }
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;
    static Journal *of(HostJournal *journal);

    const std::u32string &name() const { return name_; }
    std::uint32_t mode() const { return mode_; }
    int closes = 0;
    int destroys = 0;
    std::vector<char> events;  // 'c' close, 'd' destroy, in call order

private:
    static void do_destroy(HostJournal *journal);
    static void do_close(HostJournal *journal);
    HostJournal base_{};
    std::u32string name_;
    std::uint32_t mode_;
};

// One call received by the message service.
struct MessageCall {
    int offset;                        // byte offset of the operation in HostLocale
    std::vector<std::int64_t> fixed;   // the fixed arguments after the object
    va_list *ap = nullptr;             // the va_list pointer as received
    std::vector<std::int64_t> varargs; // what the service read through it
};

class MessageService {
public:
    MessageService();
    HostLocale *host() { return &base_; }
    MessageService(const MessageService &) = delete;
    MessageService &operator=(const MessageService &) = delete;
    static MessageService *of(HostLocale *locale);

    // How many 64-bit integers each operation reads from the va_list it receives.
    int varargs_to_read = 0;
    std::int64_t answer = 0;
    std::vector<MessageCall> calls;

private:
    static std::int64_t message_to_buf(HostLocale *, std::int64_t, std::int64_t, std::int64_t, std::int64_t,
                                       std::int64_t, va_list *);
    static std::int64_t message_to_jnl(HostLocale *, std::int64_t, std::int64_t, std::int64_t, va_list *);
    static std::int64_t status_to_buf(HostLocale *, std::int64_t, std::int64_t, std::int64_t, std::int64_t,
                                      va_list *);
    static std::int64_t status_to_jnl(HostLocale *, std::int64_t, std::int64_t, va_list *);
    static std::int64_t get_locale(HostLocale *, ...);
    std::int64_t record(int offset, std::vector<std::int64_t> fixed, va_list *ap);

    HostLocale base_{};
};

// The kernel handle: makes pools and journals and keeps them for inspection.
class Kernel {
public:
    Kernel();
    HostKernel *host() { return &base_; }
    Kernel(const Kernel &) = delete;
    Kernel &operator=(const Kernel &) = delete;
    static Kernel *of(HostKernel *kernel);

    bool fail_create_pool = false;
    bool fail_open_journal = false;
    int pool_refuse_nth = 0;  // handed to every pool it creates

    std::vector<std::unique_ptr<CountingPool>> pools;
    std::vector<std::unique_ptr<Journal>> journals;
    std::vector<std::string> pool_names;
    std::vector<std::vector<unsigned char>> pool_parms;     // the 96-byte blocks as received
    std::vector<std::vector<unsigned char>> journal_parms;  // the 56-byte blocks as received
    std::vector<HostLocale *> pool_locales;
    std::vector<const void *> journal_reserved;
    int create_pool_calls = 0;
    int open_journal_calls = 0;

private:
    static HostJournal *open_journal(HostKernel *, JournalOpenParms *, void *, const std::uint32_t *);
    static HostPool *create_pool(HostKernel *, PoolCreateParms *, HostLocale *, const char *);
    HostKernel base_{};
};

}  // namespace qvhost
