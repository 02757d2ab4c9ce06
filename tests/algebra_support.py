"""Shared helpers for the expression-algebra tests."""
from decimal import Decimal

import pytest

import pelora_opt as po


NL_OPERAND = "Expected Var, Expr, NlExpr, or numeric for nonlinear operand"


def make_vars(*names):
    """Fresh variables x0, x1, ... from a new model (skips without Model)."""
    if not hasattr(po, "Model"):
        pytest.skip("Model is not available in this build")
    m = po.Model()
    return [m.variable(n) for n in names]


def plain(v):
    """Shortest round-trip decimal without exponent (independent reference)."""
    if v != v:
        return "nan"
    if v in (float("inf"), float("-inf")):
        return "inf" if v > 0 else "-inf"
    if float(v).is_integer():
        return str(int(v))
    return format(Decimal(repr(float(v))), "f")


class RefExpr:
    """Reference model of an Expr: insertion-ordered terms with cancellation."""

    def __init__(self, terms=None, constant=0.0):
        self.terms = dict(terms or {})
        self.constant = constant

    def copy(self):
        return RefExpr(self.terms, self.constant)

    def add_term(self, idx, c):
        if idx in self.terms:
            v = self.terms[idx] + c
            if abs(v) < 1e-15:
                del self.terms[idx]
            else:
                self.terms[idx] = v
        elif abs(c) >= 1e-15:
            self.terms[idx] = c

    def add(self, other, scale=1.0):
        for i, c in list(other.terms.items()):
            self.add_term(i, c * scale)
        self.constant += scale * other.constant

    def scaled(self, k):
        return RefExpr({i: c * k for i, c in self.terms.items()}, self.constant * k)

    def text(self):
        out = []
        for n, (i, c) in enumerate(self.terms.items()):
            if n == 0:
                out.append("-" if c < 0 else "")
            else:
                out.append(" - " if c < 0 else " + ")
            a = abs(c)
            out.append(f"x{i}" if abs(a - 1) < 1e-15 else f"{plain(a)}*x{i}")
        if not self.terms:
            return plain(self.constant)
        if self.constant > 0:
            out.append(" + " + plain(self.constant))
        elif self.constant < 0:
            out.append(" - " + plain(-self.constant))
        return "".join(out)
