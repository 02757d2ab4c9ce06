#include "python/runtime/sigint.hpp"

#include "python/runtime/error.hpp"
#include "python/runtime/ref.hpp"

namespace pelora::py {

namespace {

// Process-wide, touched only with the interpreter lock held on the main
// thread.
struct Deferral {
  int depth = 0;          // armed deferrals
  bool recorded = false;  // a SIGINT came and was not answered yet
  bool raising = false;   // the handler raises KeyboardInterrupt too
  Ref previous;           // the handler to put back
};
Deferral g;

// The pieces of the signal module, looked up once (module-lifetime).
struct SignalModule {
  Ref module, sigint, default_handler, recorder;
  unsigned long main_thread = 0;
};

PyObject* record_sigint(PyObject*, PyObject*) {
  g.recorded = true;
  if (g.raising) {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyMethodDef kRecordDef = {"record_sigint", record_sigint, METH_VARARGS,
                          "Records a SIGINT that pelora_opt answers when it can."};

const SignalModule& signal_module() {
  static SignalModule* s = nullptr;
  if (s) return *s;
  SignalModule m;
  m.module = check(PyImport_ImportModule("signal"));
  m.sigint = check(PyObject_GetAttrString(m.module.get(), "SIGINT"));
  m.default_handler = check(PyObject_GetAttrString(m.module.get(), "default_int_handler"));
  m.recorder = check(PyCFunction_New(&kRecordDef, nullptr));
  Ref threading = check(PyImport_ImportModule("threading"));
  Ref main = check(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
  Ref ident = check(PyObject_GetAttrString(main.get(), "ident"));
  m.main_thread = PyLong_AsUnsignedLong(ident.get());
  if (PyErr_Occurred()) throw_already_set();
  if (!s) s = new SignalModule(std::move(m));  // lives for the process
  return *s;
}

// signal.signal(SIGINT, handler); false with the error set on failure (the
// call runs pending handlers first and changes nothing when one raises).
bool set_handler(const SignalModule& m, PyObject* handler) {
  Ref r = Ref::steal(
      PyObject_CallMethod(m.module.get(), "signal", "OO", m.sigint.get(), handler));
  return static_cast<bool>(r);
}

// Puts the previous handler back; a handler raising during the call's own
// check of pending signals stops it, so it is tried once more. The first
// error stays set.
bool restore_handler() {
  const SignalModule& m = signal_module();
  Ref previous = std::move(g.previous);
  g.depth = 0;
  if (set_handler(m, previous.get())) return true;
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (!set_handler(m, previous.get())) PyErr_Clear();
  PyErr_Restore(type, value, tb);
  return false;
}

}  // namespace

DeferSigint::DeferSigint() {
  if (g.depth > 0) {
    if (PyThread_get_thread_ident() != signal_module().main_thread) return;
    ++g.depth;
    armed_ = true;
    return;
  }
  // A signal that came before runs its handler now (KeyboardInterrupt with
  // the default one): nothing has started yet.
  if (PyErr_CheckSignals() < 0) throw_already_set();
  const SignalModule& m = signal_module();
  if (PyThread_get_thread_ident() != m.main_thread) return;
  Ref current = check(
      PyObject_CallMethod(m.module.get(), "getsignal", "O", m.sigint.get()));
  if (current.get() != m.default_handler.get()) return;  // the user's handler, or ignored
  if (!set_handler(m, m.recorder.get())) throw_already_set();
  g.previous = std::move(current);
  g.recorded = false;
  g.depth = 1;
  armed_ = owner_ = true;
}

DeferSigint::~DeferSigint() {
  if (!armed_ || done_) return;
  if (!owner_) {
    if (g.depth > 0) --g.depth;
    return;
  }
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  const bool interrupting =
      type && PyErr_GivenExceptionMatches(type, PyExc_KeyboardInterrupt);
  if (!restore_handler()) PyErr_Clear();
  // A KeyboardInterrupt on its way up answers the signal; anything else
  // leaves it to the restored handler.
  if (g.recorded && !interrupting) PyErr_SetInterrupt();
  g.recorded = false;
  PyErr_Restore(type, value, tb);
}

void DeferSigint::finish() {
  if (!armed_ || done_) return;
  done_ = true;
  if (!owner_) {
    if (g.depth > 0) --g.depth;
    check_sigint();
    return;
  }
  const bool restored = restore_handler();  // runs the recorder for a pending signal
  const bool recorded = g.recorded;
  g.recorded = false;
  if (!restored) throw_already_set();
  if (recorded) {
    // The restored handler raises it, as if the signal came now.
    PyErr_SetInterrupt();
    if (PyErr_CheckSignals() < 0) throw_already_set();
  }
}

bool sigint_recorded() {
  if (PyErr_CheckSignals() < 0) {
    // The recording handler's own KeyboardInterrupt (raised for a package)
    // is the record itself; anything else goes on up.
    if (!g.recorded || !PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) throw_already_set();
    PyErr_Clear();
  }
  // The record belongs to the main thread's call; another thread's wait or
  // run does not answer it.
  return g.recorded && PyThread_get_thread_ident() == signal_module().main_thread;
}

void sigint_answered() noexcept { g.recorded = false; }

void check_sigint() {
  if (!sigint_recorded()) return;
  g.recorded = false;
  PyErr_SetNone(PyExc_KeyboardInterrupt);
  throw_already_set();
}

RaisingSigint::RaisingSigint() noexcept : previous_(g.raising) { g.raising = true; }
RaisingSigint::~RaisingSigint() { g.raising = previous_; }

}  // namespace pelora::py
