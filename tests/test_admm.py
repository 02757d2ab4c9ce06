"""solve_admm: the consensus loop, its result dictionary and its edge cases."""
import math

import pytest

import pelora_opt as po

KEYS = ["x", "z", "iterations", "primal_residual", "dual_residual", "converged"]


def identity(rho, target):
    return target


def prox_to(a):
    # argmin 1/2 ||x - a||^2 + rho/2 ||x - v||^2 = (a + rho v) / (1 + rho)
    def part(rho, v):
        return [(ai + rho * vi) / (1.0 + rho) for ai, vi in zip(a, v)]

    return part


def test_result_keys_in_order():
    out = po.solve_admm([identity], 2)
    assert list(out) == KEYS
    assert out["x"] == out["z"] and out["x"] is not out["z"]


def test_max_iter_zero():
    calls = []
    out = po.solve_admm([lambda r, v: calls.append(1)], 3, max_iter=0)
    assert out == {"x": [0.0] * 3, "z": [0.0] * 3, "iterations": 0, "primal_residual": math.inf,
                   "dual_residual": math.inf, "converged": False}
    assert calls == []


@pytest.mark.parametrize("dim", [0, 3])
def test_identity_parts_and_empty_vectors_converge_at_once(dim):
    out = po.solve_admm([identity, identity], dim)
    assert out == {"x": [0.0] * dim, "z": [0.0] * dim, "iterations": 1, "primal_residual": 0.0,
                   "dual_residual": 0.0, "converged": True}


def test_tol_zero_never_converges():
    out = po.solve_admm([prox_to([1.0]), prox_to([3.0])], 1, tol=0.0, max_iter=25)
    assert out["iterations"] == 25 and out["converged"] is False
    assert out["x"][0] == pytest.approx(2.0, abs=1e-6)


def test_converges_to_known_consensus():
    targets = [[1.0, -2.0], [3.0, 0.0], [5.0, 4.0]]
    out = po.solve_admm([prox_to(a) for a in targets], 2, rho=0.5, max_iter=500, tol=1e-9)
    assert out["converged"] is True and 1 < out["iterations"] < 500
    assert out["x"] == pytest.approx([3.0, 2.0 / 3.0], abs=1e-7)
    assert out["primal_residual"] < 1e-9 and out["dual_residual"] < 1e-9


def test_least_squares_split_matches_normal_equations():
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(3)
    a = rng.normal(size=(40, 4))
    b = rng.normal(size=40)
    parts = []
    for rows in np.array_split(np.arange(40), 4):
        ai, bi = a[rows], b[rows]

        def part(rho, v, ai=ai, bi=bi):
            return np.linalg.solve(ai.T @ ai + rho * np.eye(4), ai.T @ bi + rho * np.asarray(v))

        parts.append(part)  # returns a numpy array: any sequence of numbers is accepted
    out = po.solve_admm(parts, 4, max_iter=3000, tol=1e-9)
    assert out["converged"]
    ref = np.linalg.lstsq(a, b, rcond=None)[0]
    assert out["x"] == pytest.approx(ref.tolist(), abs=1e-7)


def test_first_iteration_by_hand():
    # Parts return constants: z = mean, u_i = x_i - z, r = ||x - z||, s = rho N ||z||.
    out = po.solve_admm([lambda r, v: [1.0], lambda r, v: [3.0]], 1, rho=2.0, max_iter=1)
    assert out["z"] == [2.0]
    assert out["primal_residual"] == pytest.approx(math.sqrt(2.0))
    assert out["dual_residual"] == pytest.approx(2.0 * 2 * 2.0)
    assert out["iterations"] == 1 and out["converged"] is False


def test_parts_receive_rho_and_fresh_targets():
    seen = []

    def part(rho, target):
        seen.append((type(rho), rho, type(target), list(target), id(target)))
        target.append(99.0)  # mutating the list must not disturb the solver
        return [1.0, 1.0]

    po.solve_admm([part, part], 2, rho=3, max_iter=2)
    assert [s[:4] for s in seen[:2]] == [(float, 3.0, list, [0.0, 0.0])] * 2
    assert seen[2][3] == [1.0, 1.0] == seen[3][3]  # z - u_i with u_i = 0 after iteration 1


