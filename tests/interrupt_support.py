"""Ctrl-C at a random moment of one call, in a child process.

The child builds a problem for one route, prints "ready", makes the call and
prints one JSON line: the outcome (the result's status, "finished" for a
black-box run, or "KeyboardInterrupt"), the monotonic time the call ended,
whether the SIGINT handler is Python's default again, and the status of a
follow-up solve of the same model (it must still be usable). The parent sends
one SIGINT at a seeded random moment after "ready" (or after a marker line of
the solver's log) and reads the line back. Shared by the interrupt tests and
benchmarks/interrupts.py."""
import json
import os
import random
import select
import signal
import subprocess
import sys
import textwrap
import time

# The problems, shared with test_interrupt.py's child.
BUILDERS = textwrap.dedent(r"""
    import pelora_opt as po

    def sprand(k, n, nnz, seed):
        # A random sparse k x n matrix with about nnz entries in (0, 1).
        import numpy as np, scipy.sparse as sp
        rng = np.random.default_rng(seed)
        return sp.csr_matrix((rng.uniform(0, 1, nnz), (rng.integers(0, k, nnz),
                              rng.integers(0, n, nnz))), shape=(k, n))

    def market_split(rows=4, n=36, seed=1):
        import random
        rng = random.Random(seed)
        m = po.Model()
        x = [m.binary(f"x{j}") for j in range(n)]
        plus = [m.variable(f"p{i}", lower=0) for i in range(rows)]
        minus = [m.variable(f"m{i}", lower=0) for i in range(rows)]
        for i in range(rows):
            a = [rng.randint(0, 99) for _ in range(n)]
            m.add(po.sum([a[j] * x[j] for j in range(n)]) + plus[i] - minus[i] == sum(a) // 2)
        m.minimize(po.sum(plus) + po.sum(minus))
        return m

    def large_lp(n=60000, k=30000):
        import numpy as np, scipy.sparse as sp
        rng = np.random.default_rng(3)
        m = po.Model()
        x = m.variables("x", n, lower=0, upper=10)
        per_col = 8
        rows = rng.integers(0, k, size=n * per_col)
        cols = np.repeat(np.arange(n), per_col)
        A = sp.csr_matrix((rng.uniform(0.1, 1.0, n * per_col), (rows, cols)), shape=(k, n))
        m.add_matrix(A, x, "<=", rng.uniform(1, 2, k))
        m.maximize(po.dot(rng.uniform(0, 1, n), x))
        return m

    def qp(n=3000):
        import numpy as np, scipy.sparse as sp
        rng = np.random.default_rng(0)
        m = po.Model()
        x = m.variables("x", n, lower=-1, upper=1)
        P = sprand(n, n, n * n // 5000, 1)
        P = (P @ P.T + sp.eye(n) * 1e-3).tocsr()
        m.add_matrix(sprand(n // 2, n, n * n // 4000, 2), x, "<=", np.ones(n // 2))
        m.minimize(po.quad_form(P, x) + po.dot(rng.normal(size=n), x))
        return m

    def chained_rosenbrock(n=1000):
        m = po.Model()
        x = [m.variable(f"x{i}", lower=-5, upper=5) for i in range(n)]
        obj = po.sin(x[0])
        for i in range(n - 1):
            d = x[i + 1] - x[i] * x[i]
            obj = obj + 100 * (d * d) + (x[i] * x[i] - 2 * x[i])
        m.minimize(obj)
        return m

    def large_socp(n=3000, k=1500):
        import numpy as np, scipy.sparse as sp
        rng = np.random.default_rng(1)
        m = po.Model()
        x = m.variables("x", n, lower=-10, upper=10)
        t = m.variable("t", lower=0)
        m.add_matrix(sprand(k, n, k * n // 20, 1), x, "<=", rng.uniform(0, 1, k))
        m.add_soc_cone([t] + x)
        m.minimize(t + po.dot(rng.normal(size=n), x))
        return m

    def tiny_lp():
        m = po.Model()
        x, y = m.variable("x", upper=4), m.variable("y", upper=4)
        m.add(x + y <= 6)
        m.maximize(3 * x + 2 * y)
        return m

    def slow(x):
        s = 0.0
        for _ in range(3000):
            s += (x[0] - 0.3) ** 2 + (x[1] + 0.1) ** 2
        return s
""")

