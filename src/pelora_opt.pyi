# Type stubs for the pelora_opt extension module.
import os
from typing import NoReturn, Any, Callable, Sequence, final

__all__ = [
    "Model", "Var", "Expr", "QuadExpr", "NlExpr", "Constraint", "Result", "BlackBoxResult",
    "PersistentHighs", "minimize", "maximize", "sum", "sin", "cos", "sqrt", "solve_de",
    "solve_pso", "solve_sa", "solve_cmaes", "pareto_frontier", "stochastic_solve",
    "solve_portfolio", "solve_parallel_de", "solve_admm", "read_model", "exp", "log", "dot",
    "quad_form", "ConstraintRef", "PeloraWarning",
]

from . import plot as plot

__version__: str

class PeloraWarning(UserWarning):
    """Warnings of pelora_opt; the "pelora_opt" logger receives each of them too."""

class InternalFailure(BaseException): ...

# --- modelling classes ------------------------------------------------------

@final
class Model:
    """The main Model class exposed to Python."""
    def __new__(cls, name: str | None = None) -> Model: ...
    def variable(self, name: str, lower: float | None = None, upper: float | None = None) -> Var:
        """Add a continuous variable."""
    def integer(self, name: str, lower: float | None = None, upper: float | None = None) -> Var:
        """Add an integer variable."""
    def binary(self, name: str) -> Var:
        """Add a binary variable."""
    @overload
    def variables(self, prefix: str, count: int, lower: float | _npt.ArrayLike | None = ...,
                  upper: float | _npt.ArrayLike | None = ...) -> list[Var]:
        """Batch-add continuous variables. Returns a list of Var objects.
        Much faster than calling variable() in a loop for large models.
        `lower` / `upper` may be sequences (numpy arrays) of `count` bounds.

        `count` may also be a shape tuple — a numpy object array of that shape,
        names ``x[i,j]`` — or an iterable of keys — a dict key -> Var, names
        ``x[key]`` (a tuple key is written ``x[a,b]``); bounds are numbers then."""
    @overload
    def variables(self, prefix: str, count: tuple[int, ...], lower: float = ...,
                  upper: float = ...) -> _npt.NDArray[_np.object_]: ...
    @overload
    def variables(self, prefix: str, count: Iterable[_K], lower: float = ...,
                  upper: float = ...) -> dict[_K, Var]: ...
    @overload
    def integers(self, prefix: str, count: int, lower: float | _npt.ArrayLike | None = ...,
                 upper: float | _npt.ArrayLike | None = ...) -> list[Var]:
        """Batch-add integer variables (`lower` / `upper` may be per-variable sequences).
        `count` may be a shape tuple or an iterable of keys, as for variables()."""
    @overload
    def integers(self, prefix: str, count: tuple[int, ...], lower: float = ...,
                 upper: float = ...) -> _npt.NDArray[_np.object_]: ...
    @overload
    def integers(self, prefix: str, count: Iterable[_K], lower: float = ...,
                 upper: float = ...) -> dict[_K, Var]: ...
    def add_matrix(self, A: Any, variables: Sequence[Var] | _npt.NDArray[_np.object_],
                   sense: Literal["<=", ">=", "=="] | Sequence[str],
                   rhs: float | _npt.ArrayLike, names: Sequence[str] | None = None) -> list[int]:
        """Add one linear constraint per row of `A`: A[i, :] @ variables (sense[i]) rhs[i].
        `A` is a numpy 2-D array or any scipy.sparse matrix (CSR, CSC and COO are read
        whole). Returns the indices of the new constraints."""
    @overload
    def binaries(self, prefix: str, count: int, lower: float | _npt.ArrayLike = 0.0,
                 upper: float | _npt.ArrayLike = 1.0) -> list[Var]:
        """Batch-add binary variables. `lower` / `upper` (numbers or per-variable
        sequences within [0, 1]) may fix some of them. `count` may be a shape
        tuple or an iterable of keys, as for variables()."""
    @overload
    def binaries(self, prefix: str, count: tuple[int, ...]) -> _npt.NDArray[_np.object_]: ...
    @overload
    def binaries(self, prefix: str, count: Iterable[_K]) -> dict[_K, Var]: ...
    def add(self, constraint: Constraint, name: str | None = None) -> ConstraintRef:
        """Add a constraint. Accepts a Constraint object, with optional name.
        Returns a ConstraintRef, a handle that stays valid when other
        constraints are removed."""
    def var(self, name: str) -> Var:
        """The variable named `name` (the newest of that name); KeyError, with close
        names, when there is none."""
    def constraint(self, name: str) -> ConstraintRef:
        """A ConstraintRef to the first constraint named `name`; KeyError, with close
        names, when there is none."""
    @property
    def vars(self) -> tuple[Var, ...]:
        """The variables in creation order (a tuple)."""
    @property
    def constraints(self) -> tuple[ConstraintRef, ...]:
        """ConstraintRefs of the linear constraints in order, then of the nonlinear ones."""
    def set_coefficient(self, constraint: ConstraintRef | str, var: Var, value: float) -> None:
        """Set the coefficient of `var` in a linear constraint (a ConstraintRef or a
        name); 0 removes the term."""
    def remove(self, constraint: ConstraintRef | str) -> None:
        """Remove a constraint (a ConstraintRef or a name). Later constraints move up one
        position (their `index` changes); every ConstraintRef stays valid."""
    def __getitem__(self, name: str) -> ConstraintRef:
        """m[name] is m.constraint(name)."""
    def __delitem__(self, constraint: ConstraintRef | str) -> None:
        """del m[c] is m.remove(c)."""
    def copy(self) -> Model:
        """An independent copy of the model. The variables and constraint handles of
        this model, as they are now, may be used with the copy too."""
    def __copy__(self) -> Model: ...
    def __deepcopy__(self, memo: dict[int, Any]) -> Model: ...
    def minimize(self, expr: Var | Expr | QuadExpr | NlExpr | float) -> None:
        """Set the objective to minimize. Accepts Var, Expr, or QuadExpr."""
    def maximize(self, expr: Var | Expr | QuadExpr | NlExpr | float) -> None:
        """Set the objective to maximize. Accepts Var, Expr, or QuadExpr."""
    def add_soc_cone(self, vars: Sequence[Var]) -> int:
        """Declare a first-class second-order (Lorentz) cone: ``head >= ||(x_1,…,x_k)||_2``."""
    def add_psd_cone(self, entries: Sequence[Var]) -> int:
        """Declare a first-class positive-semidefinite cone over the upper-triangle,
        column-major svec entries of a symmetric matrix (length d(d+1)/2)."""
    def solve(self, *, solver_options: dict[str, Any] | None = None, **kwargs: Any) -> Result:
        """Solve the model. Auto-detects problem type and selects best solver.

        solver: "highs", "osqp", "clarabel", "ipopt", "scipy"/"slsqp" or "scip"
        (SCIP via pyscipopt; chosen automatically for MIQP models and for
        nonlinear models with integer or binary variables).
        ranging: bool — LP cost and right-hand-side ranges in sensitivity()
        (HiGHS, continuous LP).

        solver_options: the chosen solver's own settings (HiGHS options, OSQP
        and Clarabel settings, Ipopt options, SCIP parameters, SLSQP options),
        applied after the other options; a key the solver refuses raises
        ValueError naming the key and the solver."""
    def validate(self) -> list[dict[str, str]]:
        """Validate the model before solving. Returns list of warning dicts."""
    def to_lp(self) -> str:
        """Export the model to LP format string."""
    def to_mps(self) -> str:
        """Export the model to free-format MPS string."""
    def write(self, path: str | os.PathLike[str] | bytes) -> None:
        """Write the model to a file: LP, MPS or a Python script, chosen by the suffix
        (.lp, .mps, .py; .gz after it compresses the file)."""
    def to_python(self) -> str:
        """Generate standalone Python code that recreates this model."""
    def summary(self) -> str:
        """Get a human-readable model summary."""
    @property
    def num_vars(self) -> int:
        """Number of variables."""
    @property
    def num_constraints(self) -> int:
        """Number of constraints."""
    @property
    def problem_type(self) -> str:
        """Detected problem type."""

