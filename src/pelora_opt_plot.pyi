# Type stubs for pelora_opt.plot (drawn with matplotlib, imported on first use).
from typing import Any, Mapping, Sequence

from pelora_opt import BlackBoxResult

__all__ = ["convergence", "front"]

def convergence(
    result: BlackBoxResult | Sequence[float],
    ax: Any = None,
    *,
    label: str | None = None,
    log: bool | None = None,
) -> Any:
    """Draw the best objective value of a black-box run after every iteration.
    Returns the matplotlib Axes."""

def front(
    points: Sequence[Mapping[str, Any] | Sequence[float]],
    ax: Any = None,
    *,
    labels: Sequence[str] | None = None,
    **scatter: Any,
) -> Any:
    """Draw a Pareto front: a scatter of two objectives, or a 3-D scatter of three.
    Returns the matplotlib Axes."""
