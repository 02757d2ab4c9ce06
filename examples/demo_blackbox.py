"""Black-box optimisation: minimise the Rosenbrock function in 4 dimensions
with differential evolution and with the full CMA-ES."""
import pelora_opt as po


def rosenbrock(x):
    return sum(100.0 * (x[i + 1] - x[i] ** 2) ** 2 + (1.0 - x[i]) ** 2 for i in range(len(x) - 1))


bounds = [(-2.0, 3.0)] * 4

de = po.solve_de(rosenbrock, bounds, max_generations=1500, tol=0.0, seed=7)
print("differential evolution:", de)
print("  x =", [round(v, 5) for v in de.x])
print(f"  objective {de.objective:.3e} after {de.iterations - 1} generations")

es = po.solve_cmaes(rosenbrock, bounds, variant="full", sigma=1.0, seed=7)
print("full CMA-ES:", es)
print("  x =", [round(v, 5) for v in es.x])
print(f"  objective {es.objective:.3e} after {es.iterations - 1} generations, "
      f"{es.evaluations} evaluations")

failing = po.solve_sa(lambda x: 1 / 0 if x[0] > 0 else x[0] ** 2, [(-1.0, 1.0)],
                      max_iterations=2000, seed=3)
print("annealing over an objective that raises for x > 0 (scored +inf):", failing)
