"""Independent Python renderings of the black-box generator and optimisers,
used to check the native runs draw for draw."""
import math

MASK = (1 << 64) - 1


class XorShift:
    def __init__(self, seed):
        self.state = (seed & MASK) or 1

    def step(self):
        s = self.state
        s ^= (s << 13) & MASK
        s ^= s >> 7
        s ^= (s << 17) & MASK
        self.state = s
        return s

    def uniform(self):
        return (self.step() >> 11) * 1.1102230246251565e-16

    def index(self, n):
        return (self.step() & 0xFFFFFFFF) % n

    def normal(self):
        u1 = self.uniform()
        u2 = self.uniform()
        return math.sqrt(-2.0 * math.log(max(u1, 1e-15))) * math.cos(6.283185307179586 * u2)

    def point(self, bounds):
        return [(hi - lo) * self.uniform() + lo for lo, hi in bounds]


def _nan_max(a, b):
    if a != a:
        return b
    if b != b:
        return a
    return a if a > b else b


def _nan_min(a, b):
    if a != a:
        return b
    if b != b:
        return a
    return a if a < b else b


def clamp(x, bounds):
    return [_nan_min(_nan_max(v, lo), hi) for v, (lo, hi) in zip(x, bounds)]


def improves(value, best):
    return value < best or (best != best and value == value)


def score(f, x):
    try:
        return float(f(list(x)))
    except Exception:
        return math.inf


def stagnated(history, tol):
    if len(history) < 11:
        return False
    hi, lo = -math.inf, math.inf
    for v in history[-10:]:
        hi, lo = _nan_max(hi, v), _nan_min(lo, v)
    return tol > hi - lo


def de(f, bounds, pop_size=0, max_generations=1000, F=0.8, CR=0.9, seed=42, tol=1e-8):
    dim = len(bounds)
    np_ = pop_size or 10 * dim
    rng = XorShift(seed)
    pop = [rng.point(bounds) for _ in range(np_)]
    fit = [score(f, p) for p in pop]
    evals = np_
    best = 0
    for i in range(1, np_):
        if improves(fit[i], fit[best]):
            best = i
    best_x, best_f = list(pop[best]), fit[best]
    history = [best_f]
    converged = False
    for _ in range(max_generations):
        for i in range(np_):
            r1 = rng.index(np_)
            while r1 == i:
                r1 = rng.index(np_)
            r2 = rng.index(np_)
            while r2 == i or r2 == r1:
                r2 = rng.index(np_)
            r3 = rng.index(np_)
            while r3 in (r2, i, r1):
                r3 = rng.index(np_)
            j = rng.index(dim)
            trial = []
            for k in range(dim):
                u = rng.uniform()
                if k == j or u < CR:
                    trial.append((pop[r2][k] - pop[r3][k]) * F + pop[r1][k])
                else:
                    trial.append(pop[i][k])
            trial = clamp(trial, bounds)
            ft = score(f, trial)
            evals += 1
            if fit[i] >= ft:
                pop[i], fit[i] = trial, ft
                if improves(ft, best_f):
                    best_x, best_f = list(trial), ft
        history.append(best_f)
        if stagnated(history, tol):
            converged = True
            break
    return best_x, best_f, history, evals, converged


