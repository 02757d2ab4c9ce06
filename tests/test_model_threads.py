"""A model in use by one thread makes other threads wait; the thread that
holds it gets "Already borrowed" instead of deadlocking."""
import sys
import threading
import types

import pelora_opt as po


def test_other_threads_wait_for_a_model_in_use(monkeypatch):
    m = po.Model()
    x = m.variable("x", 0, 1)
    m.maximize(x)
    entered, release = threading.Event(), threading.Event()
    seen = {}

    def highs():  # stands in for highspy.Highs while the model is locked
        entered.set()
        try:
            m.num_vars
        except RuntimeError as e:
            seen["reentrant"] = str(e)
        release.wait(10)
        raise LookupError("stop here")

    fake = types.ModuleType("highspy")
    fake.Highs = highs
    monkeypatch.setitem(sys.modules, "highspy", fake)

    def solve():
        try:
            m.solve()
        except LookupError as e:
            seen["solve"] = str(e)

    solver = threading.Thread(target=solve)
    solver.start()
    assert entered.wait(10)
    got = []
    reader = threading.Thread(target=lambda: got.append(m.num_vars))
    reader.start()
    reader.join(0.3)
    assert reader.is_alive() and got == []  # waiting for the lock, not failing
    release.set()
    solver.join(10)
    reader.join(10)
    assert got == [1]
    assert seen == {"reentrant": "Already borrowed", "solve": "stop here"}
    # A Python error inside the locked section leaves the model usable.
    monkeypatch.undo()
    assert m.solve().objective == 1.0
