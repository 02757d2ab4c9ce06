"""The C++ interface of the black-box core, compiled on its own: native
objectives, independent runs on several threads, exceptions out of the
objective, and the same answers as through Python."""
import glob
import os
import shutil
import subprocess

import pytest

import pelora_opt as po

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

DRIVER = r"""
#include <cstdio>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/blackbox/cmaes.hpp"
#include "core/blackbox/differential_evolution.hpp"

using namespace pelora::blackbox;

int main() {
  const Bounds box{{-5, -5, -5}, {5, 5, 5}};
  auto sphere = [](std::span<const double> x) {
    double s = 0.0;
    for (double v : x) {
      const double d = v - 1.0;
      s += d * d;
    }
    return s;
  };

  std::vector<RunResult> out(4);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      DeOptions o;
      o.seed = static_cast<uint64_t>(i + 1);
      o.max_generations = 200;
      o.tol = 0.0;
      out[i] = differential_evolution(box, o, sphere);
    });
  }
  for (auto& t : threads) t.join();
  for (const RunResult& r : out) {
    std::printf("de %.17g %llu %zu", r.objective, (unsigned long long)r.evaluations,
                r.history.size());
    for (double v : r.x) std::printf(" %.17g", v);
    std::printf("\n");
  }

  CmaesOptions es;
  es.variant = CmaesVariant::full;
  es.sigma = 2.0;
  RunResult r = cmaes(box, es, sphere);
  std::printf("cmaes %.17g %llu\n", r.objective, (unsigned long long)r.evaluations);

  int calls = 0;
  try {
    differential_evolution(box, DeOptions{}, [&](std::span<const double>) -> double {
      if (++calls == 5) throw std::runtime_error("stop");
      return 1.0;
    });
  } catch (const std::runtime_error& e) {
    std::printf("stopped %d %s\n", calls, e.what());
  }
  try {
    DeOptions o;
    o.pop_size = 3;
    differential_evolution(box, o, sphere);
  } catch (const std::invalid_argument& e) {
    std::printf("invalid %s\n", e.what());
  }
}
"""


@pytest.fixture(scope="module")
def driver_output(tmp_path_factory):
    cxx = shutil.which("g++") or shutil.which("c++")
    if not cxx:
        pytest.skip("no C++ compiler")
    d = tmp_path_factory.mktemp("native")
    (d / "driver.cpp").write_text(DRIVER)
    sources = sorted(glob.glob(os.path.join(ROOT, "src/core/blackbox/*.cpp")))
    sources.append(os.path.join(ROOT, "src/core/format.cpp"))
    exe = d / "driver"
    subprocess.run([cxx, "-std=c++20", "-O1", "-pthread", "-I", os.path.join(ROOT, "src"),
                    str(d / "driver.cpp"), *sources, "-o", str(exe)], check=True)
    return subprocess.run([str(exe)], capture_output=True, text=True, check=True).stdout


def sphere(x):
    s = 0.0
    for v in x:
        d = v - 1.0
        s += d * d
    return s


def test_parallel_native_runs_match_python_runs(driver_output):
    lines = [ln.split() for ln in driver_output.splitlines() if ln.startswith("de ")]
    assert len(lines) == 4
    for seed, parts in enumerate(lines, start=1):
        r = po.solve_de(sphere, [(-5, 5)] * 3, seed=seed, max_generations=200, tol=0.0)
        assert float(parts[1]) == r.objective
        assert int(parts[2]) == r.evaluations == 30 + 200 * 30
        assert int(parts[3]) == r.iterations
        assert [float(v) for v in parts[4:]] == r.x
        assert r.objective < 1e-10


def test_native_cmaes_and_failures(driver_output):
    cm = next(ln.split() for ln in driver_output.splitlines() if ln.startswith("cmaes "))
    assert float(cm[1]) < 1e-8
    assert "stopped 5 stop" in driver_output
    assert "invalid pop_size must be at least 4 for differential evolution" in driver_output
