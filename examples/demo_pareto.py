"""Trade-offs between objectives, and a problem solved in parts by ADMM."""
import math

import pelora_opt as po

# Two objectives over one variable: be close to 0 and close to 2. Each point of
# the weighted-sum sweep is one differential-evolution run on w*f1 + (1-w)*f2.
front = po.pareto_frontier([lambda x: x[0] ** 2, lambda x: (x[0] - 2.0) ** 2],
                           [(-5.0, 5.0)], n_points=5)
print("weighted-sum frontier of x^2 and (x-2)^2:")
for item in front:
    w = item["weights"][0]
    f1, f2 = item["objectives"]
    print(f"  w={w:.2f}  x={round(item['x'][0], 4) + 0.0:+.4f}  f1={f1:.4f}  f2={f2:.4f}")


# The same question answered by NSGA-II on ZDT1, whose true front is f2 = 1 - sqrt(f1).
def zdt1_f2(x):
    g = 1.0 + 9.0 * sum(x[1:]) / (len(x) - 1)
    return g * (1.0 - math.sqrt(x[0] / g))


items = po.pareto_frontier([lambda x: x[0], zdt1_f2], [(0.0, 1.0)] * 10, method="nsga2",
                           pop_size=40, generations=150)
gap = max(abs(d["objectives"][1] - (1.0 - math.sqrt(d["objectives"][0]))) for d in items)
print(f"NSGA-II on ZDT1: {len(items)} non-dominated points, largest distance to the "
      f"true front {gap:.4f}")


# ADMM: three parts each pull x towards their own target; the consensus is the
# average. Part i solves argmin 1/2 ||x - a_i||^2 + rho/2 ||x - target||^2.
def pull_towards(a):
    return lambda rho, target: [(ai + rho * ti) / (1.0 + rho) for ai, ti in zip(a, target)]


targets = [[1.0, 0.0], [2.0, 3.0], [6.0, -3.0]]
out = po.solve_admm([pull_towards(a) for a in targets], 2, rho=1.0, tol=1e-8)
print(f"ADMM consensus of {targets}: x = [{out['x'][0]:.6f}, {out['x'][1]:.6f}] "
      f"after {out['iterations']} iterations (converged: {out['converged']})")
