"""An objective whose results and failures are objects that count
themselves, so a test sees whether every reference an optimiser took was
released."""


def tracked_objective():
    """(alive, Tracked, f): alive[0] counts living Tracked objects; f raises
    with one below 0.3, returns one below 0.7 and None (junk) above."""
    alive = [0]

    class Tracked:
        def __init__(self, v):
            alive[0] += 1
            self.v = v

        def __float__(self):
            return self.v

        def __del__(self):
            alive[0] -= 1

    def f(x):
        if x[0] < 0.3:
            raise ValueError(Tracked(0.0))
        return Tracked(x[0]) if x[0] < 0.7 else None

    return alive, Tracked, f