# --- expression algebra -------------------------------------------------------

from typing import ClassVar, Iterable, Literal, TypeAlias, overload
import numpy as _np
import numpy.typing as _npt

# A number operand: Python numbers and numpy scalars (0-d arrays work too).
_Num: TypeAlias = float | int | _np.floating[Any] | _np.integer[Any]
_Linear: TypeAlias = Var | Expr
_Any: TypeAlias = Var | Expr | QuadExpr | NlExpr | _Num
from typing import Hashable, TypeVar
_K = TypeVar("_K", bound=Hashable)

@final
class Var:
    """A variable reference returned to Python. Supports operator overloading
    to build expressions naturally: `x + 2*y >= 5`."""
    __array_ufunc__: ClassVar[None]
    def __hash__(self) -> int: ...
    @property
    def name(self) -> str:
        """The variable's name (read-only)."""
    @property
    def index(self) -> int:
        """The variable's position in its model, from 0 (read-only)."""
    @property
    def lower(self) -> float:
        """Lower bound in the variable's model; setting it changes the model (NaN is refused)."""
    @lower.setter
    def lower(self, value: float) -> None: ...
    @property
    def upper(self) -> float:
        """Upper bound in the variable's model; setting it changes the model (NaN is refused)."""
    @upper.setter
    def upper(self, value: float) -> None: ...
    @property
    def kind(self) -> Literal["continuous", "integer", "binary"]:
        """"continuous", "integer" or "binary"; setting "binary" also sets bounds [0, 1]."""
    @kind.setter
    def kind(self, value: Literal["continuous", "integer", "binary"]) -> None: ...
    def fix(self, value: float) -> None:
        """Fix the variable at `value` (both bounds); unfix() restores the bounds it had."""
    def unfix(self) -> None:
        """Restore the bounds the variable had before fix() (nothing when it is not fixed)."""
    def __neg__(self) -> Expr: ...
    @overload
    def __add__(self, other: Var | Expr | _Num) -> Expr: ...
    @overload
    def __add__(self, other: QuadExpr) -> QuadExpr: ...
    @overload
    def __add__(self, other: NlExpr) -> NlExpr: ...
    def __radd__(self, other: _Num) -> Expr: ...
    @overload
    def __sub__(self, other: Var | Expr | _Num) -> Expr: ...
    @overload
    def __sub__(self, other: QuadExpr) -> QuadExpr: ...
    @overload
    def __sub__(self, other: NlExpr) -> NlExpr: ...
    def __rsub__(self, other: _Num) -> Expr: ...
    @overload
    def __mul__(self, other: Var | Expr) -> QuadExpr: ...
    @overload
    def __mul__(self, other: _Num) -> Expr: ...
    @overload
    def __mul__(self, other: QuadExpr | NlExpr) -> NlExpr: ...
    def __rmul__(self, other: _Num) -> Expr: ...
    @overload
    def __truediv__(self, other: _Num) -> Expr: ...
    @overload
    def __truediv__(self, other: Var | Expr | QuadExpr | NlExpr) -> NlExpr: ...
    def __rtruediv__(self, other: _Num) -> NlExpr: ...
    @overload
    def __pow__(self, exponent: Literal[1], modulo: int | None = None) -> Expr: ...
    @overload
    def __pow__(self, exponent: Literal[2], modulo: int | None = None) -> QuadExpr: ...
    @overload
    def __pow__(self, exponent: int | float, modulo: int | None = None) -> Expr | QuadExpr | NlExpr: ...
    def __le__(self, other: _Any) -> Constraint: ...
    def __ge__(self, other: _Any) -> Constraint: ...
    def __eq__(self, other: _Any) -> Constraint: ...  # type: ignore[override]
    def __ne__(self, other: _Any) -> bool: ...  # type: ignore[override]

