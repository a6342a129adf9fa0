#include "csv.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace qvcli {

CsvReader::CsvReader(std::FILE *in, char sep, std::size_t chunk)
    : fd_(fileno(in)), sep_(sep), buf_(chunk > 0 ? chunk : 1), chunk_(buf_.size()) {}

bool CsvReader::fill() {
    if (begin_ > 0) {
        std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    // Only a record longer than the buffer makes it grow.
    if (end_ == buf_.size()) buf_.resize(buf_.size() + std::max(buf_.size(), chunk_));
    // What is there now, not a whole buffer: rows from a pipe are handled as they come.
    ssize_t n;
    do n = ::read(fd_, buf_.data() + end_, buf_.size() - end_);
    while (n < 0 && errno == EINTR);
    if (n <= 0) {
        eof_ = true;
        if (n < 0) error_ = std::string("read error: ") + std::strerror(errno);
        return false;
    }
    end_ += static_cast<std::size_t>(n);
    return true;
}

// Scans the record that starts at begin_, going on where the last call stopped. Returns false
// when the buffer ends before the record does and more input may follow. Offsets are kept from
// begin_, so they survive the buffer moving.
bool CsvReader::scan(std::size_t &record_end, std::size_t &next_begin) {
    auto end_field = [&](std::size_t at) {
        if (state_ == State::Quoted || state_ == State::AfterQuote)
            spans_.push_back({false, quoted_start_, unquoted_.size() - quoted_start_});
        else
            spans_.push_back({true, field_start_, at - begin_ - field_start_});
    };
    const char sep = sep_;
    std::size_t i = begin_ + pos_;
    bool more = false;
    for (; i < end_; ++i) {
        const char c = buf_[i];
        if (state_ == State::Quoted) {
            if (c != '"') {
                newlines_ += c == '\n';
                unquoted_.push_back(c);
            } else if (i + 1 == end_ && !eof_) {
                more = true;  // half a doubled quote, perhaps: look again with more input
                break;
            } else if (i + 1 < end_ && buf_[i + 1] == '"') {
                unquoted_.push_back('"');
                ++i;
            } else {
                state_ = State::AfterQuote;
            }
            continue;
        }
        if (c == '\n') break;
        if (c == sep) {
            end_field(i);
            state_ = State::FieldStart;
            field_start_ = i + 1 - begin_;
        } else if (state_ == State::FieldStart && c == '"') {
            state_ = State::Quoted;
            quoted_start_ = unquoted_.size();
        } else if (state_ == State::AfterQuote) {
            if (c != '\r') unquoted_.push_back(c);  // text after the closing quote is kept
        } else {
            state_ = State::Unquoted;
        }
    }
    pos_ = i - begin_;
    if (more || (i == end_ && !eof_)) return false;
    if (state_ == State::Quoted) {
        error_ = "unterminated quoted field in the record starting at line " + std::to_string(next_line_);
        return false;
    }
    record_end = i;
    next_begin = i < end_ ? i + 1 : i;
    if (record_end > begin_ && buf_[record_end - 1] == '\r') --record_end;
    end_field(state_ == State::AfterQuote ? i : record_end);
    line_ = next_line_;
    next_line_ += newlines_ + 1;
    return true;
}

bool CsvReader::next() {
    if (!error_.empty()) return false;
    if (!started_) {
        started_ = true;
        while (end_ < 3 && !eof_) fill();
        if (end_ >= 3 && std::memcmp(buf_.data(), "\xEF\xBB\xBF", 3) == 0) begin_ = 3;
    }
    std::size_t record_end = 0, next_begin = 0;
    state_ = State::FieldStart;
    pos_ = field_start_ = quoted_start_ = newlines_ = 0;
    spans_.clear();
    unquoted_.clear();
    for (;;) {
        if (begin_ == end_ && !eof_) fill();
        if (!error_.empty() || (begin_ == end_ && eof_)) return false;
        if (scan(record_end, next_begin)) break;
        if (!error_.empty()) return false;
        if (end_ - begin_ >= MAX_RECORD) {
            error_ = "the record starting at line " + std::to_string(next_line_) + " is longer than " +
                     std::to_string(MAX_RECORD) + " bytes, the longest record qvfnc reads";
            return false;
        }
        fill();
    }
    fields_.clear();
    for (const Span &s : spans_)
        fields_.emplace_back(s.unquoted ? buf_.data() + begin_ + s.offset : unquoted_.data() + s.offset, s.length);
    raw_ = std::string_view(buf_.data() + begin_, record_end - begin_);
    begin_ = next_begin;
    return true;
}

void append_field(std::string &line, std::string_view field, char sep) {
    bool plain = true;
    for (char c : field)
        if (c == sep || c == '"' || c == '\n' || c == '\r') {
            plain = false;
            break;
        }
    if (plain) {
        line += field;
        return;
    }
    line.push_back('"');
    for (char c : field) {
        if (c == '"') line.push_back('"');
        line.push_back(c);
    }
    line.push_back('"');
}

std::string excerpt(std::string_view s) {
    if (s.size() <= 40) return std::string(s);
    std::size_t cut = 36;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;  // whole characters only
    return std::string(s.substr(0, cut)) + "... (" + std::to_string(s.size()) + " bytes)";
}

}  // namespace qvcli
