// The registry of one database: what qv_status() says, and the memory the aggregates keep, held
// to the database's memory_limit; and the record of each registered function.
#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "extension.hpp"
#include "shared_package.hpp"

namespace qvduck {

thread_local std::uint64_t began = 0;

namespace {

// The package: opened once per process (from the copy inside the extension), kept while a
// database uses it.
qvsql::SharedPackage shared_package(nullptr, open_package);

// Whether the last request this thread's aggregates were refused went past memory_limit.
thread_local bool past_limit = false;

// Blocks from this size on are pages mapped for them alone, which grow by moving their pages
// (mremap) where the C library's heap would copy them: a group of 10^7 values grows to 80 MB
// without copying its values at every step.
constexpr std::size_t MAPPED_FROM = std::size_t{1} << 20;

// The advice to back a block by huge pages: a mapped block's whole mapping, so that it stays one
// mapping that mremap can move (advice on a part of it splits it).
void advise(void *block, std::size_t size) {
#ifdef MADV_HUGEPAGE
    if (block != nullptr && size >= MAPPED_FROM) madvise(block, size, MADV_HUGEPAGE);
    else qvh_advise_large(block, size);
#else
    qvh_advise_large(block, size);
#endif
}

void *heap_or_mapped(std::size_t size) {
    if (size < MAPPED_FROM) return std::malloc(size);
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

void give_back(void *block, std::size_t size) {
    if (size < MAPPED_FROM) std::free(block);
    else if (block != nullptr) munmap(block, size);
}

// The block grown or shrunk, in the same kind of memory or moved to the other kind (null: the
// block stays as it was).
void *resized(void *block, std::size_t old_size, std::size_t new_size) {
    const bool was_mapped = old_size >= MAPPED_FROM, mapped = new_size >= MAPPED_FROM;
    if (!was_mapped && !mapped) return std::realloc(block, new_size);
    if (was_mapped && mapped) {
        void *p = mremap(block, old_size, new_size, MREMAP_MAYMOVE);
        return p == MAP_FAILED ? nullptr : p;
    }
    void *p = heap_or_mapped(new_size);
    if (p == nullptr) return nullptr;
    std::memcpy(p, block, std::min(old_size, new_size));
    give_back(block, old_size);
    return p;
}

void *kept_alloc(void *ctx, std::size_t size) {
    auto *reg = static_cast<Registry *>(ctx);
    past_limit = !reg->reserve(size);
    if (past_limit) return nullptr;
    void *p = heap_or_mapped(size);
    if (p == nullptr) reg->kept -= size;
    advise(p, size);
    return p;
}

void *kept_resize(void *ctx, void *block, std::size_t old_size, std::size_t new_size) {
    auto *reg = static_cast<Registry *>(ctx);
    past_limit = new_size > old_size && !reg->reserve(new_size - old_size);
    if (past_limit) return nullptr;
    void *p = resized(block, old_size, new_size);
    if (p == nullptr && new_size > old_size) reg->kept -= new_size - old_size;
    if (p != nullptr && new_size < old_size) reg->kept -= old_size - new_size;
    advise(p, new_size);
    return p;
}

void kept_release(void *ctx, void *block, std::size_t size) {
    give_back(block, size);
    static_cast<Registry *>(ctx)->kept -= size;
}

// DuckDB's memory_limit, and as its settings write it ("7.6 MiB", "19.1 GiB") into text; SIZE_MAX
// when it cannot be read.
std::size_t memory_limit(duckdb_connection con, char (&text_out)[32]) {
    duckdb_result result;
    std::size_t limit = SIZE_MAX;
    if (duckdb_query(con, "SELECT current_setting('memory_limit')", &result) != DuckDBSuccess) {
        duckdb_destroy_result(&result);
        return limit;
    }
    if (duckdb_data_chunk chunk = duckdb_fetch_chunk(result)) {
        duckdb_vector v = duckdb_data_chunk_get_vector(chunk, 0);
        std::uint64_t *valid = duckdb_vector_get_validity(v);
        if (duckdb_data_chunk_get_size(chunk) == 1 && (valid == nullptr || duckdb_validity_row_is_valid(valid, 0))) {
            const auto &s = static_cast<const duckdb_string_t *>(duckdb_vector_get_data(v))[0];
            const std::uint32_t n = s.value.inlined.length;
            const std::string text(n <= 12 ? s.value.inlined.inlined : s.value.pointer.ptr, n);
            char unit[8] = "";
            double amount = 0;
            if (std::sscanf(text.c_str(), "%lf %7s", &amount, unit) == 2 && amount > 0) {
                const std::string u = unit;
                const double scale = u == "bytes" ? 1 : u == "KiB" ? 0x1p10 : u == "MiB" ? 0x1p20 : u == "GiB" ? 0x1p30
                                     : u == "TiB" ? 0x1p40 : u == "KB" ? 1e3 : u == "MB" ? 1e6 : u == "GB" ? 1e9
                                     : u == "TB" ? 1e12 : 0;
                if (scale > 0 && amount * scale < 0x1p62) {
                limit = static_cast<std::size_t>(amount * scale);
                std::snprintf(text_out, sizeof text_out, "%s", text.c_str());
            }
            }
        }
        duckdb_destroy_data_chunk(&chunk);
    }
    duckdb_destroy_result(&result);
    return limit;
}

}  // namespace

// The last note replaces the one before, except that a callback which was already running when a
// worse note was made (another thread of the same statement, still finishing its vector after an
// error) does not hide it.
void Registry::note(std::string text, Severity how) noexcept {
    std::lock_guard lock(mutex);
    if (how < severity && began < noted) return;
    status.swap(text);
    severity = how;
    noted = ticks.fetch_add(1);
}

bool Registry::reserve(std::size_t n) noexcept {
    std::size_t now = kept.load();
    do {
        if (n > limit - std::min(now, limit)) return false;
    } while (!kept.compare_exchange_weak(now, now + n));
    return true;
}

qvh_package *acquire_package(std::string &why) { return shared_package.acquire(why); }
void release_package() noexcept { shared_package.release(); }

Registry *new_registry(qvh_package *pkg, duckdb_connection con) {
    auto *reg = make<Registry>();
    reg->pkg = pkg;
    reg->limit = memory_limit(con, reg->limit_text);
    reg->allocator = {kept_alloc, kept_resize, kept_release, reg};
    return reg;
}

void unref(Registry *reg) noexcept {
    bool last;
    {
        std::lock_guard lock(reg->mutex);
        last = --reg->refs == 0;
    }
    if (last) {
        release_package();
        delete reg;
    }
}

Function::Function(Registry *r, const qvh_info *i, std::string l) : reg(r), info(i), label(std::move(l)) {
    std::lock_guard lock(reg->mutex);
    ++reg->refs;
}

Function::~Function() {
    for (qvh_call *c : idle) qvh_call_free(c);
    delete_state_table(states);
    unref(reg);
}

std::uint64_t Function::list_number(const std::vector<double> &ps) {
    std::lock_guard lock(lists_mutex);
    for (std::size_t k = 0; k < lists.size(); ++k)
        if (lists[k].size() == ps.size() && (ps.empty() || std::memcmp(lists[k].data(), ps.data(), ps.size() * sizeof(double)) == 0))
            return k + 1;
    lists.push_back(ps);
    return lists.size();
}

std::vector<double> Function::list_of(std::uint64_t number) {
    std::lock_guard lock(lists_mutex);
    return lists.at(number - 1);
}

void delete_function(void *p) { delete static_cast<Function *>(p); }

[[noreturn]] void fail(const Function &f, const std::string &what) { qvsql::fail(f.label.c_str(), what); }

[[noreturn]] void no_memory(const Function &f, std::size_t asked) {
    char message[256];
    qvh_nomem_message(f.label.c_str(), 0, 0, asked, message, sizeof message);
    if (std::exchange(past_limit, false))
        throw qvsql::Failure(qvsql::Stop::NoMemory, "%s (past the database's memory_limit, %s when qvewumth was loaded)",
                             message, f.reg->limit_text);
    throw qvsql::Failure(qvsql::Stop::NoMemory, "%s", message);
}

[[noreturn]] void host_failure(const Function &f, int rc, std::size_t asked) {
    if (rc == QVH_E_NOMEM) no_memory(f, asked);
    qvsql::check(rc);
    throw qvsql::Failure(qvsql::Stop::Error, "%s: unexpected failure", f.label.c_str());
}

}  // namespace qvduck