@final
class Expr:
    """A linear expression in Python. Built by combining Var objects with +, -, *."""
    __hash__: ClassVar[None]  # type: ignore[assignment]
    __array_ufunc__: ClassVar[None]
    def __neg__(self) -> Expr: ...
    @overload
    def __add__(self, other: Var | Expr | _Num) -> Expr: ...
    @overload
    def __add__(self, other: QuadExpr) -> QuadExpr: ...
    @overload
    def __add__(self, other: NlExpr) -> NlExpr: ...
    def __radd__(self, other: _Num) -> Expr: ...
    @overload
    def __sub__(self, other: Var | Expr | _Num) -> Expr: ...
    @overload
    def __sub__(self, other: QuadExpr) -> QuadExpr: ...
    @overload
    def __sub__(self, other: NlExpr) -> NlExpr: ...
    def __rsub__(self, other: _Num) -> Expr: ...
    @overload
    def __mul__(self, other: _Num) -> Expr: ...
    @overload
    def __mul__(self, other: Var | Expr) -> QuadExpr: ...
    @overload
    def __mul__(self, other: QuadExpr | NlExpr) -> NlExpr: ...
    def __rmul__(self, other: _Num) -> Expr: ...
    @overload
    def __truediv__(self, other: _Num) -> Expr: ...
    @overload
    def __truediv__(self, other: Var | Expr | QuadExpr | NlExpr) -> NlExpr: ...
    def __rtruediv__(self, other: _Num) -> NlExpr: ...
    @overload
    def __pow__(self, exponent: Literal[1], modulo: int | None = None) -> Expr: ...
    @overload
    def __pow__(self, exponent: Literal[2], modulo: int | None = None) -> QuadExpr: ...
    @overload
    def __pow__(self, exponent: int | float, modulo: int | None = None) -> Expr | QuadExpr | NlExpr: ...
    def __le__(self, other: _Any) -> Constraint: ...
    def __ge__(self, other: _Any) -> Constraint: ...
    def __eq__(self, other: _Any) -> Constraint: ...  # type: ignore[override]
    def __ne__(self, other: _Any) -> bool: ...  # type: ignore[override]

