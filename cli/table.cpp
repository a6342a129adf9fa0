// Cells and results of the table job, and the table command around it: the input opened, the
// output made final only when the whole table is written.
#include "table.hpp"

#include <cerrno>
#include <cmath>
#include <cstring>

#include "csv.hpp"
#include "output.hpp"
#include "plan.hpp"

namespace qvcli {

void append_number(std::string &out, double x, const NumberFormat &format) {
    if (format.missing_set && qvh_is_missing(x)) {
        out += format.missing_token;
        return;
    }
    char buf[QVH_FORMAT_MAX];
    std::size_t n = 0;
    if (format.digits > 0 && std::isfinite(x)) {
        n = static_cast<std::size_t>(std::snprintf(buf, sizeof buf, "%.*g", format.digits, x));
    } else {
        n = qvh_format(x, buf, sizeof buf);
    }
    out.append(buf, std::min(n, sizeof buf - 1));
}

bool read_cell(std::string_view cell, const std::vector<std::string> &na, double &value) {
    cell = trim_blanks(cell);
    if (cell.empty()) {
        value = qvh_dot();
        return true;
    }
    for (const std::string &token : na)
        if (cell == token) {
            value = qvh_dot();
            return true;
        }
    if (!qvh_parse_number(cell.data(), cell.size(), &value)) return false;
    if (std::isnan(value) && !qvh_is_missing(value)) value = qvh_dot();
    return true;
}

bool read_cells(const TableJob &job, const std::vector<std::string_view> &fields, std::size_t line,
                const std::vector<std::size_t> &num_cols, const std::vector<std::size_t> &chr_cols,
                const std::vector<std::string> &header, std::vector<Value> &vars, Tallies &tallies, Reporter &report) {
    for (std::size_t i : num_cols) {
        if (read_cell(fields[i], job.na, vars[i].num)) continue;
        if (!job.lenient) {
            const std::string cell(trim_blanks(fields[i]));
            report.fail_at(line, "column " + header[i] + ": cannot read '" + excerpt(cell) + "' as a number (--na " +
                                     (cell.size() <= 40 ? cell : std::string("TOKEN")) +
                                     " reads it as missing, --lenient any cell that is no number)");
            return false;
        }
        vars[i].num = qvh_dot();
        tallies.reader("cells of column " + header[i] + " that are no number, read as .", line);
    }
    for (std::size_t i : chr_cols) {
        std::string_view cell = fields[i];
        for (const std::string &token : job.na)
            if (trim_blanks(cell) == token) cell = std::string_view();
        vars[i].str = cell.data() != nullptr ? cell.data() : "";
        vars[i].len = cell.size();
    }
    return true;
}

int run_table_file(TableJob job, qvh_package *pkg, const std::string &csv, const std::string &out, bool strict,
                   std::FILE *err) {
    std::FILE *in = csv == "-" ? stdin : std::fopen(csv.c_str(), "rb");
    if (in == nullptr) {
        std::fprintf(err, "qvfnc: cannot read %s: %s\n", csv.c_str(), std::strerror(errno));
        return 1;
    }
    Output output;
    std::string error;
    if (!output.open(out, error)) {
        std::fprintf(err, "qvfnc: %s\n", error.c_str());
        if (in != stdin) std::fclose(in);
        return 1;
    }
    job.input_name = csv == "-" ? "standard input" : csv;
    const TableOutcome outcome = run_table(job, pkg, in, output.file(), err);
    if (in != stdin) std::fclose(in);
    if (outcome.status != 0) {
        output.abandon();
        return 1;
    }
    if (!output.commit(error)) {
        std::fprintf(err, "qvfnc: %s\n", error.c_str());
        return 1;
    }
    return strict && outcome.notes ? 3 : 0;
}

}  // namespace qvcli
