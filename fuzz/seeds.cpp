// Writes the seed corpora: fuzz_seeds DIR writes DIR/functions_fuzz/, DIR/routines_fuzz/ and the
// examples in DIR/cli_expr_fuzz/. The function seeds are the examples of the catalogue's reference
// (every function has some, checked against qvfnc), each a call in the byte form of
// call_input.hpp, and for every function that takes scratch memory, long lists in the orders
// that are hardest for selection, served and refused. The routine seeds give each routine short
// and long buffers. The expression seeds are the same examples as the command line reads them;
// the other seeds of cli_expr_fuzz and those of cli_csv_fuzz and sqlite_args_fuzz are kept as
// they are (see docs/reliability.md).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "call_input.hpp"
#include "catalogue.hpp"
#include "check.hpp"
#include "qvhost.h"

namespace {

namespace fs = std::filesystem;

void write(const fs::path &file, const std::vector<std::uint8_t> &bytes) {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) qvfuzz::fail("cannot write %s", file.c_str());
}

// "`NAME(a, 'b', .A)`" -> the arguments, or false when one is not a plain number or string.
bool parse_args(const std::string &text, std::vector<qvfuzz::Value> &args) {
    std::size_t i = 0;
    auto blanks = [&] {
        while (i < text.size() && text[i] == ' ') ++i;
    };
    while (true) {
        blanks();
        if (i >= text.size()) return true;
        qvfuzz::Value v;
        if (text[i] == '\'') {
            v.numeric = false;
            for (++i;; ++i) {
                if (i >= text.size()) return false;
                if (text[i] == '\'') {
                    if (i + 1 < text.size() && text[i + 1] == '\'') ++i;
                    else break;
                }
                v.s.push_back(static_cast<unsigned char>(text[i]));
            }
            ++i;
        } else {
            const std::size_t end = std::min(text.find(',', i), text.size());
            std::string item = text.substr(i, end - i);
            while (!item.empty() && item.back() == ' ') item.pop_back();
            if (qvh_parse_number(item.data(), item.size(), &v.x) != 1) return false;
            i = end;
        }
        args.push_back(std::move(v));
        blanks();
        if (i < text.size() && text[i] != ',') return false;
        ++i;
    }
}

void function_seeds(const fs::path &dir) {
    fs::create_directories(dir);
    std::vector<const qvh_info *> callable;
    for (const qvh_info &f : qvhost::functions()) {
        const FuncTableRow *row = qvfuzz::package().find(f.name);
        if (row != nullptr && row->entry.scalar != nullptr) callable.push_back(&f);
    }
    int examples = 0, lists = 0;
    for (std::size_t index = 0; index < callable.size(); ++index) {
        const qvh_info &f = *callable[index];
        const std::string ref = f.reference, open = std::string("`") + f.name + "(";
        int nth = 0;
        for (std::size_t at = ref.find(open); at != std::string::npos; at = ref.find(open, at + 1)) {
            const std::size_t first = at + open.size(), close = ref.find(")`", first);
            if (close == std::string::npos) continue;
            std::vector<qvfuzz::Value> args;
            if (!parse_args(ref.substr(first, close - first), args)) continue;
            qvfuzz::Writer w(static_cast<std::uint8_t>(index), 0, args.size());
            for (const qvfuzz::Value &v : args) v.numeric ? w.num(v.x) : w.chars(v.s);
            write(dir / ("example-" + std::string(f.name) + "-" + std::to_string(++nth)), w.bytes());
            ++examples;
        }
        if (!(f.statuses & QVH_MAY_NO_SCRATCH)) continue;
        // Past every local buffer: 300 values (with a rank of 130 first where there is one).
        for (int refuse = 0; refuse <= 2; ++refuse) {
            for (qvfuzz::Fill how : {qvfuzz::F_ORGAN, qvfuzz::F_VEE, qvfuzz::F_SHUFFLED}) {
                qvfuzz::Writer w(static_cast<std::uint8_t>(index), refuse, 300);
                if (f.leading_param) w.num(130);
                w.num(3).num(-0.0).num(0.0).num(1e300).num(qvfuzz::missing_at(5)).num(7.5).fill(how, 12345);
                write(dir / ("scratch-" + std::string(f.name) + "-" + std::to_string(how) + "-refuse" + std::to_string(refuse)),
                      w.bytes());
                ++lists;
            }
        }
    }
    std::printf("%s: %d examples, %d long lists\n", dir.c_str(), examples, lists);
}

void routine_seeds(const fs::path &dir) {
    fs::create_directories(dir);
    std::uint32_t state = 1;
    int count = 0;
    for (int which = 0; which < 15; ++which) {
        for (std::uint16_t n : {0, 5, 40, 300}) {
            std::vector<std::uint8_t> bytes = {static_cast<std::uint8_t>(which), static_cast<std::uint8_t>(n),
                                               static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n & 1)};
            for (int i = 0; i < 64; ++i) {
                state = state * 1664525u + 1013904223u;
                bytes.push_back(static_cast<std::uint8_t>(state >> 24));
            }
            write(dir / ("routine-" + std::to_string(which) + "-" + std::to_string(n)), bytes);
            ++count;
        }
    }
    std::printf("%s: %d inputs\n", dir.c_str(), count);
}

// Every example call of the reference, as text: "`ROUND(1.25, 0.1)`" gives ROUND(1.25, 0.1).
void expression_seeds(const fs::path &dir) {
    fs::create_directories(dir);
    int count = 0;
    for (const qvh_info &f : qvhost::functions()) {
        const std::string ref = f.reference, open = std::string("`") + f.name + "(";
        int nth = 0;
        for (std::size_t at = ref.find(open); at != std::string::npos; at = ref.find(open, at + 1)) {
            const std::size_t close = ref.find('`', at + 1);
            if (close == std::string::npos) continue;
            const std::string text = ref.substr(at + 1, close - at - 1);
            write(dir / ("example-" + std::string(f.name) + "-" + std::to_string(++nth)),
                  std::vector<std::uint8_t>(text.begin(), text.end()));
            ++count;
        }
    }
    std::printf("%s: %d examples\n", dir.c_str(), count);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
        return 2;
    }
    function_seeds(fs::path(argv[1]) / "functions_fuzz");
    routine_seeds(fs::path(argv[1]) / "routines_fuzz");
    expression_seeds(fs::path(argv[1]) / "cli_expr_fuzz");
    return 0;
}