@final
class QuadExpr:
    """A quadratic expression: linear + quadratic terms.
    Supports x**2, x*y, and combinations with linear expressions."""
    __hash__: ClassVar[None]  # type: ignore[assignment]
    __array_ufunc__: ClassVar[None]
    def __neg__(self) -> QuadExpr: ...
    @overload
    def __add__(self, other: Var | Expr | QuadExpr | _Num) -> QuadExpr: ...
    @overload
    def __add__(self, other: NlExpr) -> NlExpr: ...
    def __radd__(self, other: _Num) -> QuadExpr: ...
    @overload
    def __sub__(self, other: Var | Expr | QuadExpr | _Num) -> QuadExpr: ...
    @overload
    def __sub__(self, other: NlExpr) -> NlExpr: ...
    def __rsub__(self, other: _Num) -> QuadExpr: ...
    @overload
    def __mul__(self, other: _Num) -> QuadExpr: ...
    @overload
    def __mul__(self, other: Var | Expr | QuadExpr | NlExpr) -> NlExpr: ...
    def __rmul__(self, other: _Num) -> QuadExpr: ...
    @overload
    def __truediv__(self, other: _Num) -> QuadExpr: ...
    @overload
    def __truediv__(self, other: Var | Expr | QuadExpr | NlExpr) -> NlExpr: ...
    def __rtruediv__(self, other: _Num) -> NlExpr: ...
    @overload
    def __pow__(self, exponent: Literal[1], modulo: int | None = None) -> QuadExpr: ...
    @overload
    def __pow__(self, exponent: int | float, modulo: int | None = None) -> QuadExpr | NlExpr: ...
    def __le__(self, other: _Any) -> Constraint: ...
    def __ge__(self, other: _Any) -> Constraint: ...
    def __eq__(self, other: _Any) -> Constraint: ...  # type: ignore[override]
    def __ne__(self, other: _Any) -> bool: ...  # type: ignore[override]

@final
class NlExpr:
    """A nonlinear expression in Python. Produced by `sin`/`cos`/`sqrt` applied
    to `Var`/`Expr`, or by arithmetic combining a nonlinear operand with a
    `Var`/`Expr`/scalar. Comparison operators produce nonlinear constraints."""
    __hash__: ClassVar[None]  # type: ignore[assignment]
    __array_ufunc__: ClassVar[None]
    def __neg__(self) -> NlExpr: ...
    def __add__(self, other: _Any) -> NlExpr: ...
    def __radd__(self, other: _Num) -> NlExpr: ...
    def __sub__(self, other: _Any) -> NlExpr: ...
    def __rsub__(self, other: _Num) -> NlExpr: ...
    def __mul__(self, other: _Any) -> NlExpr: ...
    def __rmul__(self, other: _Num) -> NlExpr: ...
    def __truediv__(self, other: _Any) -> NlExpr: ...
    def __rtruediv__(self, other: _Num) -> NlExpr: ...
    def __pow__(self, exponent: int | float, modulo: int | None = None) -> NlExpr: ...
    def __le__(self, other: _Any) -> Constraint: ...
    def __ge__(self, other: _Any) -> Constraint: ...
    def __eq__(self, other: _Any) -> Constraint: ...  # type: ignore[override]
    def __ne__(self, other: _Any) -> bool: ...  # type: ignore[override]

