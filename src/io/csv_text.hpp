// CSV text of a book's output lines: the input's text fields as they came
// (quoted where they must be) followed by new float columns written so that
// they read back to the same doubles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvelta::io {

// Longest text format_double writes ("-2.2250738585072014e-308" is 24).
constexpr std::size_t kMaxDoubleText = 32;

// Shortest text that reads back to x, in Arrow's layout: plain decimals for
// decimal exponents -6 to 9 ("0.000015", "1500000000"), otherwise
// "1.5e+10" / "1.5e-7"; "nan", "inf", "-inf", "-0". Writes at most
// kMaxDoubleText bytes at out and returns their number.
std::size_t format_double(double x, char* out);

// One string column: field i is data[offsets[i], offsets[i + 1]).
struct TextColumn {
    const std::int32_t* offsets;
    const unsigned char* data;
};

// n CSV lines, each the text fields then the float fields, comma separated
// and ended by "\n". A text field holding a quote, comma, CR or LF is quoted
// with its quotes doubled. Offsets must be checked by the caller: non-
// decreasing, within their data.
class CsvLines {
public:
    CsvLines(std::vector<TextColumn> text, std::vector<const double*> floats, std::size_t n);
    std::size_t size() const { return size_; }
    void write(char* out) const;  // exactly size() bytes

private:
    std::vector<TextColumn> text_;
    std::vector<std::vector<std::uint8_t>> quoted_;  // per text column: empty if none is quoted
    std::size_t n_;
    std::size_t width_;                  // float columns
    std::vector<char> digits_;           // kMaxDoubleText bytes per float, row-major
    std::vector<std::uint8_t> lengths_;  // their lengths
    std::size_t size_ = 0;
};

}  // namespace orvelta::io
