// pelora_opt.plot: pictures of results, drawn with matplotlib. The module is
// Python source run once at initialisation; matplotlib is imported by the
// first drawing call, so importing pelora_opt never needs it.
#include <Python.h>

#include "python/registry.hpp"
#include "python/runtime/error.hpp"
#include "python/runtime/ref.hpp"

namespace pelora::py {

namespace {

constexpr const char kPlotSource[] = R"PY(
"""Pictures of pelora_opt results, drawn with matplotlib (imported on first use).

convergence(result) draws a black-box run's best value after every iteration;
front(points) draws a Pareto front from pareto_frontier (a scatter for two
objectives, a 3-D scatter for three). Both return the matplotlib Axes and draw
on `ax` when one is given."""

import math

__all__ = ["convergence", "front"]


def _pyplot():
    try:
        import matplotlib.pyplot as plt
    except ModuleNotFoundError as e:
        if e.name not in ("matplotlib", "matplotlib.pyplot"):
            raise
        raise ImportError("pelora_opt.plot needs the matplotlib package: pip install matplotlib "
                          "(or pip install \"pelora-opt[plot]\")", name="matplotlib") from e
    return plt


def convergence(result, ax=None, *, label=None, log=None):
    """Draw the best objective value of a black-box run after every iteration.

    result: a BlackBoxResult (its `history`), or a sequence of values.
    ax: the matplotlib Axes to draw on (default: the current Axes).
    label: the line's legend label. log: a logarithmic value axis; by default
    when every value is positive.
    Returns the Axes."""
    history = getattr(result, "history", result)
    values = [float(v) for v in history]
    if not values:
        raise ValueError("convergence() needs a result with a history (no iterations were run)")
    finite = [v for v in values if math.isfinite(v)]
    drawn = [v if math.isfinite(v) else math.nan for v in values]
    if ax is None:
        ax = _pyplot().gca()
    ax.plot(range(len(drawn)), drawn, drawstyle="steps-post", label=label)
    if log is None:
        log = bool(finite) and min(finite) > 0
    if log:
        ax.set_yscale("log")
    ax.set_xlabel("iteration")
    ax.set_ylabel("best objective")
    return ax


def _objectives(points):
    rows = []
    for p in points:
        values = p["objectives"] if isinstance(p, dict) else p
        rows.append([float(v) for v in values])
    if not rows:
        raise ValueError("front() needs at least one point")
    m = len(rows[0])
    if any(len(r) != m for r in rows):
        raise ValueError("front(): every point needs the same number of objectives")
    if m not in (2, 3):
        raise ValueError(f"front() draws two or three objectives; the points have {m}")
    return rows, m


def front(points, ax=None, *, labels=None, **scatter):
    """Draw a Pareto front: a scatter of two objectives, or a 3-D scatter of three.

    points: the list pareto_frontier returns (dicts with "objectives"), or
    sequences of objective values.
    ax: the matplotlib Axes to draw on (a 3-D Axes for three objectives;
    default: the current Axes for two, a new figure's 3-D Axes for three).
    labels: the axis labels (default "objective 1", "objective 2", ...).
    Further keywords go to Axes.scatter. Returns the Axes."""
    rows, m = _objectives(points)
    if labels is None:
        labels = [f"objective {i + 1}" for i in range(m)]
    if len(labels) != m:
        raise ValueError(f"front(): {m} objectives need {m} labels, got {len(labels)}")
    columns = [[r[i] for r in rows] for i in range(m)]
    if ax is None:
        plt = _pyplot()
        ax = plt.gca() if m == 2 else plt.figure().add_subplot(projection="3d")
    elif m == 3 and getattr(ax, "name", "") != "3d":
        raise ValueError("front(): three objectives need a 3-D Axes "
                         "(figure.add_subplot(projection=\"3d\"))")
    ax.scatter(*columns, **scatter)
    ax.set_xlabel(labels[0])
    ax.set_ylabel(labels[1])
    if m == 3:
        ax.set_zlabel(labels[2])
    return ax
)PY";

}  // namespace

void install_plot_module(PyObject* module) {
  Ref plot = check(PyModule_New("pelora_opt.plot"));
  PyObject* dict = PyModule_GetDict(plot.get());  // borrowed
  if (!dict) throw_already_set();
  PyObject* builtins = PyEval_GetBuiltins();  // borrowed
  if (!builtins) throw_already_set();
  check_status(PyDict_SetItemString(dict, "__builtins__", builtins));
  Ref code = check(Py_CompileString(kPlotSource, "<pelora_opt.plot>", Py_file_input));
  Ref done = check(PyEval_EvalCode(code.get(), dict, dict));
  check_status(PyModule_AddObjectRef(module, "plot", plot.get()));
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  check_status(PyDict_SetItemString(modules, "pelora_opt.plot", plot.get()));
}

}  // namespace pelora::py
