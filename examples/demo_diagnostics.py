"""Diagnostics on results: why variables take their values, sensitivity data,
and the conflicting constraints of an infeasible plan (no solver call needed
for any of them: they read the result's copy of the model)."""
import pelora_opt as pl


def production(contracts):
    m = pl.Model("production")
    chairs = m.variable("chairs", lower=0, upper=40)
    tables = m.variable("tables", lower=0, upper=20)
    overtime = m.variable("overtime_hours", lower=0, upper=10)
    m.add(2 * chairs + 4 * tables <= 80 + overtime, name="cutting")
    m.add(3 * chairs + 2 * tables <= 90, name="assembly")
    m.add(tables >= 2)  # unnamed
    for name, var, amount in contracts(chairs, tables):
        m.add(var >= amount, name=name)
    m.maximize(45 * chairs + 80 * tables - 25 * overtime)
    return m, (chairs, tables, overtime)


m, (chairs, tables, overtime) = production(lambda c, t: [])
result = m.solve()
print(result)
print("plan:", {k: round(v, 4) for k, v in result.values().items()})
print("why chairs:  ", result.why(chairs))
print("why overtime:", result.why(overtime))
detail = result.why_detail(tables)
print("why_detail tables:", detail["bound_status"], detail["binding_constraints"])

s = result.sensitivity()
print("shadow prices:", [(name, round(d, 4)) for _, name, d in s["shadow_prices"]])
print("most impactful:", [name for _, name, _ in s["most_impactful"]])
print("active constraints:", s["active_constraints"])
print("variable bounds:", s["variable_bounds"])

# Customer contracts that the cutting capacity cannot meet, even with overtime.
bad, _ = production(lambda c, t: [("chairs_contract", c, 20), ("tables_contract", t, 14)])
bad_result = bad.solve()
print("\ninfeasible variant:", bad_result)
report = bad_result.infeasibility_report()
print(report["explanation"])
for hint in report["suggestions"]:
    print("  hint:", hint)
