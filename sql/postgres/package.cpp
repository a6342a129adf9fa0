// The package, opened once per backend, and which catalogue function each call site serves.
#include "module.hpp"

#include "names.hpp"

namespace qvpg {

// ---- the package, once per backend -------------------------------------------------------------

qvh_package *package = nullptr;
qvh_call **calls = nullptr;             // one reusable call per function, made on first use
MemoryContext call_memory = nullptr;    // the scratch memory of the row-wise calls
bool exit_hook = false;

void close_package(int, Datum) {
    for (std::size_t i = 0; calls != nullptr && i < qvh_function_count(); ++i) {
        qvh_call_free(calls[i]);
        calls[i] = nullptr;
    }
    report = qvsql::Report{};
    qvh_close(package);
    package = nullptr;
}

bool package_open() { return package != nullptr; }

qvh_package *get_package() {
    if (package != nullptr) return package;
    if (calls == nullptr) {
        calls = static_cast<qvh_call **>(MemoryContextAllocZero(TopMemoryContext, qvh_function_count() * sizeof *calls));
        call_memory = AllocSetContextCreate(TopMemoryContext, "qvewumth calls", ALLOCSET_DEFAULT_SIZES);
    }
    const int rc = qvh_open(package_setting != nullptr && *package_setting ? package_setting : nullptr, &package);
    if (rc != QVH_OK) {
        char msg[1024];
        snprintf(msg, sizeof msg, "qvewumth: %s", qvh_errmsg());
        raise(sqlstate_of(rc), msg);
    }
    const qvh_allocator a = allocator_in(call_memory);
    qvh_set_allocator(package, &a);
    if (!exit_hook) {
        on_proc_exit(close_package, 0);
        exit_hook = true;
    }
    return package;
}

qvh_call *call_of(int index) {
    qvh_package *pkg = get_package();
    if (calls[index] == nullptr) {
        const int rc = qvh_call_new(pkg, qvh_function_at(static_cast<std::size_t>(index))->name, &calls[index]);
        if (rc != QVH_OK) fail_new(rc, index);
        qvh_call_set_label(calls[index], label_of(index));
        qvh_call_set_interrupt(calls[index], interrupt_pending, nullptr);
    }
    return calls[index];
}

// ---- which function a call site serves ---------------------------------------------------------


Site *site_of(FunctionCallInfo fcinfo, std::string_view suffix, bool row_wise) {
    FmgrInfo *fl = fcinfo->flinfo;
    if (fl->fn_extra != nullptr) return static_cast<Site *>(fl->fn_extra);
    char *name = get_func_name(fl->fn_oid);
    const qvh_info *f = name == nullptr ? nullptr : qvpg::from_sql_name(name, suffix);
    if (f == nullptr) {
        char msg[256];
        snprintf(msg, sizeof msg, "qvewumth: %s is not a function of this extension", name ? name : "(unknown)");
        raise(ERRCODE_UNDEFINED_FUNCTION, msg);
    }
    Site *site = static_cast<Site *>(MemoryContextAllocZero(fl->fn_mcxt, sizeof(Site)));
    site->index = static_cast<int>(f - qvh_function_at(0));
    site->info = f;
    if (row_wise) {
        Oid *types = nullptr;
        int nargs = 0;
        get_func_signature(fl->fn_oid, &types, &nargs);
        for (int i = 0; i < nargs && i < FUNC_MAX_ARGS; ++i) {
            site->argtypes[i] = types[i];
            site->text_args = site->text_args || types[i] == TEXTOID;
        }
        site->call = call_of(site->index);
    }
    fl->fn_extra = site;
    return site;
}


int interrupt_pending(void *) {
    return InterruptPending && INTERRUPTS_CAN_BE_PROCESSED() && (QueryCancelPending || ProcDiePending) ? 1 : 0;
}

// The row-wise calls keep their argument lists and scratch blocks warm within a statement; when a
// top-level statement ends they give them back.
void trim_calls() {
    for (std::size_t i = 0; calls != nullptr && i < qvh_function_count(); ++i)
        if (calls[i] != nullptr) qvh_call_trim(calls[i]);
}

// Argument position of the function at index as its call takes it, by the host library's edge
// rules (NULL, a float8 or text in, a number or text out); a value the argument cannot take is
// the function's error.
qvh_value edge_arg(int index, int position, const qvh_value &in) {
    qvh_value out{};
    const int rc = qvh_edge_arg(qvh_function_at(static_cast<std::size_t>(index)), label_of(index),
                                static_cast<std::size_t>(position), &in, &out);
    if (rc != QVH_OK) fail(rc);
    return out;
}

}  // namespace qvpg
