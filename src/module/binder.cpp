#include "module/binder.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "module/bulk.hpp"
#include "module/pyref.hpp"

namespace ostrel::module {
namespace {

// A sequence's reported length only sizes the first reservation: a __len__
// that lies (or a length beyond memory) must not decide how much is allocated.
constexpr Py_ssize_t kMaxReserve = 1 << 16;

// The __qualname__ of the object's type, or a placeholder when it cannot be
// read as a string. False, with that error pending, when reading it raised an
// error that must pass on.
bool type_qualname(PyObject* object, std::string& out) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)),
                                                 "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
        if (text != nullptr) {
            out.assign(text, static_cast<std::size_t>(size));
            return true;
        }
    }
    if (error_must_pass_on()) return false;
    PyErr_Clear();
    out = "<failed to extract type name>";
    return true;
}

bool is_native_float64_format(const char* format) {
    if (format == nullptr) return false;
    if (std::strcmp(format, "d") == 0 || std::strcmp(format, "@d") == 0 ||
        std::strcmp(format, "=d") == 0) {
        return true;
    }
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return std::strcmp(format, "<d") == 0;
#else
    return std::strcmp(format, ">d") == 0;
#endif
}

// A one-dimensional, C-contiguous float64 NumPy array is copied in one pass:
// its items are float subclasses, so the generic path would give the same
// values. Only exact ndarrays qualify (subclasses may iterate differently).
// Returns true when the fast path applied.
bool try_copy_float64_array(PyObject* object, FloatVec& out) {
    if (std::strcmp(Py_TYPE(object)->tp_name, "numpy.ndarray") != 0) return false;
    if (!PyObject_CheckBuffer(object)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        return false;
    }
    const bool usable = view.ndim == 1 && view.itemsize == static_cast<Py_ssize_t>(sizeof(double)) &&
                        is_native_float64_format(view.format);
    if (usable) {
        const auto count = static_cast<std::size_t>(view.len) / sizeof(double);
        const auto* data = static_cast<const double*>(view.buf);
        out.assign(data, data + count);
    }
    PyBuffer_Release(&view);
    return usable;
}

// The value of an exact float. PyPy's PyFloat_AS_DOUBLE is a call into the
// interpreter; the value is also in the object's C struct, which both
// interpreters fill when the object is made.
inline double exact_float_value(PyObject* object) {
    return reinterpret_cast<PyFloatObject*>(object)->ob_fval;
}

// Items of an exact list or tuple, read by index. The length is re-read at
// every step, as the list iterator does, in case an item's __float__ changes
// the list.
template <class SizeFn, class ItemFn>
bool copy_items(PyObject* object, FloatVec& out, SizeFn size, ItemFn item) {
    out.reserve(static_cast<std::size_t>(std::min(size(object), kMaxReserve)));
    for (Py_ssize_t i = 0; i < size(object); ++i) {
        PyObject* element = item(object, i);
        if (Py_IS_TYPE(element, &PyFloat_Type)) {
            out.push_back(exact_float_value(element));
            continue;
        }
        Ref hold = Ref::borrow(element);
        double value;
        if (!convert_float(hold.get(), value)) return false;
        out.push_back(value);
    }
    return true;
}

// repr() of a str, as UTF-8; the repr of a str subclass is taken from a plain
// copy, so that no __repr__ of the caller's runs. Throws PythonError.
std::string str_repr(PyObject* text) {
    Ref plain = Ref::steal(PyUnicode_FromObject(text));
    Ref shown = plain ? Ref::steal(PyObject_Repr(plain.get())) : Ref();
    Py_ssize_t size = 0;
    const char* utf8 = shown ? PyUnicode_AsUTF8AndSize(shown.get(), &size) : nullptr;
    if (utf8 == nullptr) throw PythonError{};
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                out += " and ";
            } else if (i + 1 == names.size()) {
                out += ", and ";
            } else {
                out += ", ";
            }
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

}  // namespace

bool error_must_pass_on() {
    PyObject* type = PyErr_Occurred();
    return type != nullptr && (!PyErr_GivenExceptionMatches(type, PyExc_Exception) ||
                               PyErr_GivenExceptionMatches(type, PyExc_MemoryError));
}