# With PELORA_INTERRUPT_PHASES set (benchmarks/interrupts.py), the child
# wraps the packages' entry points and reports when each phase began, so
# that a signal's latency can be told per phase. The tests run without it.
PHASE_PROBES = textwrap.dedent(r"""
    import time

    PHASES = []  # (monotonic time, the phase that begins)

    def phase(label):
        PHASES.append((time.monotonic(), label))

    def install_phase_probes():
        import importlib.util
        if importlib.util.find_spec("highspy"):
            import highspy

            class Probed(highspy.Highs):
                def run(self):
                    seen = []

                    def first(e):
                        if not seen:
                            seen.append(1)
                            phase("HiGHS loop (callbacks)")
                    events = (self.cbSimplexInterrupt, self.cbIpmInterrupt, self.cbMipInterrupt)
                    for ev in events:
                        ev.subscribe(first)
                    phase("HiGHS presolve/set-up (no callback)")
                    try:
                        return super().run()
                    finally:
                        phase("after the package")
                        for ev in events:
                            ev.unsubscribe(first)
            highspy.Highs = Probed
        if importlib.util.find_spec("osqp"):
            import osqp

            class ProbedOsqp(osqp.OSQP):
                def setup(self, *a, **k):
                    phase("OSQP setup")
                    try:
                        return super().setup(*a, **k)
                    finally:
                        phase("hand-off")

                def solve(self, *a, **k):
                    phase("OSQP solve")
                    try:
                        return super().solve(*a, **k)
                    finally:
                        phase("after the package")
            osqp.OSQP = ProbedOsqp
        if importlib.util.find_spec("clarabel"):
            import clarabel
            make_solver = clarabel.DefaultSolver

            class ProbedClarabel:
                def __init__(self, *a):
                    phase("Clarabel setup")
                    self._s = make_solver(*a)
                    phase("hand-off")

                def solve(self):
                    phase("Clarabel solve")
                    try:
                        return self._s.solve()
                    finally:
                        phase("after the package")

                def __getattr__(self, name):
                    return getattr(self._s, name)
            clarabel.DefaultSolver = ProbedClarabel
        if importlib.util.find_spec("casadi"):
            import casadi
            nlpsol = casadi.nlpsol

            class ProbedNlp:
                def __init__(self, s):
                    self._s = s

                def __call__(self, *a, **k):
                    phase("Ipopt run")
                    try:
                        return self._s(*a, **k)
                    finally:
                        phase("after the package")

                def __getattr__(self, name):
                    return getattr(self._s, name)

            def probed_nlpsol(*a, **k):
                phase("casadi build (nlpsol)")
                try:
                    return ProbedNlp(nlpsol(*a, **k))
                finally:
                    phase("hand-off")
            casadi.nlpsol = probed_nlpsol
""")

