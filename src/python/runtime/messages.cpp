#include "python/runtime/messages.hpp"

#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"
#include "python/runtime/ref.hpp"

namespace pelora::py {

namespace {

// Runs in a namespace of its own that holds PeloraWarning; `emit` is what
// warn_line and error_line call.
constexpr const char kMessagesSource[] = R"PY(
import logging
import sys
import warnings

logger = logging.getLogger("pelora_opt")


def _named_by_filter(text, module, lineno):
    # The action of the first warnings filter that names this warning, as
    # the warnings module would pick it; None when no filter names it.
    for action, message, category, mod, line in warnings.filters:
        if ((message is None or message.match(text)) and issubclass(PeloraWarning, category)
                and (mod is None or mod.match(module)) and (line == 0 or line == lineno)):
            return action
    return None


def _written_by_application(record, stream):
    # True when a handler other than ours, reached by this record, already
    # writes to `stream`: the line then appears once, in the application's form.
    lg = logger
    while lg is not None:
        for h in lg.handlers:
            if (h is not _display and isinstance(h, logging.StreamHandler)
                    and getattr(h, "stream", None) is stream and record.levelno >= h.level):
                return True
        lg = lg.parent if lg.propagate else None
    return False


class _StderrLine(logging.Handler):
    """Prints each message of the pelora_opt logger as it stands, one line on the
    current sys.stderr: the library's default display of its warnings. Remove it
    (logging.getLogger("pelora_opt").removeHandler) or raise the logger's level to
    silence the lines."""

    def emit(self, record):
        if getattr(record, "pelora_shown", False):
            return
        stream = sys.stderr
        if stream is None or _written_by_application(record, stream):
            return
        try:
            stream.write(record.getMessage() + "\n")
            stream.flush()
        except Exception:
            self.handleError(record)


_display = _StderrLine()
logger.addHandler(_display)


def emit(text, level):
    try:
        frame = sys._getframe(1)  # the caller of the pelora_opt function
        module, lineno = frame.f_globals.get("__name__", "<string>"), frame.f_lineno
    except ValueError:
        module, lineno = "sys", 0
    named = (_named_by_filter(text, module, lineno) is not None
             or warnings.defaultaction != "default")
    if named:
        warnings.warn(text, PeloraWarning, stacklevel=2)  # raises for "error"
    logger.log(level, text, extra={"pelora_shown": named}, stacklevel=2)
)PY";

PyObject* g_emit = nullptr;  // lives for the process, like the module

// Runs the source above once, on the first message: importing pelora_opt
// does not import logging.
PyObject* emitter() {
  if (g_emit) return g_emit;
  PyObject* warning = pelora_warning_type();
  if (!warning) throw_already_set();
  Ref globals = check(PyDict_New());
  check_status(PyDict_SetItemString(globals.get(), "__name__", py_str("pelora_opt").get()));
  check_status(PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()));
  check_status(PyDict_SetItemString(globals.get(), "PeloraWarning", warning));
  Ref code = check(Py_CompileString(kMessagesSource, "<pelora_opt messages>", Py_file_input));
  Ref done = check(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
  PyObject* emit = PyDict_GetItemString(globals.get(), "emit");  // borrowed
  if (!emit) throw_runtime_error("pelora_opt messages: emit missing");
  if (!g_emit) {  // a handler's import may have issued a message meanwhile
    Py_INCREF(emit);
    g_emit = emit;
  }
  return g_emit;
}

void issue(std::string_view line, int level) {
  PyObject* emit = emitter();
  Ref text = py_str(line);
  Ref lvl = py_int(level);
  call(emit, text.get(), lvl.get());
}

}  // namespace

PyObject* pelora_warning_type() {
  static PyObject* type = nullptr;
  return exception_type_once(
      type, "pelora_opt.PeloraWarning",
      "Warnings of pelora_opt: an option it does not know, a solver that drops "
      "integrality, a solver stopped at its limit, a model no solver can take whole. "
      "warnings.simplefilter(\"error\", PeloraWarning) turns them into exceptions; "
      "the \"pelora_opt\" logger receives each of them too.",
      PyExc_UserWarning);
}

void install_messages(PyObject* module) {
  PyObject* warning = pelora_warning_type();
  if (!warning) throw_already_set();
  check_status(PyModule_AddObjectRef(module, "PeloraWarning", warning));
}

void warn_line(std::string_view line) { issue(line, 30); }   // logging.WARNING
void error_line(std::string_view line) { issue(line, 40); }  // logging.ERROR

}  // namespace pelora::py
