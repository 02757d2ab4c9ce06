// The LP hooks of the infeasibility report, backed by highspy: an exact
// judge of a set of constraints (a zero-objective LP solve over the
// snapshot's rows) and HiGHS's own irreducible infeasible subsystem. Without
// highspy (or when it fails) the hooks stay empty or answer "cannot tell",
// and the report relies on bound propagation alone.
#pragma once
#include <Python.h>

#include "core/diagnostics/infeasibility.hpp"

namespace pelora::py {

// Hooks over `snap`, which must outlive them. The solver's subsystem is
// offered only when a solver reported the model infeasible.
SubsystemHooks highs_subsystem_hooks(const ModelSnapshot& snap, bool reported_infeasible);

}  // namespace pelora::py
