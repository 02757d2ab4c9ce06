"""The README's two pictures: a convergence history and a Pareto front.

Run:  python examples/plots.py     (needs matplotlib: pip install "pelora-opt[plot]")
Writes docs/images/convergence.png and docs/images/front.png.
"""
import pathlib

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import pelora_opt as po  # noqa: E402
from pelora_opt import plot  # noqa: E402

out = pathlib.Path(__file__).resolve().parent.parent / "docs" / "images"
out.mkdir(parents=True, exist_ok=True)


def rosen(v):
    return sum(100 * (b - a * a) ** 2 + (1 - a) ** 2 for a, b in zip(v, v[1:]))


fig, ax = plt.subplots(figsize=(6, 3.6))
for name, run in [("CMA-ES ipop", lambda: po.solve_cmaes(rosen, [(-2, 2)] * 6, variant="ipop",
                                                          max_evals=6000, seed=1)),
                  ("differential evolution", lambda: po.solve_de(rosen, [(-2, 2)] * 6,
                                                                 max_evals=6000, seed=1))]:
    plot.convergence(run(), ax=ax, label=name)
ax.set_title("Rosenbrock, 6 variables")
ax.legend()
fig.tight_layout()
fig.savefig(out / "convergence.png", dpi=80)


def cost(x):
    return x[0] ** 2 + x[1] ** 2


def risk(x):
    return (x[0] - 1) ** 2 + (x[1] - 1) ** 2


front = po.pareto_frontier([cost, risk], [(-2, 2)] * 2, n_points=25, seed=1)
fig, ax = plt.subplots(figsize=(4.5, 3.6))
plot.front(front, ax=ax, labels=["cost", "risk"])
ax.set_title("Pareto front, two objectives")
fig.tight_layout()
fig.savefig(out / "front.png", dpi=80)
print("wrote", out / "convergence.png", "and", out / "front.png")
