"""Reference and memory leaks of the expression operators: resident memory
stays flat while the same operations (successes and failures) repeat."""
import gc
import os
import sys

import pytest

import pelora_opt as po
from algebra_support import make_vars

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def workload(x, y, big, n):
    for i in range(n):
        e = 2 * x + y - 3
        e = e + big if i % 50 == 0 else e + x
        q = x * y + e
        s = po.sin(e) * 2 + q / 3 - x / y
        c1 = e <= i
        c2 = s >= y
        c3 = q == 1
        po.sum([x, e, 1.5, True])
        repr(c1), repr(c2), repr(c3), repr(s)
        assert (e != 1) is False
        for bad in (lambda: e * y, lambda: x / 0, lambda: q - q, lambda: po.sin("a"),
                    lambda: e <= "a", lambda: po.sum([q]), lambda: po.sum(()), lambda: x ** 2.5):
            try:
                bad()
            except (ValueError, TypeError):
                pass


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer holds freed memory in quarantine")
def test_resident_memory_is_flat():
    x, y, *rest = make_vars(*[f"v{i}" for i in range(60)])
    big = po.sum(rest)
    workload(x, y, big, 2000)  # warm up caches and allocator pools
    gc.collect()
    before = rss_bytes()
    workload(x, y, big, 12000)  # ~200k operations
    gc.collect()
    grown = rss_bytes() - before
    assert grown < 2 * 1024 * 1024, f"resident memory grew by {grown} bytes"


def test_operands_and_singletons_keep_their_reference_counts():
    x, y, *rest = make_vars(*[f"v{i}" for i in range(60)])
    big = po.sum(rest)
    workload(x, y, big, 50)
    gc.collect()
    watched = [x, y, big, NotImplemented, False, True]
    before = [sys.getrefcount(o) for o in watched]
    workload(x, y, big, 500)
    gc.collect()
    after = [sys.getrefcount(o) for o in watched]
    assert after == before
