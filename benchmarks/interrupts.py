"""Ctrl-C latency and outcomes per route: SIGINTs at seeded random moments
of one call each, every trial in a fresh child process (see
tests/interrupt_support.py for the problems and the child's report).

    PYTHONPATH=build/dev nice -n 10 python benchmarks/interrupts.py [--trials 20] [--seed 1]
        [--routes highs_lp,osqp,...]

Prints, per route, the outcomes (result status, KeyboardInterrupt, hang) and
the latency from the signal to the call's return (median / max), then the
same per phase of the call that the signal landed in (the child wraps the
packages' entry points to mark the phases: our hand-off, a package's set-up,
HiGHS before and after its first callback, ...), plus any
trial that broke the rule: an outcome other than "interrupted" or
KeyboardInterrupt, a handler left changed, a model left unusable, a worker
process left running."""
import argparse
import collections
import os
import statistics
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from interrupt_support import interrupt_once, phase_at, random_moments, sigint_ignored  # noqa: E402

# Route -> the window (seconds after "ready") that the random moments are
# drawn from: it covers the call's start (imports, hand-off, set-up) and a
# stretch of the package's own run.
WINDOWS = {
    "first_import": 0.4,
    "highs_lp": 3.0,
    "highs_mip": 1.0,
    "persistent": 1.0,
    "scip": 1.0,
    "osqp": 1.5,
    "ipopt": 3.0,
    "clarabel": 6.0,
    "de": 0.5,
    "de_workers2": 0.5,
    "model_wait": 1.0,
}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--trials", type=int, default=20)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--routes", default=",".join(WINDOWS))
    args = ap.parse_args()
    if sigint_ignored():
        sys.exit("SIGINT is ignored in this shell; the children could not be interrupted")
    print(f"{'route':<13} {'window':>6}  {'median':>7} {'max':>7}  outcomes")
    env = dict(os.environ, PELORA_INTERRUPT_PHASES="1")
    for k, route in enumerate(args.routes.split(",")):
        outcomes = collections.Counter()
        latencies, broken = [], []
        per_phase = collections.defaultdict(list)
        for delay in random_moments(args.seed * 1000 + k, args.trials, WINDOWS[route]):
            rep = interrupt_once(route, delay, env=env)
            if "sent" in rep and not rep.get("late"):
                per_phase[phase_at(rep, rep["sent"])].append(rep["latency"])
            out = rep["outcome"]
            if rep.get("late"):
                out = rep["outcome"] = "signal after the call"
            elif "latency" in rep:
                latencies.append(rep["latency"])
            outcomes[out] += 1
            ok = (out in ("interrupted", "KeyboardInterrupt")
                  or out == "signal after the call")
            ok = ok and rep.get("restored", False) and not rep.get("workers_left")
            ok = ok and rep.get("after") not in ("KeyboardInterrupt", "error")
            if not ok:
                broken.append((round(delay, 3), rep))
        med = statistics.median(latencies) if latencies else float("nan")
        top = max(latencies) if latencies else float("nan")
        counts = ", ".join(f"{n} {o}" for o, n in outcomes.most_common())
        print(f"{route:<13} {WINDOWS[route]:>5.1f}s  {med:>6.3f}s {top:>6.3f}s  {counts}",
              flush=True)
        for name, lat in sorted(per_phase.items(), key=lambda p: -max(p[1])):
            print(f"    {name:<38} n={len(lat):<3} median {statistics.median(lat):6.3f}s"
                  f"  max {max(lat):6.3f}s", flush=True)
        for b in broken:
            print("    broke the rule:", b, flush=True)


if __name__ == "__main__":
    main()
