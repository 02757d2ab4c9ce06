"""Model building: a small production plan, printed, exported and validated."""
import pelora_opt as pl

m = pl.Model("production")

# Two products made on two machines; a campaign flag allows overtime.
chairs = m.integer("chairs", lower=0, upper=40)
tables = m.integer("tables", lower=0, upper=20)
overtime = m.variable("overtime_hours", lower=0, upper=10)
campaign = m.binary("campaign")

m.add(2 * chairs + 4 * tables <= 80 + overtime, name="cutting")
m.add(3 * chairs + 2 * tables <= 90, name="assembly")
m.add(overtime - 10 * campaign <= 0, name="overtime_needs_campaign")
m.add(tables >= 2)  # unnamed: shown as c3
m.maximize(45 * chairs + 80 * tables - 25 * overtime - 100 * campaign)

print(repr(m))
print(m.summary())
print("problem type:", m.problem_type)

print("\n--- LP export ---")
print(m.to_lp(), end="")

print("\n--- Python export (first lines) ---")
script = m.to_python()
print("\n".join(script.splitlines()[:12]))

print("\n--- validation of the plan ---")
for w in m.validate() or [{"severity": "-", "category": "-", "message": "no findings"}]:
    print(f"{w['severity']:5} {w['category']:22} {w['message']}")

# A deliberately flawed copy shows what validate reports.
bad = pl.Model("flawed")
a = bad.variable("a", lower=5, upper=4)
b = bad.variable("b", lower=0, upper=10)
c = bad.variable("c", lower=0, upper=1)
bad.variable("spare")
bad.add(0.0001 * a + 5000 * b <= 3e12, name="wide")
bad.add(b + c <= -1, name="impossible")
bad.add(a - a == 0)
print("\n--- validation of a flawed model ---")
for w in bad.validate():
    print(f"{w['severity']:5} {w['category']:22} {w['message']}")

# The generated script is standalone: it rebuilds the same model and solves it.
print("\n--- running the generated script ---")
namespace = {}
exec(script, namespace)
print("rebuilt:", repr(namespace["m"]), "- same LP text:", namespace["m"].to_lp() == m.to_lp())
