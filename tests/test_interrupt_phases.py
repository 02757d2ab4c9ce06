"""Ctrl-C in the phases of a package's run that never look at signals, and
sides beyond a solver's infinity on the HiGHS object and the Ipopt route.

The phases are made to wait on an event (a subclass of the package's class
blocks until released), and the signal is sent from inside them: nothing
depends on how fast the machine is. Each case runs in a child process, which
prints one JSON line."""
import importlib.util
import json
import subprocess
import sys
import textwrap

import pytest

import pelora_opt as po
from interrupt_support import BUILDERS

PRELUDE = BUILDERS + textwrap.dedent(r"""
    import json, os, signal, sys, threading
    import pelora_opt as po

    def package_threads():
        return [t for t in threading.enumerate() if t.name == "pelora-opt package run"]
""")

# HiGHS whose first run() sends SIGINT and then sits in a phase without
# callbacks until released (as its presolve does on a large model).
HIGHS_CHILD = PRELUDE + textwrap.dedent(r"""
    import highspy

    released = threading.Event()
    state = {"runs": 0, "active": 0, "most": 0, "in_phase": False, "waited": None}

    class SlowStart(highspy.Highs):
        def run(self):
            state["runs"] += 1
            state["subscribed"] = [len(e.callbacks) for e in (
                self.cbSimplexInterrupt, self.cbIpmInterrupt, self.cbMipInterrupt)]
            state["active"] += 1
            state["most"] = max(state["most"], state["active"])
            try:
                if state["runs"] == 1:
                    state["in_phase"] = True
                    os.kill(os.getpid(), signal.SIGINT)
                    state["waited"] = released.wait(60)
                    state["in_phase"] = False
                return super().run()
            finally:
                state["active"] -= 1

    highspy.Highs = SlowStart
    m = tiny_lp()
    persistent = sys.argv[1] == "persistent"
    ph = po.PersistentHighs.from_model(model=m) if persistent else None
    first = ph.resolve() if persistent else m.solve()
    out = {"status": first.status, "objective": first.objective,
           "returned_in_phase": state["in_phase"],
           "restored": signal.getsignal(signal.SIGINT) is signal.default_int_handler}
    released.set()
    if persistent:
        # The change waits for the given-up run, which then must not stop
        # the next one.
        ph.update_col_costs([0], [-1.0])
        second = ph.resolve()
    else:
        second = m.solve()
    for t in package_threads():
        t.join(60)
    out.update(after=second.status, after_objective=second.objective, most=state["most"],
               waited=state["waited"], threads_left=len(package_threads()))
    print(json.dumps(out))
""")


@pytest.mark.needs_sigint
@pytest.mark.parametrize("route", ["solve", "persistent"])
def test_sigint_in_a_highs_phase_without_callbacks(route):
    rep = run_child(HIGHS_CHILD, route)
    # The call came back while HiGHS was still in that phase, with no values.
    assert rep["status"] == "interrupted" and rep["objective"] is None, rep
    assert rep["returned_in_phase"] and rep["restored"], rep
    # The given-up run ended by itself once released, never alongside the
    # next one, and left the model (and the object) usable.
    assert rep["waited"] is True and rep["most"] == 1 and rep["threads_left"] == 0, rep
    assert rep["after"] == "optimal", rep
    assert rep["after_objective"] == pytest.approx(10.0 if route == "persistent" else 16.0)


# HiGHS whose first run() sends SIGINT from its first simplex callback and
# stops there, as a run stopped for Ctrl-C does.
STOPPED_ONCE_CHILD = PRELUDE + textwrap.dedent(r"""
    import highspy

    class StopsOnce(highspy.Highs):
        runs = 0

        def run(self):
            StopsOnce.runs += 1
            if StopsOnce.runs > 1:
                return super().run()
            def once(e):
                os.kill(os.getpid(), signal.SIGINT)
                e.interrupt()
            self.cbSimplexInterrupt.subscribe(once)
            try:
                return super().run()
            finally:
                self.cbSimplexInterrupt.unsubscribe(once)

    highspy.Highs = StopsOnce
    ph = po.PersistentHighs.from_model(model=tiny_lp())
    first = ph.resolve().status
    print(json.dumps({"first": first, "second": ph.resolve().status, "third": ph.resolve().status}))
""")


@pytest.mark.needs_sigint
def test_resolve_after_an_interrupted_resolve_runs_to_the_end():
    # HiGHS keeps the stop request of a run it ended; the next resolves of
    # the same object must not take it for a new one.
    rep = run_child(STOPPED_ONCE_CHILD, "")
    assert rep == {"first": "interrupted", "second": "optimal", "third": "optimal"}


