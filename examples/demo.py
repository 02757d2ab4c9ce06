"""pelora-opt demo: runs every examples/demo_*.py section in order."""
import pathlib
import runpy

here = pathlib.Path(__file__).parent
for section in sorted(here.glob("demo_*.py")):
    print(f"=== {section.stem[5:]} ===")
    runpy.run_path(str(section), run_name="__main__")
    print()
