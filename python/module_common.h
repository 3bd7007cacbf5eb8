// module_common.h - helpers shared by the Python module's source files.
#ifndef ASRC_PYTHON_MODULE_COMMON_H
#define ASRC_PYTHON_MODULE_COMMON_H

#include <pybind11/pybind11.h>

#include <cstring>
#include <string>

namespace asrc_python {

// "list", "numpy.int16": the type's name, with its module unless built in.
inline std::string type_name(const pybind11::handle& obj)
{
    const pybind11::handle type = pybind11::type::handle_of(obj);
    const auto name = pybind11::str(type.attr("__qualname__")).cast<std::string>();
    const auto module = pybind11::str(type.attr("__module__")).cast<std::string>();
    return module == "builtins" ? name : module + "." + name;
}

// Reads the T at `at`; memcpy because a view into a byte buffer need not be
// aligned.
template <typename T>
T load(const char* at)
{
    T v;
    std::memcpy(&v, at, sizeof v);
    return v;
}

// The Q1.31 converter's part of the module (q31_module.cpp).
void add_q31(pybind11::module_& m);

} // namespace asrc_python

#endif
