#include "python/runtime/imports.hpp"

#include <string_view>

#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"
#include "python/runtime/ref.hpp"

namespace pelora::py {

namespace {

thread_local const ImportPurpose* t_purpose = nullptr;

struct Package {
  const char* name;   // import name, also the name pip installs it by
  const char* extra;  // the extra of this distribution that brings it, or null
};

// The packages the library imports: one of them missing, even while another
// is imported (osqp imports scipy), is named as such.
constexpr Package kPackages[] = {
    {"numpy", nullptr},       {"highspy", nullptr},    {"scipy", "solvers"},
    {"osqp", "solvers"},      {"clarabel", "solvers"}, {"casadi", "solvers"},
    {"pyscipopt", "solvers"}, {"matplotlib", "plot"},
};

const Package* known(std::string_view name) {
  for (const Package& p : kPackages) {
    if (name == p.name) return &p;
  }
  return nullptr;
}

// The top-level package the ModuleNotFoundError names ("" when none).
std::string missing_package(PyObject* error) {
  Ref missing = Ref::steal(PyObject_GetAttrString(error, "name"));
  if (!missing) {
    PyErr_Clear();
    return {};
  }
  if (!PyUnicode_Check(missing.get())) return {};
  Py_ssize_t n = 0;
  const char* c = PyUnicode_AsUTF8AndSize(missing.get(), &n);
  if (!c) {
    PyErr_Clear();
    return {};
  }
  const std::string_view name(c, static_cast<size_t>(n));
  return std::string(name.substr(0, name.find('.')));
}

}  // namespace

ImportPurpose::ImportPurpose(std::string what) : what_(std::move(what)), outer_(t_purpose) {
  t_purpose = this;
}

ImportPurpose::~ImportPurpose() { t_purpose = outer_; }

std::string import_purpose() { return t_purpose ? t_purpose->what_ : "pelora-opt"; }

bool package_importable(const char* package) {
  Ref module = Ref::steal(import_module_raw(package));
  if (module) return true;
  if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw_already_set();
  PyErr_Clear();
  return false;
}

void throw_import_failure(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) throw_already_set();
  const std::string_view full(name);
  const std::string_view top = full.substr(0, full.find('.'));
  PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  Ref type = Ref::steal(t), value = Ref::steal(v), trace = Ref::steal(tb);
  const std::string package = value ? missing_package(value.get()) : std::string();
  // Another module missing (a dependency of the package that this library
  // does not know) keeps its own error: naming a package would mislead.
  const Package* p = known(package);
  if (package.empty() || (package != top && !p)) {
    PyErr_Restore(type.release(), value.release(), trace.release());
    throw_already_set();
  }
  if (trace) check_status(PyException_SetTraceback(value.get(), trace.get()));
  std::string message = import_purpose() + " needs the " + package + " package: pip install " +
                        package;
  if (p && p->extra) message += std::string(" (or pip install \"pelora-opt[") + p->extra + "]\")";
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