def pso(f, bounds, pop_size=0, max_iterations=1000, seed=42, tol=1e-8):
    dim = len(bounds)
    s = pop_size or min(10 * dim, 20)
    rng = XorShift(seed)
    pos = [rng.point(bounds) for _ in range(s)]
    vel = [[(rng.uniform() - 0.5) * (hi - lo) * 0.1 for lo, hi in bounds] for _ in range(s)]
    fit = [score(f, p) for p in pos]
    evals = s
    pbest = [list(p) for p in pos]
    pbest_f = list(fit)
    g = 0
    for i in range(1, s):
        if improves(fit[i], fit[g]):
            g = i
    gbest, gbest_f = list(pos[g]), fit[g]
    history = [gbest_f]
    converged = False
    for _ in range(max_iterations):
        for i in range(s):
            x, v, pb = pos[i], vel[i], pbest[i]
            for k in range(dim):
                r1 = rng.uniform()
                r2 = rng.uniform()
                v[k] = (gbest[k] - x[k]) * (r2 * 1.49618) + ((pb[k] - x[k]) * (r1 * 1.49618) + v[k] * 0.7298)
                x[k] = v[k] + x[k]
            pos[i] = x = clamp(x, bounds)
            fx = score(f, x)
            evals += 1
            if improves(fx, pbest_f[i]):
                pbest[i], pbest_f[i] = list(x), fx
                if improves(fx, gbest_f):
                    gbest, gbest_f = list(x), fx
        history.append(gbest_f)
        if stagnated(history, tol):
            converged = True
            break
    return gbest, gbest_f, history, evals, converged


def sa(f, bounds, max_iterations=10000, seed=42, temp_init=100.0, cooling_rate=0.999):
    rng = XorShift(seed)
    cur = rng.point(bounds)
    cur_f = score(f, cur)
    best, best_f = list(cur), cur_f
    history = [best_f]
    t = temp_init
    evals = 1
    for _ in range(max_iterations):
        cand = list(cur)
        for k, (lo, hi) in enumerate(bounds):
            z = rng.normal()
            cand[k] = (hi - lo) * (z * 0.1) + cand[k]
        cand = clamp(cand, bounds)
        fc = score(f, cand)
        evals += 1
        d = fc - cur_f
        if d < 0:
            accept = True
        else:
            u = rng.uniform()
            try:
                accept = math.exp(-d / t) > u
            except ZeroDivisionError:
                accept = False  # -d / 0: 0/0 is NaN here (d = 0), or -inf (d > 0)
            except OverflowError:
                accept = True
        if cur_f != cur_f and fc == fc:
            accept = True
        if accept:
            cur, cur_f = cand, fc
            if improves(fc, best_f):
                best, best_f = list(cand), fc
        history.append(best_f)
        t *= cooling_rate
        if t < 1e-8:
            break
    return best, best_f, history, evals, t < 1e-8


def cmaes_simple(f, bounds, pop_size=0, max_generations=1000, sigma=0.3, seed=42, tol=1e-8):
    dim = len(bounds)
    lam = pop_size or max(5, 4 + int(math.floor(3 * math.log(dim))))
    mu = lam // 2
    rng = XorShift(seed)
    mean = [(lo + hi) * 0.5 for lo, hi in bounds]
    best_f = score(f, mean)
    best = list(mean)
    history = [best_f]
    evals = 1
    converged = False
    for _ in range(max_generations):
        off = []
        for _j in range(lam):
            x = []
            for k, (lo, hi) in enumerate(bounds):
                z = rng.normal()
                x.append(z * ((hi - lo) * sigma) + mean[k])
            x = clamp(x, bounds)
            off.append((score(f, x), x))
            evals += 1
        # stable insertion sort with NaN equal to everything
        ranked = []
        for item in off:
            pos = len(ranked)
            while pos > 0 and item[0] < ranked[pos - 1][0]:
                pos -= 1
            ranked.insert(pos, item)
        if improves(ranked[0][0], best_f):
            best_f, best = ranked[0][0], list(ranked[0][1])
        w = 1.0 / mu
        mean = []
        for k in range(dim):
            s = 0.0
            for j in range(mu):
                s += ranked[j][1][k] * w
            mean.append(s)
        succ = sum(1 for j in range(min(mu, lam)) if ranked[j][0] < best_f + 1e-12)
        sigma *= 1.05 if succ / mu > 0.2 else 0.95
        sigma = min(max(sigma, 1e-12), 1.0)
        history.append(best_f)
        if tol > sigma:
            converged = True
            break
    return best, best_f, history, evals, converged
