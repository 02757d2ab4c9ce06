#include "python/blackbox/frame.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>

#include "python/blackbox/evaluate.hpp"
#include "python/runtime/args.hpp"
#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"
#include "python/runtime/sigint.hpp"

namespace pelora::py::blackbox {

namespace {

// Helpers that must be importable by name in a worker process (pickle
// finds them as pelora_opt._Score and so on), so they are defined in the
// module's own namespace when it is first imported. Each wrapper applies
// the scoring rule in the worker: a failure derived from Exception scores
// +inf, anything else (KeyboardInterrupt) propagates.
constexpr const char* kHelperSource = R"PY(
def _install():
    import collections
    import itertools

    inf = float("inf")

    def score(value):
        try:
            return float(value)
        except Exception:
            return inf

    class _Score:
        """func(x) at one point, scored."""
        __slots__ = ("func",)

        def __init__(self, func):
            self.func = func

        def __call__(self, x):
            try:
                return float(self.func(x))
            except Exception:
                return inf

        def __reduce__(self):
            return (_Score, (self.func,))

    class _Mean:
        """The unweighted mean of func(x, s) over the scenarios, in order."""
        __slots__ = ("func", "scenarios")

        def __init__(self, func, scenarios):
            self.func = func
            self.scenarios = scenarios

        def __call__(self, x):
            total = 0.0
            for s in self.scenarios:
                try:
                    total += float(self.func(x, s))
                except Exception:
                    total += inf
            return total / len(self.scenarios) if self.scenarios else float("nan")

        def __reduce__(self):
            return (_Mean, (self.func, self.scenarios))

    class _Vector:
        """Every objective at one point, in list order, each scored."""
        __slots__ = ("funcs",)

        def __init__(self, funcs):
            self.funcs = funcs

        def __call__(self, x):
            out = []
            for f in self.funcs:
                try:
                    out.append(float(f(x)))
                except Exception:
                    out.append(inf)
            return out

        def __reduce__(self):
            return (_Vector, (self.funcs,))

    def _values(func, xs, *extra):
        # One call for many points; a raising call scores every point.
        try:
            out = func(xs, *extra)
        except Exception:
            return [inf] * len(xs)
        exact = isinstance(out, (list, tuple))
        try:
            # Never more than one item past the points: a length the
            # object claims is not trusted.
            out = out if exact else list(itertools.islice(iter(out), len(xs) + 1))
        except TypeError:
            raise TypeError("a vectorized objective must return a sequence of values, got "
                            + type(out).__name__) from None
        if len(out) != len(xs):
            got = f"more than {len(xs)}" if len(out) > len(xs) and not exact else str(len(out))
            raise ValueError("a vectorized objective must return one value per point: got "
                             f"{got} values for {len(xs)} points")
        return [score(v) for v in out]

    class _Vectorised:
        """func(points) -> values, scored (vectorized=True)."""
        __slots__ = ("func",)

        def __init__(self, func):
            self.func = func

        def __call__(self, xs):
            return _values(self.func, xs)

        def __reduce__(self):
            return (_Vectorised, (self.func,))

    class _VectorisedMean:
        """The scenario mean with scenario_func(points, s) -> values."""
        __slots__ = ("func", "scenarios")

        def __init__(self, func, scenarios):
            self.func = func
            self.scenarios = scenarios

        def __call__(self, xs):
            if not self.scenarios:
                return [float("nan")] * len(xs)
            totals = [0.0] * len(xs)
            for s in self.scenarios:
                for i, v in enumerate(_values(self.func, xs, s)):
                    totals[i] += v
            n = len(self.scenarios)
            return [t / n for t in totals]

        def __reduce__(self):
            return (_VectorisedMean, (self.func, self.scenarios))

    class _VectorisedAll:
        """Every objective called once with all points; one list per point."""
        __slots__ = ("funcs",)

        def __init__(self, funcs):
            self.funcs = funcs

        def __call__(self, xs):
            columns = [_values(f, xs) for f in self.funcs]
            return [list(row) for row in zip(*columns)] if columns else [[] for _ in xs]

        def __reduce__(self):
            return (_VectorisedAll, (self.funcs,))

    class _Part:
        """part(rho, target) for one ADMM part; None when it raises."""
        __slots__ = ()

        def __call__(self, item):
            part, rho, target = item
            try:
                return part(rho, target)
            except Exception:
                return None

        def __reduce__(self):
            return (_Part, ())

