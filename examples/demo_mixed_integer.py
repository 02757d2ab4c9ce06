"""Mixed-integer quadratic and nonlinear models through SCIP: a portfolio that
may hold at most two assets, and a set of identical storage tanks."""
import math

import pelora_opt as pl

# --- a minimum-variance portfolio holding at most two assets (MIQP) ---------------
assets = ["bonds", "stocks", "gold", "property"]
mu = [0.03, 0.08, 0.05, 0.06]
cov = [
    [0.0010, 0.0002, 0.0001, 0.0003],
    [0.0002, 0.0250, 0.0010, 0.0080],
    [0.0001, 0.0010, 0.0150, 0.0020],
    [0.0003, 0.0080, 0.0020, 0.0120],
]

m = pl.Model("portfolio_two_assets")
w = [m.variable(a, lower=0, upper=1) for a in assets]
held = [m.binary(f"hold_{a}") for a in assets]
m.add(pl.sum(w) == 1, name="budget")
m.add(pl.sum([r * x for r, x in zip(mu, w)]) >= 0.055, name="return")
m.add(pl.sum(held) <= 2, name="at_most_two")
for x, h in zip(w, held):
    m.add(x - h <= 0)  # no weight without holding the asset
    m.add(x - 0.1 * h >= 0)  # a held asset gets at least 10%
risk = 0.0 * (w[0] * w[0])
for i in range(len(w)):
    for j in range(len(w)):
        risk = risk + cov[i][j] * (w[i] * w[j])
m.minimize(risk)
print("problem type:", m.problem_type)

r = m.solve()  # MIQP: SCIP
print(f"{r.solver}: {r.status}, volatility {math.sqrt(r.objective):.4f}, "
      f"{r.nodes} nodes, gap {r.gap:.1e}")
for a, x in zip(assets, w):
    if r.value(x) > 1e-9:
        print(f"  {a:9} {r.value(x):6.1%}")

# --- identical cylindrical tanks holding 30 m3 with least steel (MINLP) --------------
# n tanks of radius r and height h: n*pi*r^2*h >= 30, h <= 2.5, r <= 1.2;
# steel = n * (2*pi*r^2 + 2*pi*r*h) plus a fixed cost of 4 m2 per tank.
t = pl.Model("tanks")
n = t.integer("n", lower=1, upper=10)
rad = t.variable("r", lower=0.2, upper=1.2)
h = t.variable("h", lower=0.2, upper=2.5)
t.add(math.pi * ((rad * rad) * h * n) >= 30, name="volume")
t.minimize(2 * math.pi * ((rad * rad) * n + (rad * h) * n) + 4 * n)
print("problem type:", t.problem_type)

r = t.solve()  # nonlinear with an integer variable: SCIP
print(f"{r.solver}: {r.status}, steel {r.objective:.3f} m2 with {r.value(n):.0f} tanks "
      f"of radius {r.value(rad):.3f} m and height {r.value(h):.3f} m")
