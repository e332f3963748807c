#include "io/csv_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace orvelta::io {

namespace {

// Inputs may come from NumPy views that are not aligned (arrays unpickled
// from a byte stream): every load goes through memcpy.
template <typename T>
T load(const T* p, std::size_t i) {
    T v;
    std::memcpy(&v, p + i, sizeof v);
    return v;
}

bool special(unsigned char c) { return c == '"' || c == ',' || c == '\r' || c == '\n'; }

bool any_special(const unsigned char* begin, const unsigned char* end) {
    for (const unsigned char* p = begin; p != end; ++p) {
        if (special(*p)) return true;
    }
    return false;
}

// Quoted length of a field: two quotes plus one more per quote inside.
std::size_t quoted_length(const unsigned char* begin, const unsigned char* end) {
    std::size_t len = static_cast<std::size_t>(end - begin) + 2;
    for (const unsigned char* p = begin; p != end; ++p) len += *p == '"';
    return len;
}

}  // namespace

std::size_t format_double(double x, char* out) {
    if (std::isnan(x)) {
        std::memcpy(out, "nan", 3);
        return 3;
    }
    if (std::isinf(x)) {
        if (x < 0) {
            std::memcpy(out, "-inf", 4);
            return 4;
        }
        std::memcpy(out, "inf", 3);
        return 3;
    }
    // Shortest round-trip digits in scientific form, e.g. "-1.5e-07".
    char sci[kMaxDoubleText];
    const auto res = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific);
    if (res.ec != std::errc()) throw std::runtime_error("cannot format a double");
    const char* p = sci;
    const char* end = res.ptr;
    char* o = out;
    if (*p == '-') *o++ = *p++;
    char digits[20];
    int n = 0;
    for (; p != end && *p != 'e'; ++p) {
        if (*p != '.') digits[n++] = *p;
    }
    int exponent = 0;
    std::from_chars(p + 1 + (p[1] == '+'), end, exponent);
    if (exponent >= -6 && exponent <= 9) {
        if (exponent >= 0) {
            const int whole = exponent + 1;
            for (int i = 0; i < whole; ++i) *o++ = i < n ? digits[i] : '0';
            if (n > whole) {
                *o++ = '.';
                for (int i = whole; i < n; ++i) *o++ = digits[i];
            }
        } else {
            *o++ = '0';
            *o++ = '.';
            for (int i = 0; i < -exponent - 1; ++i) *o++ = '0';
            for (int i = 0; i < n; ++i) *o++ = digits[i];
        }
    } else {
        *o++ = digits[0];
        if (n > 1) {
            *o++ = '.';
            for (int i = 1; i < n; ++i) *o++ = digits[i];
        }
        *o++ = 'e';
        *o++ = exponent < 0 ? '-' : '+';
        o = std::to_chars(o, out + kMaxDoubleText, exponent < 0 ? -exponent : exponent).ptr;
    }
    return static_cast<std::size_t>(o - out);
}

CsvLines::CsvLines(std::vector<TextColumn> text, std::vector<const double*> floats, std::size_t n)
    : text_(std::move(text)), quoted_(text_.size()), n_(n), width_(floats.size()) {
    if (text_.empty() && width_ == 0) return;
    size_ = n_ * (text_.size() + width_);  // the separators and line ends
    for (std::size_t c = 0; c < text_.size(); ++c) {
        const TextColumn& col = text_[c];
        size_ += static_cast<std::size_t>(load(col.offsets, n_) - load(col.offsets, 0));
        if (!any_special(col.data + load(col.offsets, 0), col.data + load(col.offsets, n_)))
            continue;
        quoted_[c].assign(n_, 0);
        for (std::size_t i = 0; i < n_; ++i) {
            const unsigned char* b = col.data + load(col.offsets, i);
            const unsigned char* e = col.data + load(col.offsets, i + 1);
            if (any_special(b, e)) {
                quoted_[c][i] = 1;
                size_ += quoted_length(b, e) - static_cast<std::size_t>(e - b);
            }
        }
    }
    digits_.resize(n_ * width_ * kMaxDoubleText);
    lengths_.resize(n_ * width_);
    for (std::size_t i = 0; i < n_; ++i) {
        for (std::size_t j = 0; j < width_; ++j) {
            const std::size_t at = i * width_ + j;
            const std::size_t len =
                format_double(load(floats[j], i), &digits_[at * kMaxDoubleText]);
            lengths_[at] = static_cast<std::uint8_t>(len);
            size_ += lengths_[at];
        }
    }
}

void CsvLines::write(char* out) const {
    if (text_.empty() && width_ == 0) return;
    for (std::size_t i = 0; i < n_; ++i) {
        for (std::size_t c = 0; c < text_.size(); ++c) {
            const TextColumn& col = text_[c];
            const unsigned char* b = col.data + load(col.offsets, i);
            const unsigned char* e = col.data + load(col.offsets, i + 1);
            if (!quoted_[c].empty() && quoted_[c][i]) {
                *out++ = '"';
                for (const unsigned char* p = b; p != e; ++p) {
                    if (*p == '"') *out++ = '"';
                    *out++ = static_cast<char>(*p);
                }
                *out++ = '"';
            } else {
                const auto len = static_cast<std::size_t>(e - b);
                std::memcpy(out, b, len);
                out += len;
            }
            *out++ = ',';
        }
        for (std::size_t j = 0; j < width_; ++j) {
            const std::size_t at = i * width_ + j;
            std::memcpy(out, &digits_[at * kMaxDoubleText], lengths_[at]);
            out += lengths_[at];
            *out++ = ',';
        }
        out[-1] = '\n';
    }
}

}  // namespace orvelta::io
