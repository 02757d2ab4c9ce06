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


def rank(values):
    """Indices sorted by value: a stable insertion sort in which a NaN
    compares equal to everything."""
    order = []
    for j, v in enumerate(values):
        pos = len(order)
        while pos > 0 and v < values[order[pos - 1]]:
            pos -= 1
        order.insert(pos, j)
    return order


def first_smallest(values):
    """The best offspring: first index of the smallest value, NaN skipped."""
    top = 0
    for j in range(1, len(values)):
        if improves(values[j], values[top]):
            top = j
    return top


def stagnated(history, tol):
    if len(history) < 11:
        return False
    hi, lo = -math.inf, math.inf
    for v in history[-10:]:
        hi, lo = _nan_max(hi, v), _nan_min(lo, v)
    return tol > hi - lo


def collapsed(values, best, tol):
    finite = [v for v in values if math.isfinite(v)]
    spread = max(finite) - min(finite) if finite else -math.inf
    return spread < tol * (abs(best) if math.isfinite(best) else 0.0) + tol


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
            if fit[i] >= ft or (fit[i] != fit[i] and ft == ft):
                pop[i], fit[i] = trial, ft
                if improves(ft, best_f):
                    best_x, best_f = list(trial), ft
        history.append(best_f)
        if stagnated(history, tol) and collapsed(fit, best_f, tol):
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
        if stagnated(history, tol) and collapsed(pbest_f, gbest_f, tol):
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
        ranked = [off[j] for j in rank([v for v, _ in off])]
        top = first_smallest([v for v, _ in off])
        if improves(off[top][0], best_f):
            best_f, best = off[top][0], list(off[top][1])
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


def cmaes_full(f, bounds, pop_size=0, max_generations=1000, sigma=0.3, seed=42, tol=1e-8,
               restarts=0):
    """The full variant with restarts, operation for operation. The
    eigen-decomposition is exact only in one dimension (B = [1], D = sqrt(C));
    with more dimensions only the first generation is reproduced (it samples
    with B = I, D = 1), and the step-size test after it reads the largest
    eigenvalue from numpy."""
    n = len(bounds)
    nd = float(n)
    base = 4 + int(math.floor(3.0 * math.log(nd)))
    lam = pop_size or base
    if lam < 5:
        lam = 4
    if n > 1 and max_generations > 1:
        raise ValueError("the reference follows a multi-dimensional run for one generation only")
    kept = None
    total = 0
    for run in range(restarts + 1):
        r = _cmaes_full_run(f, bounds, lam, max_generations, sigma, (seed + 7919 * run) & MASK,
                            tol, total)
        total += r[3]
        if kept is None or improves(r[1], kept[1]):
            kept = r
        lam *= 2
    return kept[0], kept[1], kept[2], total, kept[4]


