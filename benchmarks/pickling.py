"""Pickling a model of 1,000,000 constraint nonzeros: time and size.

Run by hand:  PYTHONPATH=build/dev python3 benchmarks/pickling.py

1,000 rows x 1,000 columns, built with add_matrix. Reported: pickle.dumps
(protocol 5, in band) and pickle.loads times (median of five), the pickled
size against the model's own arrays (per nonzero a 4-byte index and an 8-byte
coefficient, per row sense, rhs and length, per column kind and two bounds),
the out-of-band variant (one buffer) and copy.deepcopy / Model.copy.
Goals: dumps <= 0.5 s; size <= 1.5x the arrays.
"""
import copy
import pickle
import statistics
import time

import numpy as np

import pelora_opt as po

ROWS, COLS = 1000, 1000


def timed(f, reps=5):
    out = []
    for _ in range(reps):
        t0 = time.perf_counter()
        v = f()
        out.append(time.perf_counter() - t0)
    return statistics.median(out), v


def main():
    rng = np.random.default_rng(1)
    m = po.Model("big")
    xs = m.variables("x", COLS, lower=0, upper=10)
    m.add_matrix(rng.uniform(-1, 1, size=(ROWS, COLS)), xs, "<=", rng.uniform(1, 2, size=ROWS))
    m.maximize(po.dot(rng.uniform(0, 1, size=COLS), xs))
    nnz = ROWS * COLS
    arrays = nnz * (4 + 8) + ROWS * (1 + 8 + 4) + COLS * (1 + 8 + 8)
    t_dump, data = timed(lambda: pickle.dumps(m, protocol=5))
    t_load, twin = timed(lambda: pickle.loads(data))
    assert twin.to_lp() == m.to_lp()
    buffers = []
    t_oob, head = timed(lambda: (buffers.clear(), pickle.dumps(m, protocol=5, buffer_callback=buffers.append))[1])
    t_copy, _ = timed(lambda: m.copy())
    t_deep, _ = timed(lambda: copy.deepcopy(m))
    print(f"{nnz:,} nonzeros; arrays {arrays / 1e6:.2f} MB")
    print(f"pickle.dumps   {t_dump * 1e3:8.1f} ms  {len(data) / 1e6:8.2f} MB  ({len(data) / arrays:.3f}x the arrays)")
    print(f"pickle.loads   {t_load * 1e3:8.1f} ms")
    print(f"out of band    {t_oob * 1e3:8.1f} ms  {len(head)} bytes in band + {len(buffers[0].raw()) / 1e6:.2f} MB buffer")
    print(f"Model.copy     {t_copy * 1e3:8.3f} ms;  copy.deepcopy {t_deep * 1e3:.3f} ms (rows share term storage copy-on-write)")
    print(f"goal: dumps <= 0.5 s: {'ok' if t_dump <= 0.5 else 'MISSED'}; "
          f"size <= 1.5x arrays: {'ok' if len(data) <= 1.5 * arrays else 'MISSED'}")


if __name__ == "__main__":
    main()
