#include "python/runtime/imports.hpp"

#include <string_view>

#include "python/runtime/error.hpp"
#include "python/runtime/ref.hpp"

namespace pelora::py {

namespace {

thread_local const ImportPurpose* t_purpose = nullptr;

// Packages installed through an extra of this distribution.
const char* extra_of(std::string_view package) {
  for (const char* p : {"scipy", "osqp", "clarabel", "casadi", "pyscipopt"}) {
    if (package == p) return "solvers";
  }
  return package == "matplotlib" ? "plot" : nullptr;
}

bool names_package(PyObject* error, const std::string& package) {
  Ref missing = Ref::steal(PyObject_GetAttrString(error, "name"));
  if (!missing) {
    PyErr_Clear();
    return false;
  }
  if (!PyUnicode_Check(missing.get())) return false;
  Py_ssize_t n = 0;
  const char* c = PyUnicode_AsUTF8AndSize(missing.get(), &n);
  if (!c) {
    PyErr_Clear();
    return false;
  }
  return std::string_view(c, static_cast<size_t>(n)) == package;
}

}  // namespace

ImportPurpose::ImportPurpose(std::string what) : what_(std::move(what)), outer_(t_purpose) {
  t_purpose = this;
}

ImportPurpose::~ImportPurpose() { t_purpose = outer_; }

std::string import_purpose() { return t_purpose ? t_purpose->what_ : "pelora-opt"; }

void throw_import_failure(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) throw_already_set();
  const std::string_view full(name);
  const std::string package(full.substr(0, full.find('.')));
  PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  Ref type = Ref::steal(t), value = Ref::steal(v), trace = Ref::steal(tb);
  if (!value || !names_package(value.get(), package)) {
    PyErr_Restore(type.release(), value.release(), trace.release());
    throw_already_set();
  }
  if (trace) check_status(PyException_SetTraceback(value.get(), trace.get()));
  std::string message = import_purpose() + " needs the " + package + " package: pip install " +
                        package;
  if (const char* extra = extra_of(package)) {
    message += std::string(" (or pip install \"pelora-opt[") + extra + "]\")";
  }
  Ref text = check(PyUnicode_FromStringAndSize(message.data(),
                                               static_cast<Py_ssize_t>(message.size())));
  Ref args = check(PyTuple_Pack(1, text.get()));
  Ref kwargs = check(PyDict_New());
  Ref pkg = check(PyUnicode_FromString(package.c_str()));
  check_status(PyDict_SetItemString(kwargs.get(), "name", pkg.get()));
  Ref error = check(PyObject_Call(PyExc_ImportError, args.get(), kwargs.get()));
  PyException_SetCause(error.get(), value.release());  // steals the cause
  PyErr_SetObject(PyExc_ImportError, error.get());
  throw_already_set();
}

}  // namespace pelora::py