    class _OnePoint:
        """A vectorized objective at a single point: func([x])[0]."""
        __slots__ = ("func",)

        def __init__(self, func):
            self.func = func

        def __call__(self, x):
            return self.func([x])[0]

        def __reduce__(self):
            return (_OnePoint, (self.func,))

    class _Weighted:
        __slots__ = ("f1", "f2", "w")

        def __init__(self, f1, f2, w):
            self.f1, self.f2, self.w = f1, f2, w

        def __call__(self, x):
            try:
                a = float(self.f1(x))
            except Exception:
                a = inf
            try:
                b = float(self.f2(x))
            except Exception:
                b = inf
            return self.w * a + (1.0 - self.w) * b

    class _SweepRun:
        """One differential-evolution run of the weighted-sum sweep."""
        __slots__ = ("f1", "f2", "bounds", "settings")

        def __init__(self, f1, f2, bounds, settings):
            self.f1, self.f2, self.bounds, self.settings = f1, f2, bounds, settings

        def __call__(self, item):
            w, seed = item
            run = solve_de(_Weighted(self.f1, self.f2, w), self.bounds, seed=seed,
                           **self.settings)
            return run.x, _Vector([self.f1, self.f2])(run.x), run.evaluations

        def __reduce__(self):
            return (_SweepRun, (self.f1, self.f2, self.bounds, self.settings))

    class _PoolMap:
        """map over a process pool that one call starts and closes."""

        def __init__(self, n):
            import concurrent.futures
            import os
            self.n = (os.cpu_count() or 1) if n == -1 else n
            self.pool = concurrent.futures.ProcessPoolExecutor(self.n)