@final
class ConstraintRef:
    """A handle on a constraint of a model, returned by Model.add. It stays valid
    when other constraints are removed; `index` is its current position."""
    def __hash__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    @property
    def name(self) -> str | None:
        """The constraint's name, or None."""
    @property
    def index(self) -> int:
        """The constraint's current position among the model's linear (or nonlinear)
        constraints; removing an earlier constraint moves it up by one."""
    @property
    def sense(self) -> Literal["<=", ">=", "=="]:
        """"<=", ">=" or "=="."""
    @property
    def rhs(self) -> float:
        """Right-hand side; setting it changes the model."""
    @rhs.setter
    def rhs(self, value: float) -> None: ...
    @property
    def nonlinear(self) -> bool:
        """True for a nonlinear constraint."""

@final
class Constraint:
    """A constraint object returned by comparison operators."""
    def __bool__(self) -> NoReturn:
        """Raises TypeError: a constraint has no truth value (see chained comparisons)."""

@overload
def sum(items: Iterable[Var | Expr | _Num]) -> Expr:
    """Summation helper: pelora.sum([expr1, expr2, ...]) — accepts Var and Expr objects.

    Any iterable (list, tuple, generator, numpy object array) of numbers, Var, Expr,
    QuadExpr and NlExpr is accepted; the result is the narrowest type holding the sum."""
@overload
def sum(items: Iterable[Var | Expr | QuadExpr | _Num]) -> Expr | QuadExpr: ...
@overload
def sum(items: Iterable[_Any]) -> Expr | QuadExpr | NlExpr: ...
def sin(obj: _Any) -> NlExpr:
    """`sin(x)` — returns an `NlExpr` wrapping `Sin(x)`."""
def cos(obj: _Any) -> NlExpr:
    """`cos(x)` — returns an `NlExpr` wrapping `Cos(x)`."""
def sqrt(obj: _Any) -> NlExpr:
    """`sqrt(x)` — returns an `NlExpr` wrapping `Sqrt(x)`."""
def exp(obj: _Any) -> NlExpr:
    """`exp(x)` — returns an `NlExpr` wrapping `Exp(x)`."""
def log(obj: _Any) -> NlExpr:
    """`log(x)` — returns an `NlExpr` wrapping `Log(x)` (natural logarithm)."""
def dot(coefficients: _npt.ArrayLike, variables: Sequence[Var] | _npt.NDArray[_np.object_]) -> Expr:
    """The linear expression sum(coefficients[k] * variables[k]) built in one call.
    `coefficients` is any buffer (a numpy array) or sequence of floats, `variables` a
    sequence of Var of the same length; zero coefficients are left out."""
def quad_form(Q: Any, variables: Sequence[Var] | _npt.NDArray[_np.object_]) -> QuadExpr:
    """The quadratic form x'Qx over `variables` (x), built in one call. `Q` is a square
    numpy 2-D array or any scipy.sparse matrix; each nonzero Q[i, j] gives the term
    Q[i, j] * x[i] * x[j]."""

# --- results ----------------------------------------------------------------

# --- solving: Result and PersistentHighs ---------------------------------------

