/* Writes the host library's catalogue as R code, a list named catalogue with one entry for every
 * function the package provides, for tools/generate.R to make the R functions and their help
 * pages from. Run by configure; opens the package the host library finds by itself. */
#include <qvhost.h>

#include <stdio.h>

static void string(const char *field, const char *s) {
    printf(", %s = \"", field);
    for (; *s; ++s) {
        unsigned char c = (unsigned char)*s;
        if (c == '\\' || c == '"') printf("\\%c", c);
        else if (c == '\n') fputs("\\n", stdout);
        else if (c < 0x20) printf("\\x%02x", c);
        else putchar(c);
    }
    putchar('"');
}

static void integer(const char *field, long v) { printf(", %s = %ldL", field, v); }

int main(void) {
    qvh_package *pkg = NULL;
    if (qvh_open(NULL, &pkg) != QVH_OK) {
        fprintf(stderr, "catalogue: %s\n", qvh_errmsg());
        return 1;
    }
    puts("catalogue <- list(");
    const char *sep = "";
    for (size_t i = 0; i < qvh_function_count(); ++i) {
        const qvh_info *f = qvh_function_at(i);
        if (!qvh_package_has(pkg, f)) continue;
        printf("%s  list(index = %zuL", sep, i);
        sep = ",\n";
        string("name", f->name);
        string("rname", qvh_sql_name(f));
        string("family", f->family);
        string("usage", f->usage);
        string("summary", f->summary);
        string("reference", f->reference);
        integer("form", f->form);
        integer("min_args", f->min_args);
        integer("max_args", f->max_args);
        integer("first_kind", f->first_kind);
        integer("rest_kind", f->rest_kind);
        integer("result_kind", f->result_kind);
        integer("aggregate", f->aggregate);
        integer("leading_param", f->leading_param);
        integer("marks", (long)f->marks);
        putchar(')');
    }
    puts("\n)");
    qvh_close(pkg);
    return ferror(stdout) ? 1 : 0;
}