        def __call__(self, func, items):
            items = list(items)
            chunk = max(1, -(-len(items) // self.n))
            # Submitting (which starts the worker processes) runs with Ctrl-C
            # held back: cut short half-way, the pool could neither run nor
            # shut down. Waiting for the results is where Ctrl-C lands.
            results = _deferred(self.pool.map, func, items, chunksize=chunk)
            return list(results)

        def close(self, cancel):
            # A run that did not finish stops its workers rather than waiting
            # for the work they hold.
            procs = list((getattr(self.pool, "_processes", None) or {}).values())
            if cancel:
                stop = getattr(self.pool, "terminate_workers", None)
                if stop is not None:
                    stop()
                else:
                    for p in procs:
                        p.terminate()
            self.pool.shutdown(wait=True, cancel_futures=cancel)
            for p in procs:
                p.join()

    class _Chunk:
        """func at every point of a list of points: one task per chunk."""
        __slots__ = ("func",)

        def __init__(self, func):
            self.func = func

        def __call__(self, xs):
            return [self.func(x) for x in xs]

        def __reduce__(self):
            return (_Chunk, (self.func,))

    def _chunks(items, parts):
        size = max(1, -(-len(items) // parts))
        return [items[i:i + size] for i in range(0, len(items), size)]

    class _Raised:
        """An exception raised on a worker, carried back as a value: Dask
        reports an Exception from a task, but one derived only from
        BaseException (SystemExit, a user's own) leaves the task unfinished,
        and the caller would wait for it for ever."""
        __slots__ = ("exc",)

        def __init__(self, exc):
            self.exc = exc

        def __reduce__(self):
            return (_Raised, (self.exc,))

    def _carried(exc):
        # The exception as it pickles (with its traceback where tblib, which
        # Dask depends on, can carry it), else its repr, as Dask does.
        import pickle
        try:
            from tblib import pickling_support
            pickling_support.install(exc)
        except Exception:
            pass
        try:
            pickle.loads(pickle.dumps(exc))
        except Exception:
            exc = Exception(repr(exc))
        return _Raised(exc)

    def _run_chunk(func, chunk):
        try:
            return func(chunk)
        except Exception:
            raise
        except BaseException as exc:
            return _carried(exc)

    def _unwrap(values):
        for v in values:
            if type(v) is _Raised:
                raise v.exc
        return values

    class _Evaluator:
        """A Dask actor on one worker for one run: it holds the callable the
        run maps over chunks of points, so that a generation sends only its
        points, and answers each call straight from the worker (no task for
        the scheduler to place). Chunks of one call run on the worker's
        threads, one chunk a thread."""

        def __init__(self, func, threads):
            self.func = func
            self.threads = threads
            self.pool = None

        def evaluate(self, chunks):
            try:
                if self.threads > 1 and len(chunks) > 1:
                    if self.pool is None:
                        import concurrent.futures
                        self.pool = concurrent.futures.ThreadPoolExecutor(self.threads)
                    return list(self.pool.map(self.func, chunks))
                return [self.func(c) for c in chunks]
            except BaseException as exc:
                return _carried(exc)

        def __del__(self):
            if self.pool is not None:
                self.pool.shutdown(wait=False)

    class _DaskPoints:
        """A run's chunks of points on a Dask client: one _Evaluator actor per
        worker, made when the first chunks go out, one call per worker for
        each generation. Should an actor become unreachable (its worker
        left), the generation and the rest of the run go out as tasks."""

        def __init__(self, client):
            self.client = client
            try:
                self.workers = [(a, max(1, int(n))) for a, n in client.nthreads().items()]
            except Exception:
                self.workers = []
            self.parts = 0
            for _, n in self.workers:  # (`sum` here is the module's own, for expressions)
                self.parts += n
            self.parts = max(1, self.parts)
            self.func = None
            self.actors = self.futures = None
            self.shipped = None  # the objective scattered for the tasks

        def _start(self, func):
            client = self.client
            futures = [client.submit(_Evaluator, func, n, actor=True, workers=[a],
                                     allow_other_workers=True, pure=False)
                       for a, n in self.workers]
            # An actor proxy binds to the client current where it is made,
            # which for one made by an in-process worker (or on the client's
            # event loop) need not be this one: each is made again here,
            # from its pickled form, with this client current.
            import pickle
            with client.as_current():
                actors = [pickle.loads(pickle.dumps(a)) for a in client.gather(futures)]
            self.actors = list(zip(actors, (n for _, n in self.workers)))
            self.futures = futures

        def __call__(self, func, chunks, timeout):
            if func is not self.func:
                self.close(True)
                self.func, self.shipped = func, None
                if self.workers:
                    try:
                        self._start(func)
                    except Exception:
                        self.close(True)
            if self.actors is not None:
                out = self._on_actors(chunks, timeout)
                if out is not None:
                    return out
            if self.shipped is None:
                self.shipped = _dask_ship(self.client, func)
            return _dask_map(self.client, self.shipped, chunks, timeout)

        def close(self, cancel):
            # Dask's actor proxies sit in reference cycles, so their futures
            # would hold the actors on the workers until a garbage
            # collection: cancelling them lets the workers drop the actors
            # now. (Only a message to the scheduler; nothing is awaited.)
            futures, self.actors, self.futures = self.futures, None, None
            if futures:
                try:
                    self.client.cancel(futures)
                except Exception:
                    pass

        def _on_actors(self, chunks, timeout):
            import time
            # None when an actor cannot be reached (its worker left, the
            # actor was lost): the caller then sends the chunks as tasks.
            deadline = None if timeout is None else time.monotonic() + timeout
            calls, at, out = [], 0, []
            try:
                for actor, n in self.actors:
                    if at >= len(chunks):
                        break
                    calls.append((actor.evaluate(chunks[at:at + n]), min(n, len(chunks) - at)))
                    at += n
                answers = []
                for call, n in calls:
                    try:
                        left = None if deadline is None else max(0.0, deadline - time.monotonic())
                        answers.append(call.result(timeout=left))
                    except TimeoutError:
                        if deadline is None:
                            raise
                        answers.append(None)  # time is up: the chunks score +inf
            except Exception:
                self.close(True)
                return None
            for (call, n), got in zip(calls, answers):
                if got is None:
                    out.extend([None] * n)
                    continue
                if type(got) is _Raised:
                    raise got.exc
                if not isinstance(got, list) or len(got) != n:
                    got = len(got) if isinstance(got, list) else type(got).__name__
                    raise ValueError(f"a Dask worker returned {got} results for {n} chunks of "
                                     "points")
                out.extend(got)
            return out

    def _is_dask_client(obj):
        t = type(obj)
        return (t.__module__.split(".")[0] == "distributed" and hasattr(obj, "submit")
                and hasattr(obj, "scatter") and hasattr(obj, "gather"))

    def _dask_ship(client, func):
        # Every worker gets the callable once; tasks then refer to it.
        return client.scatter(func, broadcast=True, hash=False)

    def _dask_map(client, func, items, timeout):
        """func(item) for every item on the cluster; None for an item not
        done within `timeout` seconds (None: no limit)."""
        futures = client.map(_run_chunk, [func] * len(items), items, pure=False)
        if timeout is not None:
            from distributed import wait
            try:
                wait(futures, timeout=max(timeout, 0.0))
            except TimeoutError:
                out = []
                for f in futures:
                    if f.status == "finished":
                        out.append(f.result())
                    else:
                        f.cancel()
                        out.append(None)
                return _unwrap(out)
        return _unwrap(client.gather(futures))

    def _pool_size(pool):
        n = getattr(pool, "_processes", None) or getattr(pool, "_max_workers", None)
        return n if isinstance(n, int) and n > 0 else _cpu_count()

    def _map(mapper, func, items, vectorised, parts):
        if not vectorised:
            return list(mapper(func, items))
        if mapper is None:
            return func(items)
        size = max(1, -(-len(items) // parts))
        out = []
        for chunk in mapper(func, [items[i:i + size] for i in range(0, len(items), size)]):
            out.extend(chunk)
        return out

    def _check_pickles(obj, what, workers):
        import pickle
        try:
            pickle.dumps(obj)
        except Exception as exc:
            raise TypeError(
                f"{what} cannot be sent to worker processes (workers={workers}): it does not "
                f"pickle ({type(exc).__name__}: {exc}). Define it at module level (lambdas "
                "and local functions do not pickle), or pass a map-like callable as workers"
            ) from exc

    def _cpu_count():
        import os
        return os.cpu_count() or 1

    RunState = collections.namedtuple("RunState", "iteration evaluations x objective elapsed")
    RunState.__doc__ = ("State of a black-box run after a generation or iteration: "
                        "iteration, evaluations, best x, best objective value, elapsed seconds.")
    names = dict(_Score=_Score, _Mean=_Mean, _Vector=_Vector, _Vectorised=_Vectorised,
                 _VectorisedMean=_VectorisedMean, _VectorisedAll=_VectorisedAll, _Part=_Part, _OnePoint=_OnePoint,
                 _Weighted=_Weighted, _SweepRun=_SweepRun, _PoolMap=_PoolMap, _map=_map,
                 _check_pickles=_check_pickles, _cpu_count=_cpu_count, RunState=RunState,
                 _Chunk=_Chunk, _chunks=_chunks, _run_chunk=_run_chunk,
                 _is_dask_client=_is_dask_client, _dask_ship=_dask_ship, _dask_map=_dask_map,
                 _pool_size=_pool_size, _Raised=_Raised, _Evaluator=_Evaluator,
                 _DaskPoints=_DaskPoints)
    for name, obj in names.items():
        if isinstance(obj, type) or name in ("_run_chunk",):
            obj.__qualname__ = name
    return names

globals().update(_install())
del _install
)PY";

PyObject* g_module_dict = nullptr;  // borrowed from the module, which lives for the process

}  // namespace

namespace {

// _deferred(func, *args, **kwargs): func's result, with Ctrl-C held back
// until it returns; KeyboardInterrupt then for a signal that came meanwhile.
PyObject* run_deferred(PyObject*, PyObject* args, PyObject* kwargs) {
  return boundary([&]() -> PyObject* {
    const Py_ssize_t n = PyTuple_Size(args);
    if (n < 1) throw_type_error("_deferred() needs a callable");
    Ref rest = check(PyTuple_GetSlice(args, 1, n));
    DeferSigint hold_ctrl_c;
    Ref out = check(PyObject_Call(PyTuple_GetItem(args, 0), rest.get(), kwargs));
    hold_ctrl_c.finish();
    return out.release();
  });
}

PyMethodDef kDeferredDef = {
    "_deferred", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_deferred)),
    METH_VARARGS | METH_KEYWORDS, "Runs func(*args, **kwargs) with Ctrl-C held back until it returns."};

}  // namespace

void install_parallel_helpers(PyObject* module) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  if (!dict) throw_already_set();
  // The helpers import (pickle, the pool) from the module's namespace, and
  // imports made there look for __builtins__ in it.
  if (!PyDict_GetItemString(dict, "__builtins__")) {
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    if (!builtins) throw_already_set();
    check_status(PyDict_SetItemString(dict, "__builtins__", builtins));
  }
  Ref deferred = check(PyCFunction_New(&kDeferredDef, nullptr));
  check_status(PyDict_SetItemString(dict, "_deferred", deferred.get()));
  Ref code = check(Py_CompileString(kHelperSource, "<pelora_opt helpers>", Py_file_input));
  Ref result = check(PyEval_EvalCode(code.get(), dict, dict));
  g_module_dict = dict;
}

PyObject* helper(const char* name) {
  PyObject* h = g_module_dict ? PyDict_GetItemString(g_module_dict, name) : nullptr;
  if (!h) throw_runtime_error(std::string("pelora_opt helper missing: ") + name);
  return h;
}

namespace {

PyObject* lookup(PyObject* kwargs, const char* key) {
  if (!kwargs) return nullptr;
  PyObject* v = PyDict_GetItemString(kwargs, key);
  return v == Py_None ? nullptr : v;
}

bool truth(PyObject* v) {
  const int t = PyObject_IsTrue(v);
  if (t < 0) throw_already_set();
  return t == 1;
}

double non_negative(PyObject* v, const char* key) {
  const double d = as_double(v);
  if (!(d >= 0.0)) {
    throw_value_error(std::string(key) + " must be a number of seconds >= 0, got " +
                      std::to_string(d));
  }
  return d;
}

}  // namespace

namespace {

void read_vectorized(PyObject* kwargs, FrameOptions& o) {
  if (PyObject* v = lookup(kwargs, "vectorized")) o.vectorized = truth(v);
}

}  // namespace

FrameOptions read_frame_options(PyObject* kwargs, FrameKeys keys) {
  FrameOptions o;
  if (keys.max_evals) {
    if (PyObject* v = lookup(kwargs, "max_evals")) {
      o.max_evals = convert_arg("max_evals", [&] { return static_cast<uint64_t>(as_count(v)); });
    }
  }
  if (PyObject* v = lookup(kwargs, "max_time")) {
    o.max_time = convert_arg("max_time", [&] { return non_negative(v, "max_time"); });
  }
  if (keys.target) {
    if (PyObject* v = lookup(kwargs, "target")) {
      o.target = convert_arg("target", [&] { return as_double(v); });
    }
  }
  if (PyObject* v = lookup(kwargs, "callback")) {
    if (!PyCallable_Check(v)) {
      throw_type_error("callback must be callable, got " + type_name(v));
    }
    o.callback = Ref::borrow(v);
  }
  if (PyObject* v = lookup(kwargs, "verbose")) o.verbose = truth(v);
  if (PyObject* v = keys.workers ? lookup(kwargs, "workers") : nullptr) {
    if (PyBool_Check(v)) {
      throw_type_error("workers must be an int or a map-like callable, got bool");
    }
    if (PyLong_Check(v)) {
      int overflow = 0;
      const long n = PyLong_AsLongAndOverflow(v, &overflow);
      if (n == -1 && PyErr_Occurred()) throw_already_set();
      if (overflow != 0 || n < -1 || n == 0) {
        Ref text = check(PyObject_Repr(v));
        throw_value_error("workers must be a positive int, -1 (every core) or a map-like "
                          "callable, got " + as_string(text.get()));
      }
      o.workers_count = n;
      o.workers = Ref::borrow(v);
    } else if (PyCallable_Check(v)) {
      o.workers = Ref::borrow(v);
    } else if (call(helper("_is_dask_client"), v).get() == Py_True) {
      // A run blocks until its batches are back; an asynchronous client's
      // calls hand back awaitables that nothing here would await.
      Ref asynchronous = Ref::steal(PyObject_GetAttrString(v, "asynchronous"));
      if (!asynchronous) PyErr_Clear();
      const int is_async = asynchronous ? PyObject_IsTrue(asynchronous.get()) : 0;
      if (is_async < 0) PyErr_Clear();
      if (is_async == 1) {
        throw_type_error("workers: a Dask client made with asynchronous=True cannot drive a "
                         "run, which waits for every batch; pass a synchronous Client");
      }
      o.client = Ref::borrow(v);
      o.workers = Ref::borrow(v);
    } else {
      // A pool object with a map method (multiprocessing, Ray's pool, an
      // executor) stands for its map.
      Ref m = Ref::steal(PyObject_GetAttrString(v, "map"));
      if (!m) PyErr_Clear();
      if (!m || !PyCallable_Check(m.get())) {
        throw_type_error("workers must be an int or a map-like callable workers(func, iterable), "
                         "got " + type_name(v));
      }
      o.pool = Ref::borrow(v);
      o.workers = std::move(m);
    }
  }
  if (keys.vectorized) read_vectorized(kwargs, o);
  return o;
}

Frame::Frame(FrameOptions options) : o_(std::move(options)) {}

Frame::~Frame() {
  // The pool, or the actors of a Dask client.
  PyObject* closing = pool_ ? pool_.get() : dask_points_.get();
  if (!closing) return;
  // Close the pool on every path, keeping a pending error (an interrupt)
  // as it is; pending work is cancelled when the run did not finish. The
  // closing itself runs with Ctrl-C held back (a pool cut short while it
  // shuts down can leave its workers behind); a signal that comes meanwhile
  // is raised after, unless a KeyboardInterrupt is already on its way up.
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  const bool failing = type != nullptr;
  const bool interrupting = failing && PyErr_GivenExceptionMatches(type, PyExc_KeyboardInterrupt);
  bool signalled = false;
  {
    std::optional<DeferSigint> hold;
    for (int attempt = 0; attempt < 2 && !hold; ++attempt) {
      try {
        hold.emplace();
      } catch (const ErrorAlreadySet&) {  // a signal came just before
        PyErr_Clear();
        signalled = true;
      } catch (...) {
        PyErr_Clear();
      }
    }
    Ref cancel = Ref::borrow(failing || signalled ? Py_True : Py_False);
    PyObject* r = PyObject_CallMethod(closing, "close", "O", cancel.get());
    if (r) {
      Py_DECREF(r);
    } else {
      PyErr_Clear();
    }
    if (interrupting) sigint_answered();
  }
  if (signalled && !interrupting) PyErr_SetInterrupt();
  PyErr_Restore(type, value, tb);
}

void Frame::open(PyObject* shipped, const char* what) {
  if (!o_.workers) return;
  if (o_.workers_count == 0) {  // the user's map, pool or Dask client
    map_ = o_.workers;
    if (o_.client) dask_points_ = call(helper("_DaskPoints"), o_.client.get());
    Ref n = o_.client ? get_attr(dask_points_.get(), "parts")
            : o_.pool ? call(helper("_pool_size"), o_.pool.get())
                      : call(helper("_cpu_count"));
    parts_ = PyLong_AsLong(n.get());
    if (parts_ == -1 && PyErr_Occurred()) throw_already_set();
    return;
  }
  if (o_.workers_count == 1) return;  // this process, a batch at a time
  Ref count = check(PyLong_FromLong(o_.workers_count));
  Ref name = py_str(what);
  call(helper("_check_pickles"), shipped, name.get(), count.get());
  {
    DeferSigint hold_ctrl_c;  // the pool is made whole or not at all
    pool_ = call(helper("_PoolMap"), count.get());
    hold_ctrl_c.finish();
  }
  map_ = pool_;
  Ref n = get_attr(pool_.get(), "n");
  parts_ = PyLong_AsLong(n.get());
}

[[noreturn]] void throw_result_count(size_t got, size_t want) {
  throw_value_error("workers returned " + std::to_string(got) + " results for " +
                    std::to_string(want) + " items; a map-like callable must return one "
                    "result per item, in order");
}

PyObject* Frame::chunk_wrapper(PyObject* task) {
  if (chunk_task_.get() != task) {
    chunk_wrapper_ = call(helper("_Chunk"), task);
    chunk_task_ = Ref::borrow(task);
  }
  return chunk_wrapper_.get();
}

PyObject* Frame::shipped(PyObject* func) {
  if (shipped_key_.get() != func) {
    shipped_ = call(helper("_dask_ship"), o_.client.get(), func);
    shipped_key_ = Ref::borrow(func);
  }
  return shipped_.get();
}

Ref Frame::take_results(PyObject* answer, Py_ssize_t want, bool timed) {
  if (PyList_Check(answer) || PyTuple_Check(answer)) {
    Ref list = check(PySequence_List(answer));
    const Py_ssize_t got = PyList_Size(list.get());
    if (got != want) throw_result_count(static_cast<size_t>(got), static_cast<size_t>(want));
    return list;
  }
  // An iterator is consumed lazily, never past the items sent (it may not
  // end), with Ctrl-C and max_time checked between results; items still
  // owed when the time is up score +inf.
  Ref it = check(PyObject_GetIter(answer));
  Ref list = check(PyList_New(want));
  Py_ssize_t got = 0;
  const bool deadline = timed && o_.max_time;
  for (; got < want; ++got) {
    if (deadline && std::chrono::duration<double>(std::chrono::steady_clock::now() - started_)
                            .count() >= *o_.max_time) {
      break;
    }
    PyObject* item = PyIter_Next(it.get());
    if (!item) {
      if (PyErr_Occurred()) throw_already_set();
      throw_result_count(static_cast<size_t>(got), static_cast<size_t>(want));
    }
    PyList_SetItem(list.get(), got, item);  // steals
    if (PyErr_CheckSignals() < 0) throw_already_set();
  }
  for (; got < want; ++got) PyList_SetItem(list.get(), got, Ref::borrow(Py_None).release());
  return list;
}

Ref Frame::map(PyObject* task, PyObject* items, bool whole_items) {
  Ref parts = check(PyLong_FromLong(parts_ < 1 ? 1 : parts_));
  if (!map_ || pool_) {
    // In this process (vectorized), or the pool a call starts, which
    // shares its items out by itself.
    const bool chunks = o_.vectorized && !whole_items;
    Ref out = call(helper("_map"), map_ ? map_.get() : Py_None, task, items,
                   chunks ? Py_True : Py_False, parts.get());
    return take_results(out.get(), PyList_Size(items), false);
  }
  const Py_ssize_t want = PyList_Size(items);
  // Points go out as one chunk per worker; whole items one by one.
  PyObject* func = task;
  Ref sent = Ref::borrow(items);
  if (!whole_items) {
    if (!o_.vectorized) func = chunk_wrapper(task);
    sent = call(helper("_chunks"), items, parts.get());
  }
  const Py_ssize_t n_sent = PyList_Size(sent.get());
  Ref answer;
  if (o_.client) {
    std::optional<double> left;
    if (o_.max_time && !whole_items) {
      left = *o_.max_time -
             std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    }
    Ref timeout = left ? py_float(*left) : Ref::borrow(Py_None);
    // Chunks of points go to the run's actors, whole items out as tasks.
    answer = whole_items ? call(helper("_dask_map"), o_.client.get(), shipped(func), sent.get(),
                                timeout.get())
                         : call(dask_points_.get(), func, sent.get(), timeout.get());
  } else {
    answer = call(map_.get(), func, sent.get());
  }
  Ref results = take_results(answer.get(), n_sent, !whole_items);
  if (whole_items) return results;
  // One result list per chunk, flattened; a chunk not answered (time up)
  // scores +inf at each of its points.
  Ref flat = check(PyList_New(want));
  Py_ssize_t at = 0;
  for (Py_ssize_t c = 0; c < n_sent; ++c) {
    const Py_ssize_t size = PyList_Size(PyList_GetItem(sent.get(), c));
    PyObject* chunk = PyList_GetItem(results.get(), c);
    Ref values = chunk == Py_None ? Ref() : check(PySequence_List(chunk));
    if (values && PyList_Size(values.get()) != size) {
      throw_value_error("workers returned " + std::to_string(PyList_Size(values.get())) +
                        " results for a chunk of " + std::to_string(size) + " points");
    }
    for (Py_ssize_t k = 0; k < size && at < want; ++k, ++at) {
      PyObject* v = values ? PyList_GetItem(values.get(), k) : Py_None;
      PyList_SetItem(flat.get(), at, Ref::borrow(v).release());
    }
  }
  if (at != want) throw_result_count(static_cast<size_t>(at), static_cast<size_t>(want));
  return flat;
}

void Frame::apply(bb::RunControl& control) {
  if (o_.max_evals) control.max_evals = *o_.max_evals;
  if (o_.max_time) control.max_time = *o_.max_time;
  if (o_.target) control.target = *o_.target;
  if (o_.callback || o_.verbose) control.monitor = &monitor_ref_;
}

namespace {

std::string progress_line(uint64_t iteration, uint64_t evaluations, double best, double elapsed) {
  char buf[160];
  std::snprintf(buf, sizeof buf,
                "[pelora-opt] iteration %llu  evaluations %llu  best %.6e  elapsed %.2fs\n",
                static_cast<unsigned long long>(iteration),
                static_cast<unsigned long long>(evaluations), best, elapsed);
  return buf;
}

}  // namespace

bool Frame::monitor(const bb::Progress& p) {
  if (o_.verbose && (last_line_ < 0.0 || p.elapsed - last_line_ >= 1.0)) {
    last_line_ = p.elapsed;
    write_stderr(progress_line(p.iteration, p.evaluations, p.objective, p.elapsed));
  }
  if (!o_.callback) return false;
  Ref x = float_list(p.x);
  Ref state = call(helper("RunState"), check(PyLong_FromUnsignedLongLong(p.iteration)).get(),
                   check(PyLong_FromUnsignedLongLong(p.evaluations)).get(), x.get(),
                   py_float(p.objective).get(), py_float(p.elapsed).get());
  Ref answer = call(o_.callback.get(), state.get());
  return truth(answer.get());
}

void check_positional(const char* display, PyObject* args, size_t required, size_t count) {
  const size_t given = args ? static_cast<size_t>(PyTuple_Size(args)) : 0;
  if (given <= count) return;
  throw_type_error(std::string(display) + " takes from " + std::to_string(required) + " to " +
                   std::to_string(count) + " positional arguments but " + std::to_string(given) +
                   " were given");
}

Ref point_lists(std::span<const double> points, size_t dim) {
  const size_t n = dim ? points.size() / dim : 0;
  Ref list = check(PyList_New(static_cast<Py_ssize_t>(n)));
  for (size_t i = 0; i < n; ++i) {
    Ref x = float_list(points.subspan(i * dim, dim));
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), x.release());  // steals
  }
  return list;
}

double score_of(PyObject* value) {
  const double v = PyFloat_AsDouble(value);
  if (v == -1.0 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_already_set();
    PyErr_Clear();
    return std::numeric_limits<double>::infinity();
  }
  return v;
}

// The values a vectorized objective returned for `points` points, as a list.
// An object other than a list or tuple is read through its iterator, at most
// one item past `points`, so that the length it claims is never trusted (a
// claimed length of 2**62 would otherwise be allocated up front).
Ref value_list(PyObject* got, size_t points) {
  if (PyList_Check(got) || PyTuple_Check(got)) return Ref::steal(PySequence_List(got));
  Ref it = Ref::steal(PyObject_GetIter(got));
  if (!it) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_already_set();
    PyErr_Clear();
    throw_type_error("a vectorized objective must return a sequence of values, got " + type_name(got));
  }
  Ref list = Ref::steal(PyList_New(0));
  if (!list) throw_already_set();
  for (size_t k = 0; k <= points; ++k) {
    Ref item = Ref::steal(PyIter_Next(it.get()));
    if (!item) {
      if (PyErr_Occurred()) throw_already_set();
      break;
    }
    if (PyList_Append(list.get(), item.get()) < 0) throw_already_set();
  }
  return list;
}