class Result:
    """The solve result returned to Python."""
    @property
    def status(self) -> str:
        """Solution status as a string."""
    @property
    def objective(self) -> float | None:
        """Objective value (None if no solution)."""
    @property
    def solve_time(self) -> float:
        """Solve time in seconds."""
    @property
    def solver(self) -> str:
        """Solver used."""
    @property
    def iterations(self) -> int | None:
        """Number of simplex/barrier iterations."""
    @property
    def nodes(self) -> int | None:
        """Number of B&B nodes explored (MIP only)."""
    @property
    def gap(self) -> float | None:
        """MIP gap (MIP only)."""
    @property
    def is_optimal(self) -> bool:
        """Whether the solve found an optimal solution."""
    @property
    def primals(self) -> list[float]:
        """Raw primal values as a flat list, indexed by variable creation order."""
    @property
    def var_names_list(self) -> list[str]:
        """Variable names in creation order (matches primals indexing)."""
    @property
    def duals(self) -> list[float] | None:
        """Dual values (shadow prices) as a list."""
    def value(self, var: Var | Expr | QuadExpr | NlExpr) -> float:
        """Get the value of a variable by its Var reference."""
    def values(self) -> dict[str, float]:
        """Get all variable values as a dict {name: value}. A name used by several
        variables is made unique as the exports do: x, x_1, x_2, ..."""
    def dual(self, constraint: ConstraintRef | str) -> float | None:
        """The dual value of a linear constraint, given as a ConstraintRef or by name
        (None when the solver gave no duals)."""
    def to_dict(self) -> dict[str, Any]:
        """The outcome as plain values: {"status", "objective", "values": {name: value},
        "duals": {constraint name: value}} (unnamed constraints as c0, c1, ...)."""
    def basis(self) -> Any | None:
        """Basis object for LP hot-start (HiGHS only)."""
    def primal_array(self) -> _npt.NDArray[_np.float64] | None:
        """The primal values as a numpy float64 array in variable creation order, or None."""
    def dual_array(self) -> _npt.NDArray[_np.float64] | None:
        """The dual values as a numpy float64 array in constraint order, or None."""
    # --- diagnostics (read the result's copy of the model; no solver call) ---
    def why(self, var: Var) -> str:
        """Explain why a variable has its current value at the optimum."""
    def why_detail(self, var: Var) -> dict[str, Any]:
        """Get detailed "why" report as a dict."""
    def sensitivity(self) -> dict[str, list[tuple[Any, ...]]]:
        """Get sensitivity analysis: shadow prices, active constraints, bound status.

        After ``solve(ranging=True)`` also "cost_ranges" (per variable) and
        "rhs_ranges" (per linear constraint): (low, high) pairs keeping the
        optimal basis optimal."""
    def infeasibility_report(self) -> dict[str, Any]:
        """Compute the Irreducible Infeasible Subsystem.
        Only meaningful when status is "infeasible"."""

class PersistentHighs:
    @staticmethod
    def from_model(
        *,
        model: Model,
        verbose: bool = ...,
        threads: int = ...,
        gap: float = ...,
        time_limit: float = ...,
        **kwargs: Any,
    ) -> PersistentHighs: ...
    def update_col_bounds(
        self, indices: Sequence[int], lowers: Sequence[float], uppers: Sequence[float]
    ) -> None: ...
    def update_row_bounds(
        self, indices: Sequence[int], lowers: Sequence[float], uppers: Sequence[float]
    ) -> None: ...
    def update_col_costs(self, indices: Sequence[int], costs: Sequence[float]) -> None: ...
    def update_matrix_coeffs(
        self, rows: Sequence[int], cols: Sequence[int], values: Sequence[float]
    ) -> None:
        """Update individual constraint-matrix coefficients in place
        (HiGHS changeCoeff) — Phase 20.x.4. Expert API: the caller is
        responsible for keeping the mirrored HostSystem consistent."""
    def row_bounds(self) -> tuple[list[float], list[float]]:
        """Current (lower, upper) row bounds as loaded/updated — Phase 18.a."""
    def col_bounds(self) -> tuple[list[float], list[float]]:
        """Current (lower, upper) column bounds as loaded/updated."""
    def col_costs(self) -> list[float]:
        """Current column costs as loaded/updated."""
    def resolve(self) -> Result: ...
    def num_cols(self) -> int: ...
    def num_rows(self) -> int: ...

# --- module functions -------------------------------------------------------

def minimize(
    objective: Var | Expr | QuadExpr | NlExpr | float,
    constraints: Sequence[Constraint] | None = None,
    *,
    verbose: bool = ...,
    time_limit: float = ...,
    **kwargs: Any,
) -> Result:
    """Solve a minimization problem in one line.
    Usage: result = minimize(objective_expr, [constraint1, constraint2, ...])"""
def maximize(
    objective: Var | Expr | QuadExpr | NlExpr | float,
    constraints: Sequence[Constraint] | None = None,
    *,
    verbose: bool = ...,
    time_limit: float = ...,
    **kwargs: Any,
) -> Result:
    """Solve a maximization problem in one line."""

# --- black-box optimisers ------------------------------------------------------

class BlackBoxResult:
    """Black-box result returned from metaheuristic solvers."""
    @property
    def x(self) -> list[float]: ...
    @property
    def objective(self) -> float: ...
    @property
    def iterations(self) -> int: ...
    @property
    def evaluations(self) -> int: ...
    @property
    def converged(self) -> bool: ...
    @property
    def history(self) -> list[float]: ...

