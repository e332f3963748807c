#include "common/checks.hpp"

#include <charconv>
#include <cmath>
#include <stdexcept>
#include <string>

namespace orvelta {

namespace {

// The number as Python's repr writes it (1.0, 1e-05, inf, nan), so that the
// message matches the one the Python layer gives for the same value.
std::string python_repr(double x) {
    if (std::isnan(x)) return "nan";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    char buf[64];
    const double a = std::fabs(x);
    const bool fixed = a == 0.0 || (a >= 1e-4 && a < 1e16);
    const auto res = fixed ? std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed)
                           : std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    std::string text(buf, res.ptr);
    if (fixed) {
        if (text.find('.') == std::string::npos) text += ".0";
    } else {
        // Python writes at least two exponent digits: 1e-05, 1e+16.
        const auto e = text.find('e');
        std::string mant = text.substr(0, e), exp = text.substr(e + 1);
        const char sign = exp[0] == '-' ? '-' : '+';
        if (exp[0] == '-' || exp[0] == '+') exp = exp.substr(1);
        if (exp.size() < 2) exp = "0" + exp;
        text = mant + "e" + sign + exp;
    }
    return text;
}

}  // namespace

void require_tol(double tol) {
    if (!(tol > 0.0) || !std::isfinite(tol)) {
        throw std::invalid_argument("tol must be a positive finite number, got " +
                                    python_repr(tol));
    }
}

}  // namespace orvelta