# OSQP whose solve() ends "solved" after its own SIGINT handler caught a
# signal it did not stop for, as when the signal lands while it polishes.
OSQP_CHILD = PRELUDE + textwrap.dedent(r"""
    import ctypes
    import osqp

    class LateSignal(osqp.OSQP):
        def solve(self, *args, **kwargs):
            res = super().solve(*args, **kwargs)
            lib = ctypes.CDLL(self.ext.__file__)
            lib.osqp_start_interrupt_listener()
            os.kill(os.getpid(), signal.SIGINT)
            lib.osqp_end_interrupt_listener()
            return res

    m = po.Model()
    x = m.variable("x", lower=-5, upper=5)
    m.minimize(x * x - 2 * x)
    seen = []
    if sys.argv[1] == "handler":
        signal.signal(signal.SIGINT, lambda *a: seen.append(a[0]))
    osqp.OSQP = LateSignal
    try:
        outcome = m.solve(solver="osqp").status
    except KeyboardInterrupt:
        outcome = "KeyboardInterrupt"
    for _ in range(3):
        pass  # a loop's jumps run a handler that is still pending
    osqp.OSQP = LateSignal.__bases__[0]
    print(json.dumps({"outcome": outcome, "seen": seen, "after": m.solve(solver="osqp").status,
                      "default": signal.getsignal(signal.SIGINT) is signal.default_int_handler}))
""")


@pytest.mark.needs_sigint
def test_sigint_kept_by_osqps_own_handler_is_not_lost():
    pytest.importorskip("osqp")
    rep = run_child(OSQP_CHILD, "default")
    assert rep["outcome"] == "KeyboardInterrupt" and rep["default"], rep
    assert rep["after"] == "optimal", rep
    # With a handler of the user's, the solve answers as usual and the
    # handler gets the signal.
    rep = run_child(OSQP_CHILD, "handler")
    assert rep["outcome"] == "optimal" and rep["seen"] == [2], rep


def run_child(source, arg):
    out = subprocess.run([sys.executable, "-c", source, arg], capture_output=True, text=True,
                         timeout=240)
    assert out.returncode == 0, out.stderr[-3000:]
    return json.loads(out.stdout.strip().splitlines()[-1])


def side_model(sense, side, nonlinear=False):
    m = po.Model()
    x = m.variable("x", lower=0, upper=4)
    y = m.variable("y", lower=0, upper=4)
    m.add(x + y <= 6)
    body = -po.sin(y) - y if nonlinear else -y
    m.add(body >= side if sense == ">=" else body <= side)
    m.maximize(x + 2 * y)
    return m


# Sides that no point can meet, and the same magnitudes on the side that
# never binds; 5e19 lies between Ipopt's infinity (1e19) and HiGHS's (1e20).
SIDES = [(">=", 1e300, "infeasible"), ("<=", -1e300, "infeasible"), (">=", 5e19, "infeasible"),
         ("<=", 1e300, "optimal"), (">=", -1e300, "optimal"), ("<=", 5e19, "optimal"),
         ("<=", 1e19, "optimal")]


@pytest.mark.parametrize("sense,side,expected", SIDES)
def test_sides_beyond_infinity_on_the_highs_object_and_ipopt(sense, side, expected):
    m = side_model(sense, side)
    assert m.solve().status == expected
    r = po.PersistentHighs.from_model(model=m).resolve()
    assert r.status == expected
    if expected == "optimal":
        assert r.objective == pytest.approx(10.0)
    if importlib.util.find_spec("casadi"):
        r = m.solve(solver="ipopt")
        assert r.status == expected
        if expected == "optimal":
            assert r.objective == pytest.approx(10.0, abs=1e-6)
        nl = side_model(sense, side, nonlinear=True).solve()
        assert nl.status == expected
        if expected == "optimal":
            assert nl.objective == pytest.approx(10.0, abs=1e-6)


def test_highs_object_with_an_impossible_side_until_an_update():
    m = po.Model()
    x = m.variable("x", lower=0, upper=4)
    z = m.variable("z", lower=1e300)  # no value reaches it
    m.add(x + z <= 10)
    m.maximize(x)
    ph = po.PersistentHighs.from_model(model=m)
    assert ph.resolve().status == "infeasible"
    assert ph.col_bounds()[0][1] == float("inf")
    ph.update_col_bounds([1], [0.0], [1.0])
    r = ph.resolve()
    assert r.status == "optimal" and r.objective == pytest.approx(4.0)