class RunState(tuple[int, int, list[float], float, float]):
    """State of a black-box run after a generation or iteration: iteration, evaluations, best x, best objective value, elapsed seconds."""
    @property
    def iteration(self) -> int: ...
    @property
    def evaluations(self) -> int: ...
    @property
    def x(self) -> list[float]: ...
    @property
    def objective(self) -> float: ...
    @property
    def elapsed(self) -> float: ...

# workers=: an int n (a process pool of n workers that the call starts and
# closes; -1 for every core; 1 evaluates in this process, a generation at a
# time), a map-like callable workers(func, iterable) -> iterable, a pool
# object with such a map method, or a dask.distributed.Client. A map, pool or
# client gets a generation as at most one chunk (a list of points) per worker.
Workers = int | Callable[[Callable[[Any], Any], list[Any]], Any] | Any

def solve_de(
    obj_func: Callable[[list[float]], float],
    bounds: Sequence[tuple[float, float]],
    *,
    pop_size: int = ...,
    max_generations: int = 1000,
    f: float = 0.8,
    cr: float = 0.9,
    seed: int = 42,
    tol: float = 1e-8,
    max_evals: int | None = None,
    max_time: float | None = None,
    target: float | None = None,
    callback: Callable[[RunState], bool | None] | None = None,
    verbose: bool = False,
    workers: Workers | None = None,
    vectorized: bool = False,
    polish: bool = False,
    **kwargs: Any,
) -> BlackBoxResult:
    """Solve a black-box optimisation problem using Differential Evolution.
    obj_func: callable(x: list[float]) -> float
    bounds: list of (lower, upper) tuples

    With workers or vectorized, a generation is evaluated as one batch and the
    population uses deferred updating: every trial is built from the
    population of the generation's start, and selection follows the batch.
    Without them, a winning trial replaces its member at once."""

def solve_pso(
    obj_func: Callable[[list[float]], float],
    bounds: Sequence[tuple[float, float]],
    *,
    pop_size: int = ...,
    max_iterations: int = 1000,
    seed: int = 42,
    tol: float = 1e-8,
    max_evals: int | None = None,
    max_time: float | None = None,
    target: float | None = None,
    callback: Callable[[RunState], bool | None] | None = None,
    verbose: bool = False,
    workers: Workers | None = None,
    vectorized: bool = False,
    **kwargs: Any,
) -> BlackBoxResult:
    """Solve a black-box optimisation problem using Particle Swarm Optimisation."""

def solve_sa(
    obj_func: Callable[[list[float]], float],
    bounds: Sequence[tuple[float, float]],
    *,
    max_iterations: int = 10000,
    seed: int = 42,
    temp_init: float = 100.0,
    cooling_rate: float = 0.999,
    max_evals: int | None = None,
    max_time: float | None = None,
    target: float | None = None,
    callback: Callable[[RunState], bool | None] | None = None,
    verbose: bool = False,
    **kwargs: Any,
) -> BlackBoxResult:
    """Solve a black-box optimisation problem using Simulated Annealing."""

def solve_cmaes(
    obj_func: Callable[[list[float]], float],
    bounds: Sequence[tuple[float, float]],
    *,
    pop_size: int = ...,
    max_generations: int = 1000,
    sigma: float = 0.3,
    seed: int = 42,
    tol: float = 1e-8,
    variant: str = "simple",
    restarts: int = 0,
    max_evals: int | None = None,
    max_time: float | None = None,
    target: float | None = None,
    callback: Callable[[RunState], bool | None] | None = None,
    verbose: bool = False,
    workers: Workers | None = None,
    vectorized: bool = False,
    **kwargs: Any,
) -> BlackBoxResult:
    """Solve using CMA-ES.
    variant="simple" (default): a diagonal evolution strategy with a one-fifth-success
    step-size rule; "full": covariance matrix adaptation (restarts=n doubles the population
    at each restart); "ipop": covariance matrix adaptation with weighted recombination,
    active rank-mu updates and restarts that double the population, the recommended first
    choice; "bipop": the same, with restarts alternating between doubling the population
    and short runs with small populations and small initial steps (given max_evals, the
    first restart is large and small runs go next while they have spent less than half of
    what the large restarts have; otherwise whichever regime has spent fewer evaluations
    goes next), a restart settling well above the best value found giving way early, and
    offspring up to two standard deviations past a bound that the mean has crossed going
    unpenalised once the mean is outside the box in half the coordinates (an optimum at a
    corner is then hit exactly). Names match in any case; another name raises ValueError. ipop and bipop end the call, converged, once the best value is one that a
    run ending by flat values or tiny steps reached and the last two restarts improved it
    by no more than tol (relative to max(1, |best|)); giving max_evals or restarts asks for
    every evaluation or restart they allow instead."""