void batch_values(Frame& frame, PyObject* task, std::span<const double> points, size_t dim,
                  std::span<double> out, bb::Objective local, PyObject* direct) {
  if (!frame.remote() && !frame.options().vectorized) {
    for (size_t i = 0; i < out.size(); ++i) out[i] = local(points.subspan(i * dim, dim));
    return;
  }
  if (PyErr_CheckSignals() < 0) throw_already_set();
  Ref xs = point_lists(points, dim);
  if (direct && !frame.remote()) {
    // A vectorized objective in this process: one call, the values read
    // here (the same rules as the wrapper the workers get).
    Ref got = Ref::steal(PyObject_CallFunctionObjArgs(direct, xs.get(), nullptr));
    if (!got) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_already_set();
      PyErr_Clear();
      std::fill(out.begin(), out.end(), std::numeric_limits<double>::infinity());
      return;
    }
    Ref seq = value_list(got.get(), out.size());
    const bool exact = PyList_Check(got.get()) || PyTuple_Check(got.get());  // read whole
    const Py_ssize_t n = PyList_Size(seq.get());
    if (n != static_cast<Py_ssize_t>(out.size())) {
      throw_value_error("a vectorized objective must return one value per point: got " +
                        (n > static_cast<Py_ssize_t>(out.size()) && !exact ? "more than " + std::to_string(out.size())
                                                                           : std::to_string(n)) +
                        " values for " + std::to_string(out.size()) + " points");
    }
    for (size_t i = 0; i < out.size(); ++i) {
      out[i] = score_of(PyList_GetItem(seq.get(), static_cast<Py_ssize_t>(i)));
    }
    return;
  }
  Ref values = frame.map(task, xs.get());
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = score_of(PyList_GetItem(values.get(), static_cast<Py_ssize_t>(i)));
  }
}

}  // namespace pelora::py::blackbox