@pytest.mark.parametrize(
    "bad",
    [
        lambda r, v: None,
        lambda r, v: "ab",
        lambda r, v: ["a", "b"],
        lambda r, v: 1 / 0,
        lambda r, v: 5.0,
    ],
)
def test_failing_part_contributes_zeros(bad):
    out = po.solve_admm([bad], 2, max_iter=5)
    assert out["x"] == [0.0, 0.0] and out["converged"] is True and out["iterations"] == 1
    # Beside a working part the run goes on and settles between both.
    out = po.solve_admm([bad, prox_to([2.0, 2.0])], 2, max_iter=3)
    assert out["iterations"] == 3 and all(math.isfinite(v) for v in out["x"])


def test_longer_result_is_cut_shorter_is_refused():
    out = po.solve_admm([lambda r, v: [1.0, 2.0, 3.0]], 2, max_iter=3)
    assert out["x"] == [1.0, 2.0]
    calls = []

    def short(rho, v):
        calls.append(1)
        return [1.0]

    with pytest.raises(ValueError, match=r"^subproblems\[1\] returned 1 values, expected dim=2$"):
        po.solve_admm([identity, short, identity], 2)
    assert calls == [1]


def test_no_parts_gives_nan_and_never_converges():
    out = po.solve_admm([], 2, max_iter=4)
    assert all(math.isnan(v) for v in out["x"])
    assert out["iterations"] == 4 and out["converged"] is False
    assert out["primal_residual"] == 0.0 and math.isnan(out["dual_residual"])


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
def test_interrupts_propagate(exc):
    calls = []

    def part(rho, v):
        calls.append(1)
        if len(calls) == 3:
            raise exc()
        return [1.0]

    with pytest.raises(exc):
        po.solve_admm([part, prox_to([0.0])], 1, max_iter=50)
    assert len(calls) == 3


def test_argument_errors():
    with pytest.raises(TypeError, match=r"^solve_admm\(\) missing 1 required positional argument: 'dim'$"):
        po.solve_admm([identity])
    with pytest.raises(TypeError, match=r"^solve_admm\(\) got an unexpected keyword argument 'seed'$"):
        po.solve_admm([identity], 1, seed=3)
    with pytest.raises(TypeError, match=r"^solve_admm\(\) takes from 2 to 5 positional arguments but 6 were given$"):
        po.solve_admm([identity], 1, 1.0, 5, 1e-6, 0)
    with pytest.raises(TypeError, match=r"^argument 'subproblems': "):
        po.solve_admm("ab", 1)
    with pytest.raises(TypeError, match=r"^argument 'dim': "):
        po.solve_admm([identity], 1.5)
    with pytest.raises(TypeError, match=r"^argument 'rho': "):
        po.solve_admm([identity], 1, rho="x")
    with pytest.raises(OverflowError):
        po.solve_admm([identity], 1, max_iter=-1)
    # All parameters may be given by keyword.
    out = po.solve_admm(subproblems=[identity], dim=1, rho=1.0, max_iter=1, tol=1e-3)
    assert out["converged"]


@pytest.mark.parametrize("max_iter", [0, 5])
def test_dim_beyond_memory_is_a_value_error(max_iter):
    with pytest.raises(ValueError, match=r"^dim=4611686018427387904 is too large"):
        po.solve_admm([identity], 2**62, max_iter=max_iter)


def test_no_parts_does_not_loop_through_every_iteration():
    # Without parts every iteration repeats the first, so a huge limit returns at once.
    out = po.solve_admm([], 2, max_iter=2**63)
    assert out["iterations"] == 2**63 and out["converged"] is False
    assert all(math.isnan(v) for v in out["z"]) and math.isnan(out["dual_residual"])
    assert po.solve_admm([], 0, max_iter=2**63)["iterations"] == 1
    out = po.solve_admm([], 0, max_iter=2**63, tol=0.0)
    assert out["iterations"] == 2**63 and out["primal_residual"] == 0.0 and not out["converged"]
