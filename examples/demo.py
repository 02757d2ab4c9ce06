"""pelora-opt demo: runs each examples/demo_*.py section, modelling first."""
import pathlib
import runpy

here = pathlib.Path(__file__).parent
order = ["model", "solve", "diagnostics", "nonlinear", "mixed_integer", "blackbox", "pareto"]
sections = sorted(here.glob("demo_*.py"), key=lambda p: (
    order.index(p.stem[5:]) if p.stem[5:] in order else len(order), p.stem))
for section in sections:
    print(f"=== {section.stem[5:]} ===")
    runpy.run_path(str(section), run_name="__main__")
    print()
