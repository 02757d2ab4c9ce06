# Type stubs for the pelora_opt extension module.
from typing import Any, Callable, Sequence

class InternalFailure(BaseException): ...

# --- modelling classes ------------------------------------------------------

# --- results ----------------------------------------------------------------

# --- module functions -------------------------------------------------------

# --- Pareto frontier and ADMM -------------------------------------------------

def pareto_frontier(
    objectives: Sequence[Callable[[list[float]], float]],
    bounds: Sequence[tuple[float, float]],
    n_points: int = 20,
    *,
    seed: int = ...,
    method: str = ...,
    pop_size: int = ...,
    generations: int = ...,
    das_dennis_divisions: int = ...,
    **kwargs: Any,
) -> list[dict[str, Any]]:
    """Multi-objective: compute Pareto frontier via epsilon-constraint method.
    objectives: list of callables, each takes list[float] -> float
    Returns list of Pareto-optimal solutions."""

def solve_admm(
    subproblems: Sequence[Callable[[float, list[float]], Sequence[float]]],
    dim: int,
    rho: float = 1.0,
    max_iter: int = 200,
    tol: float = 1e-6,
) -> dict[str, Any]:
    """ADMM consensus solver for decomposable problems.
    subproblems: list of callables, each takes (rho: float, target: list[float]) -> list[float]"""