def stochastic_solve(
    scenario_func: Callable[[list[float], Any], float],
    bounds: Sequence[tuple[float, float]],
    scenarios: Sequence[Any],
    *,
    max_generations: int = 500,
    seed: int = 42,
    pop_size: int = ...,
    max_evals: int | None = None,
    max_time: float | None = None,
    target: float | None = None,
    callback: Callable[[RunState], bool | None] | None = None,
    verbose: bool = False,
    workers: Workers | None = None,
    vectorized: bool = False,
    **kwargs: Any,
) -> BlackBoxResult:
    """Scenario-based stochastic optimisation.
    Solves: min E[f(x, scenario)] over scenarios.
    scenario_func: callable(x: list[float], scenario: dict) -> float
    scenarios: list of dicts, each representing a scenario with probability"""

def solve_portfolio(
    obj_func: Callable[[list[float]], float],
    bounds: Sequence[tuple[float, float]],
    max_evals: int = 5000,
    *,
    max_time: float | None = None,
    callback: Callable[[RunState], bool | None] | None = None,
    verbose: bool = False,
    workers: Workers | None = None,
    vectorized: bool = False,
) -> BlackBoxResult:
    """Portfolio solver: run DE + PSO + CMA-ES + SA sequentially, return best.
    (Sequential to avoid GIL deadlock with Python callbacks.)
    With workers, each member evaluates its generations on the workers; annealing stays in this process."""

def solve_parallel_de(
    obj_func: Callable[[list[float]], float],
    bounds: Sequence[tuple[float, float]],
    *,
    pop_size: int = ...,
    max_generations: int = 1000,
    seed: int = 42,
    max_evals: int | None = None,
    max_time: float | None = None,
    target: float | None = None,
    callback: Callable[[RunState], bool | None] | None = None,
    verbose: bool = False,
    workers: Workers | None = None,
    vectorized: bool = False,
    **kwargs: Any,
) -> BlackBoxResult:
    """Enhanced DE with larger population.
    For truly parallel evaluation of native objectives, use the library's C++ interface.
    For Python objectives, pass workers= (a process count or a map-like callable)."""

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
    max_evals: int | None = None,
    max_time: float | None = None,
    callback: Callable[[RunState], bool | None] | None = None,
    verbose: bool = False,
    workers: Workers | None = None,
    vectorized: bool = False,
    **kwargs: Any,
) -> list[dict[str, Any]]:
    """Multi-objective: compute Pareto frontier via epsilon-constraint method.
    objectives: list of callables, each takes list[float] -> float
    Returns list of Pareto-optimal solutions.
    method: "weighted_sum" (two objectives only), "nsga2" or "nsga3", in any case; another
    name raises ValueError. Left out: the sweep for two objectives, NSGA-II for three,
    NSGA-III for more.
    The two-objective sweep keeps only its non-dominated, distinct points, in weight order."""

def solve_admm(
    subproblems: Sequence[Callable[[float, list[float]], Sequence[float]]],
    dim: int,
    rho: float = 1.0,
    max_iter: int = 200,
    tol: float = 1e-6,
    *,
    workers: Workers | None = None,
    callback: Callable[[RunState], bool | None] | None = None,
    max_time: float | None = None,
    max_evals: int | None = None,
    verbose: bool = False,
) -> dict[str, Any]:
    """ADMM consensus solver for decomposable problems.
    subproblems: list of callables, each takes (rho: float, target: list[float]) -> list[float]
    With workers, the parts of one iteration are solved in parallel."""

def read_model(path: str | os.PathLike[str] | bytes) -> Model:
    """Read a model file (MPS fixed or free, LP; .gz compressed too) with HiGHS's readers
    (needs highspy) and return it as a Model. A ranged row becomes two constraints
    (>= lower, then <= upper) with the row's name; an integer column with bounds [0, 1]
    becomes a binary variable. The suffix (.mps, .lp, .gz) is read in any letter case.
    An MPS entry for a row or column the file does not declare, or an entry given
    twice, raises ValueError naming its line."""