void set_cannot_convert(PyObject* object, const char* target) {
    std::string name;
    if (!type_qualname(object, name)) return;
    std::string message = "'";
    message += name;
    message += "' object cannot be converted to '";
    message += target;
    message += '\'';
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

bool convert_float(PyObject* object, double& out) {
    if (Py_IS_TYPE(object, &PyFloat_Type)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool convert_vector(PyObject* object, FloatVec& out) {
    out.clear();
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) {
        set_cannot_convert(object, "Sequence");
        return false;
    }
    if (PyList_CheckExact(object)) {
        switch (read_float_list(object, out)) {
            case Bulk::done:
                return true;
            case Bulk::failed:
                return false;
            case Bulk::skipped:
                break;
        }
        return copy_items(
            object, out, [](PyObject* o) { return PyList_GET_SIZE(o); },
            [](PyObject* o, Py_ssize_t i) { return PyList_GET_ITEM(o, i); });
    }
    if (PyTuple_CheckExact(object)) {
        return copy_items(
            object, out, [](PyObject* o) { return PyTuple_GET_SIZE(o); },
            [](PyObject* o, Py_ssize_t i) { return PyTuple_GET_ITEM(o, i); });
    }
    if (try_copy_float64_array(object, out)) return true;

    const Py_ssize_t size = PySequence_Size(object);
    if (size < 0) {
        if (error_must_pass_on()) return false;
        PyErr_Clear();
    } else {
        out.reserve(static_cast<std::size_t>(std::min(size, kMaxReserve)));
    }
    Ref iterator = Ref::steal(PyObject_GetIter(object));
    if (!iterator) return false;
    while (true) {
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) return PyErr_Occurred() == nullptr;
        double value;
        if (!convert_float(item.get(), value)) return false;
        out.push_back(value);
    }
}

bool convert_bool(PyObject* object, bool& out) {
    if (!Py_IS_TYPE(object, &PyBool_Type)) {
        set_cannot_convert(object, "PyBool");
        return false;
    }
    out = object == Py_True;
    return true;
}

void bind_slots(const ParseSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** slots) {
    const auto n_params = static_cast<Py_ssize_t>(spec.params.size());
    const std::string fname = std::string(spec.name) + "()";
    if (nargs > n_params) {
        const std::string taken =
            spec.required == spec.params.size()
                ? std::to_string(n_params)
                : "from " + std::to_string(spec.required) + " to " + std::to_string(n_params);
        throw_type_error(fname + " takes " + taken + " positional arguments but " +
                         std::to_string(nargs) + " were given");
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

    const Py_ssize_t n_keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < n_keywords; ++k) {
        PyObject* key = PyTuple_GetItem(kwnames, k);
        if (key == nullptr) throw PythonError{};
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &size);
        if (text == nullptr) {
            // A name without a UTF-8 form (a lone surrogate) is no parameter's
            // name: it is unexpected, and shown as repr shows it.
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PythonError{};
            PyErr_Clear();
            throw_type_error(fname + " got an unexpected keyword argument " + str_repr(key));
        }
        const std::string keyword(text, static_cast<std::size_t>(size));
        Py_ssize_t found = -1;
        for (Py_ssize_t p = 0; p < n_params; ++p) {
            if (keyword == spec.params.begin()[p]) {
                found = p;
                break;
            }
        }
        if (found < 0) {
            throw_type_error(fname + " got an unexpected keyword argument '" + keyword + "'");
        }
        if (slots[found] != nullptr) {
            throw_type_error(fname + " got multiple values for argument '" + keyword + "'");
        }
        slots[found] = args[nargs + k];
    }

    if (static_cast<std::size_t>(nargs) < spec.required) {
        std::vector<const char*> missing;
        for (std::size_t p = 0; p < spec.required; ++p) {
            if (slots[p] == nullptr) missing.push_back(spec.params.begin()[p]);
        }
        if (!missing.empty()) {
            throw_type_error(fname + " missing " + std::to_string(missing.size()) +
                             " required positional argument" + (missing.size() == 1 ? "" : "s") +
                             ": " + quoted_list(missing));
        }
    }
}

void throw_argument_error(const char* name) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(type, value, traceback);
        throw PythonError{};
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value),
        owned_traceback = Ref::steal(traceback);
    Ref text = Ref::steal(PyObject_Str(value));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) {
        // The original message cannot be read: report the original error,
        // unless reading it raised an error that must pass on.
        if (error_must_pass_on()) throw PythonError{};
        PyErr_Clear();
        PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
        throw PythonError{};
    }
    const std::string message = std::string("argument '") + name + "': " + utf8;
    Ref renamed = Ref::steal(PyObject_CallFunction(PyExc_TypeError, "s", message.c_str()));
    if (!renamed) throw PythonError{};
    PyObject* cause = PyException_GetCause(value);  // new reference or nullptr
    if (cause != nullptr) PyException_SetCause(renamed.get(), cause);  // steals `cause`
    PyErr_SetObject(PyExc_TypeError, renamed.get());
    throw PythonError{};
}

}  // namespace ostrel::module
