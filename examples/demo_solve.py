"""Solving with HiGHS: a production plan as a MILP, then the shadow prices of
its LP relaxation, then a what-if re-solve with PersistentHighs."""
import pelora_opt as po

PRODUCTS = {  # profit per unit, hours on (cutting, assembly, finishing)
    "chair": (45, (2, 3, 1)),
    "table": (80, (4, 2, 3)),
    "desk": (110, (5, 4, 4)),
}
CAPACITY = {"cutting": 120, "assembly": 100, "finishing": 70}


def plan(integral):
    m = po.Model("production")
    make = {p: (m.integer if integral else m.variable)(p, lower=0, upper=40) for p in PRODUCTS}
    for k, (resource, hours) in enumerate(CAPACITY.items()):
        m.add(po.sum([PRODUCTS[p][1][k] * make[p] for p in PRODUCTS]) <= hours, name=resource)
    m.add(make["desk"] <= 2 * make["table"], name="desks_need_tables")
    m.maximize(po.sum([PRODUCTS[p][0] * make[p] for p in PRODUCTS]))
    return m, make


m, make = plan(integral=True)
print(repr(m))
r = m.solve()
print(r)
print("units:", {p: round(r.value(v)) for p, v in make.items()})
print(f"profit: {r.objective:.2f}  (branch-and-bound nodes: {r.nodes}, gap: {r.gap})")

relaxed, _ = plan(integral=False)
lp = relaxed.solve()
print(f"\nLP relaxation: profit {lp.objective:.2f}, units",
      {name: round(v, 3) for name, v in lp.values().items()})
# HiGHS reports the duals of the minimisation it solved (the negated
# profit), so the value of one more hour is the negated dual.
for name, dual in zip(list(CAPACITY) + ["desks_need_tables"], lp.duals):
    print(f"  {name:<18} shadow price {-dual + 0.0:8.3f}")

print("\nWhat if finishing gets 10 more hours? (PersistentHighs, LP relaxation)")
p = po.PersistentHighs.from_model(model=relaxed)
p.update_row_bounds([2], [float("-inf")], [CAPACITY["finishing"] + 10])
again = p.resolve()
print(f"  profit {again.objective:.2f} (+{again.objective - lp.objective:.2f})")