def _cmaes_full_run(f, bounds, lam, max_generations, sigma, seed, tol, prior):
    n = len(bounds)
    nd = float(n)
    rng = XorShift(seed)
    best = [(lo + hi) * 0.5 for lo, hi in bounds]
    best_f = score(f, best)
    evals = 1
    history = [best_f]
    if max_generations == 0:
        return best, best_f, history, evals, False
    mu = lam // 2
    weights = [math.log(mu + 0.5) - math.log(i + 1) for i in range(mu)]
    total = 0.0
    for w in weights:
        total += w
    sq = 0.0
    for i in range(mu):
        weights[i] /= total
        sq += weights[i] * weights[i]
    mu_eff = 1.0 / sq
    c_sigma = (mu_eff + 2.0) / (nd + mu_eff + 5.0)
    d_sigma = 1.0 + 2.0 * max(0.0, math.sqrt((mu_eff - 1.0) / (nd + 1.0)) - 1.0) + c_sigma
    c_c = (4.0 + mu_eff / nd) / (nd + 4.0 + 2.0 * mu_eff / nd)
    c_1 = 2.0 / ((nd + 1.3) * (nd + 1.3) + mu_eff)
    c_mu = min(1.0 - c_1, 2.0 * (mu_eff - 2.0 + 1.0 / mu_eff) / ((nd + 2.0) * (nd + 2.0) + mu_eff))
    chi_n = math.sqrt(nd) * (1.0 - 1.0 / (4.0 * nd) + 1.0 / (21.0 * nd * nd))
    eigen_every = int(math.floor(max(1.0, 1.0 / ((c_1 + c_mu) * nd * 10.0))))

    mean = list(best)
    cov = [[1.0 if i == k else 0.0 for k in range(n)] for i in range(n)]
    b = [[1.0 if i == k else 0.0 for k in range(n)] for i in range(n)]
    d = [1.0] * n
    p_sigma = [0.0] * n
    p_c = [0.0] * n
    converged = False
    for g in range(1, max_generations + 1):
        xs, zs, ys, vals = [], [], [], []
        for _ in range(lam):
            z = [rng.normal() for _ in range(n)]
            y = []
            x = []
            for i in range(n):
                acc = 0.0
                for k in range(n):
                    acc += b[i][k] * (d[k] * z[k])
                y.append(acc)
                x.append(mean[i] + sigma * acc)
            x = clamp(x, bounds)
            vals.append(score(f, x))
            evals += 1
            xs.append(x)
            zs.append(z)
            ys.append(y)
        order = rank(vals)
        top = first_smallest(vals)
        if improves(vals[top], best_f):
            best_f, best = vals[top], list(xs[top])

        mean = [0.0] * n
        z_w = [0.0] * n
        y_w = [0.0] * n
        for i in range(mu):
            j, w = order[i], weights[i]
            for k in range(n):
                mean[k] += w * xs[j][k]
                z_w[k] += w * zs[j][k]
                y_w[k] += w * ys[j][k]
        cs_factor = math.sqrt(c_sigma * (2.0 - c_sigma) * mu_eff)
        for i in range(n):
            acc = 0.0
            for k in range(n):
                acc += b[i][k] * z_w[k]
            p_sigma[i] = (1.0 - c_sigma) * p_sigma[i] + cs_factor * acc
        ps_norm = math.sqrt(sum_sq(p_sigma))
        seen = 2.0 * float(prior + evals) / float(lam)
        h = 1.0 if (ps_norm / math.sqrt(1.0 - math.pow(1.0 - c_sigma, seen)) / chi_n
                    < 1.4 + 2.0 / (nd + 1.0)) else 0.0
        cc_factor = math.sqrt(c_c * (2.0 - c_c) * mu_eff)
        for i in range(n):
            p_c[i] = (1.0 - c_c) * p_c[i] + h * cc_factor * y_w[i]
        keep = 1.0 - c_1 - c_mu + c_1 * (1.0 - h) * c_c * (2.0 - c_c)
        for i in range(n):
            for k in range(i, n):
                rank_mu = 0.0
                for m in range(mu):
                    y = ys[order[m]]
                    rank_mu += weights[m] * y[i] * y[k]
                v = keep * cov[i][k] + c_1 * p_c[i] * p_c[k] + c_mu * rank_mu
                cov[i][k] = cov[k][i] = v
        sigma *= math.exp((c_sigma / d_sigma) * (ps_norm / chi_n - 1.0))
        sigma = max(sigma, 1e-20)
        if g % eigen_every == 0:
            if n == 1:
                d = [math.sqrt(max((cov[0][0] + cov[0][0]) * 0.5, 0.0))]
            else:
                import numpy
                d = [math.sqrt(max(v, 0.0)) for v in numpy.linalg.eigvalsh(numpy.array(cov))]
        history.append(best_f)
        if (tol > sigma * max(d)
                or (len(history) >= 21 and _spread(history[-20:]) < 0.001 * tol
                    and sigma < 1e-6)):
            converged = True
            break
    return best, best_f, history, evals, converged


def sum_sq(v):
    s = 0.0
    for e in v:
        s += e * e
    return s


def _spread(window):
    hi, lo = -math.inf, math.inf
    for v in window:
        hi, lo = _nan_max(hi, v), _nan_min(lo, v)
    return hi - lo