CHILD = BUILDERS + PHASE_PROBES + textwrap.dedent(r"""
    import json, os, signal, sys, threading, time
    import pelora_opt as po

    route = sys.argv[1]
    if os.environ.get("PELORA_INTERRUPT_PHASES") and route != "first_import":
        install_phase_probes()

    endless = {"max_generations": 10**9, "tol": 0.0, "seed": 1}
    verbose = len(sys.argv) > 2 and sys.argv[2] == "verbose"
    m = None
    if route == "highs_lp":
        m = large_lp()
        call = lambda: m.solve(time_limit=600.0, verbose=verbose)
    elif route == "highs_mip":
        m = market_split()
        call = lambda: m.solve(time_limit=600.0, verbose=verbose)
    elif route == "persistent":
        m = market_split()
        ph = po.PersistentHighs.from_model(model=m, time_limit=600.0)
        call = ph.resolve
    elif route == "scip":
        m = market_split()
        call = lambda: m.solve(solver="scip", time_limit=600.0, verbose=verbose)
    elif route == "osqp":
        m = qp()
        call = lambda: m.solve(solver="osqp", verbose=verbose, solver_options={
            "eps_abs": 1e-16, "eps_rel": 1e-16, "max_iter": 10**9, "adaptive_rho": False})
    elif route == "ipopt":
        m = chained_rosenbrock(300)
        call = lambda: m.solve(warm_start=[-1.2] * 300, verbose=verbose, solver_options={
            "tol": 1e-30, "acceptable_iter": 0, "max_iter": 10**6, "tiny_step_tol": 0.0,
            "tiny_step_y_tol": 0.0})
    elif route == "clarabel":
        m = large_socp()
        call = lambda: m.solve(verbose=verbose, solver_options={"max_iter": 10**6})
    elif route == "de":
        call = lambda: po.solve_de(slow, [(-1, 1)] * 2, **endless)
    elif route == "de_workers2":
        call = lambda: po.solve_de(slow, [(-1, 1)] * 2, workers=2, **endless)
    elif route == "model_wait":
        # Another thread solves the model; this one waits for it.
        m = market_split()
        started = threading.Event()
        def other():
            started.set()
            try:
                m.solve(time_limit=600.0)
            except BaseException:
                pass
        threading.Thread(target=other, daemon=True).start()
        started.wait()
        call = lambda: m.solve(time_limit=600.0)
    elif route == "first_import":
        m = tiny_lp()
        call = m.solve
    else:
        raise SystemExit("unknown route " + route)

    print("ready", flush=True)
    phase("hand-off")
    try:
        r = call()
        outcome = getattr(r, "status", "finished")
        incumbent = getattr(r, "objective", None) is not None
    except KeyboardInterrupt:
        outcome, incumbent = "KeyboardInterrupt", False
    end = time.monotonic()
    phase("after the call")
    restored = signal.getsignal(signal.SIGINT) is signal.default_int_handler
    after = None
    late = False
    if route == "first_import":
        # The imports cut short must not break later solves.
        for _ in range(2):
            try:
                after = tiny_lp().solve().status
                break
            except KeyboardInterrupt:  # the signal came after the call
                late = True
    elif m is not None and route != "model_wait":
        try:
            after = m.solve(time_limit=0.2).status
        except KeyboardInterrupt:
            after = "KeyboardInterrupt"
    if outcome not in ("KeyboardInterrupt", "interrupted") and not late:
        # The call ended first: the signal is still to come.
        try:
            time.sleep(30)
        except KeyboardInterrupt:
            late = True
    import multiprocessing
    print(json.dumps({"outcome": outcome, "end": end, "restored": restored, "after": after,
                      "incumbent": incumbent, "late": late,
                      "workers_left": len(multiprocessing.active_children()),
                      "phases": PHASES}), flush=True)
    sys.stdout.flush()
    os._exit(0)  # a pool or a thread left running must not keep the child alive
""")


def sigint_ignored():
    return signal.getsignal(signal.SIGINT) is signal.SIG_IGN


def _readline(stream, deadline):
    left = deadline - time.monotonic()
    if left <= 0 or not select.select([stream], [], [], left)[0]:
        return None
    return stream.readline()


def interrupt_once(route, delay, marker=None, timeout=120.0, env=None):
    """Runs the child for `route`, sends SIGINT `delay` seconds after "ready"
    (or after the first log line containing `marker`) and returns the child's
    report with "latency" (seconds from the signal to the call's end), or
    {"outcome": "hang"} when no report comes within `timeout`."""
    args = [sys.executable, "-c", CHILD, route] + (["verbose"] if marker else [])
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            start_new_session=True, env=env)
    deadline = time.monotonic() + timeout
    report = {"outcome": "hang"}  # no report before the deadline
    try:
        line = _readline(proc.stdout, deadline)
        while line and marker is not None and "ready" != line.strip():
            line = _readline(proc.stdout, deadline)
        if not line:
            return {"outcome": "no start"}
        while marker is not None:
            line = _readline(proc.stdout, deadline)
            if not line:
                return {"outcome": "no marker"}
            if marker in line:
                break
        time.sleep(delay)
        sent = time.monotonic()
        os.kill(proc.pid, signal.SIGINT)
        while True:
            line = _readline(proc.stdout, deadline)
            if line == "":
                report = {"outcome": "died"}
            if not line:
                break
            if line.startswith("{"):
                report = json.loads(line)
                report["latency"] = report["end"] - sent
                report["sent"] = sent
                break
        return report
    finally:
        try:
            os.killpg(proc.pid, signal.SIGKILL)  # the child and any worker it left
        except ProcessLookupError:
            pass
        proc.wait()
        proc.stdout.close()


def phase_at(report, moment):
    """The phase of the call that `moment` (monotonic seconds) fell in, from
    the child's phase marks; "before the call" when it came first."""
    label = "before the call"
    for t, name in report.get("phases", []):
        if t > moment:
            break
        label = name
    return label


def random_moments(seed, count, window):
    rng = random.Random(seed)
    return [rng.uniform(0.0, window) for _ in range(count)]
