// CSV lines of the command line's output, assembled without the interpreter lock.
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bindings/engines/engines.hpp"
#include "io/csv_text.hpp"

namespace orvelta::bindings {

namespace {

using u8_array = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;

// Bytes of n lines from string columns given as Arrow offsets (n + 1 int32
// each, already shifted to the column's slice) and data buffers, then float
// columns of n values.
template <typename Array>
std::vector<Array> arrays(const py::sequence& items) {
    std::vector<Array> out;
    for (const py::handle item : items) out.push_back(py::cast<Array>(item));
    return out;
}

py::bytes csv_lines(const py::sequence& offsets_in, const py::sequence& data_in,
                    const py::sequence& floats_in) {
    const auto offsets = arrays<i32_array>(offsets_in);
    const auto data = arrays<u8_array>(data_in);
    const auto floats = arrays<f64_array>(floats_in);
    if (offsets.size() != data.size())
        throw py::value_error("one data buffer is needed per offsets array");
    py::ssize_t n = -1;
    auto same_rows = [&n](py::ssize_t rows) {
        if (n >= 0 && rows != n)
            throw py::value_error("all columns must have the same number of rows");
        n = rows;
    };
    std::vector<io::TextColumn> text;
    for (std::size_t c = 0; c < offsets.size(); ++c) {
        const py::ssize_t len = offsets[c].unchecked<1>().shape(0);
        if (len < 1) throw py::value_error("offsets need at least one entry");
        same_rows(len - 1);
        const std::int32_t* off = data_1d(offsets[c]);
        const py::ssize_t size = data[c].unchecked<1>().shape(0);
        const auto at = [off](py::ssize_t i) {
            std::int32_t v;
            std::memcpy(&v, off + i, sizeof v);  // the view may not be aligned
            return v;
        };
        if (at(0) < 0 || at(len - 1) > size)
            throw py::value_error("offsets outside their data buffer");
        for (py::ssize_t i = 0; i + 1 < len; ++i) {
            if (at(i + 1) < at(i)) throw py::value_error("offsets must be non-decreasing");
        }
        text.push_back({off, data[c].data()});
    }
    std::vector<const double*> values;
    for (const f64_array& f : floats) {
        same_rows(f.unchecked<1>().shape(0));
        values.push_back(f.data());
    }
    if (n < 0) return py::bytes("");
    std::string out;
    {
        py::gil_scoped_release unlocked;
        const io::CsvLines lines(std::move(text), std::move(values), static_cast<std::size_t>(n));
        out.resize(lines.size());
        lines.write(out.data());
    }
    return py::bytes(out);
}

py::str format_double(double x) {
    char buf[io::kMaxDoubleText];
    return py::str(buf, io::format_double(x, buf));
}

}  // namespace

void register_io(py::module_& m) {
    m.def("_csv_lines", &csv_lines, py::arg("offsets"), py::arg("data"), py::arg("floats"));
    m.def("_format_double", &format_double, py::arg("x"));
}

}  // namespace orvelta::bindings
