"""Quadratic, conic and nonlinear solving: a small portfolio, a tin can."""
import math

import pelora_opt as pl

# --- a minimum-variance portfolio (QP through OSQP) --------------------------------
assets = ["bonds", "stocks", "gold", "property"]
mu = [0.03, 0.08, 0.05, 0.06]  # expected yearly returns
cov = [
    [0.0010, 0.0002, 0.0001, 0.0003],
    [0.0002, 0.0250, 0.0010, 0.0080],
    [0.0001, 0.0010, 0.0150, 0.0020],
    [0.0003, 0.0080, 0.0020, 0.0120],
]
target = 0.055

m = pl.Model("portfolio")
w = [m.variable(a, lower=0, upper=1) for a in assets]
m.add(pl.sum(w) == 1, name="budget")
m.add(pl.sum([r * x for r, x in zip(mu, w)]) >= target, name="return")
risk = cov[0][0] * (w[0] * w[0])
for i in range(len(w)):
    for j in range(i, len(w)):
        if (i, j) != (0, 0):
            risk = risk + (cov[i][j] * (1 if i == j else 2)) * (w[i] * w[j])
m.minimize(risk)
print("problem type:", m.problem_type)

r = m.solve()
print(f"{r.solver}: {r.status}, variance {r.objective:.6f}, "
      f"volatility {math.sqrt(r.objective):.4f}")
for name, value in r.values().items():
    print(f"  {name:9} {max(value, 0.0):6.1%}")

# The same model through the other solvers that take quadratic objectives.
for solver in ("highs", "clarabel", "ipopt", "scipy"):
    other = m.solve(solver=solver)
    print(f"  {other.solver:12} variance {other.objective:.6f}")

# --- the same portfolio with a volatility cap as a second-order cone ------------------
# Maximise the return with volatility at most 12%: the risk is ||L'w|| with L
# the Cholesky factor of the covariance, y = L'w, (0.12, y) in the cone.
n = len(assets)
chol = [[0.0] * n for _ in range(n)]
for i in range(n):
    for j in range(i + 1):
        s = cov[i][j] - sum(chol[i][k] * chol[j][k] for k in range(j))
        chol[i][j] = math.sqrt(s) if i == j else s / chol[j][j]

c = pl.Model("portfolio_soc")
w = [c.variable(a, lower=0, upper=1) for a in assets]
cap = c.variable("cap", lower=0.12, upper=0.12)
y = [c.variable(f"y{k}") for k in range(n)]
for k in range(n):
    c.add(y[k] - pl.sum([chol[i][k] * w[i] for i in range(k, n)]) == 0)
c.add(pl.sum(w) == 1, name="budget")
c.add_soc_cone([cap] + y)
c.maximize(pl.sum([r * x for r, x in zip(mu, w)]))
r = c.solve()
print(f"\nvolatility cap 12%: {r.solver}: {r.status}, return {r.objective:.4%}")
print("  " + ", ".join(f"{a} {max(r.value(x), 0.0):.1%}" for a, x in zip(assets, w)))

# --- a tin can of 1 litre with the least metal (NLP through Ipopt) --------------------
# minimise 2*pi*r^2 + 2*pi*r*h  subject to  pi*r^2*h = 1000 (cm^3)
t = pl.Model("can")
radius = t.variable("radius", lower=1, upper=30)
height = t.variable("height", lower=1, upper=60)
t.minimize(2 * math.pi * (radius * radius) + 2 * math.pi * (radius * height))
t.add(math.pi * ((radius * radius) * height) == 1000, name="volume")
print("\nproblem type:", t.problem_type)
r = t.solve()
print(f"{r.solver}: {r.status}, metal {r.objective:.2f} cm^2, "
      f"radius {r.value(radius):.3f} cm, height {r.value(height):.3f} cm")
print(f"  closed form: radius {(500 / math.pi) ** (1 / 3):.3f} cm, height = 2 * radius")

# --- one line: the nearest point of the unit circle to (2, 1) ----------------------
p = pl.Model("scratch")
u, v = p.variable("u"), p.variable("v")
r = pl.minimize(u * u + v * v - 4 * u - 2 * v, [pl.sqrt(u * u + v * v) <= 1])
print(f"\none line: {r.solver} {r.status}, point ({r.primals[0]:.4f}, {r.primals[1]:.4f}), "
      f"expected ({2 / math.sqrt(5):.4f}, {1 / math.sqrt(5):.4f})")
