#include "python/solve/dispatch.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "python/runtime/call.hpp"
#include "python/runtime/error.hpp"
#include "python/solve/clarabel_adapter.hpp"
#include "python/solve/highs_adapter.hpp"
#include "python/solve/ipopt_adapter.hpp"
#include "python/solve/osqp_adapter.hpp"
#include "python/solve/scip_adapter.hpp"
#include "python/solve/slsqp_adapter.hpp"

namespace pelora::py {

namespace {

struct AdapterEntry {
  const char* name;  // lower case
  Adapter adapter;
};

// One entry per solver name; any other name (including "highs") uses HiGHS.
const AdapterEntry kAdapters[] = {
    {"osqp", solve_with_osqp},
    {"scipy", solve_with_slsqp},
    {"slsqp", solve_with_slsqp},
    {"ipopt", solve_with_ipopt},
    {"clarabel", solve_with_clarabel},
    {"scip", solve_with_scip},
};

// Solvers that drop integrality: a mixed-integer model comes back as its
// continuous relaxation.
struct RelaxingSolver {
  const char* name;  // lower case
  const char* display;
};
const RelaxingSolver kRelaxingSolvers[] = {
    {"osqp", "OSQP"},
    {"clarabel", "Clarabel"},
    {"ipopt", "Ipopt"},
    {"scipy", "SciPy/SLSQP"},
    {"slsqp", "SciPy/SLSQP"},
};

const AdapterEntry* find_adapter(const std::string& name) {
  for (const AdapterEntry& e : kAdapters) {
    if (name == e.name) return &e;
  }
  return nullptr;
}

}  // namespace

std::string choose_solver(const std::optional<std::string>& requested, const StandardForm& form,
                          ProblemType type) {
  std::string name;
  if (requested) {
    name = *requested;
  } else if (!form.soc_cones.empty() || !form.psd_cones.empty()) {
    // Clarabel drops integrality; SCIP keeps it and takes second-order
    // cones as quadratic constraints (integer_cone_problem covers the rest).
    name = form.has_integer() && form.psd_cones.empty() ? "scip" : "clarabel";
  } else {
    switch (type) {
      case ProblemType::LP:
      case ProblemType::MILP: name = "highs"; break;
      case ProblemType::MIQP: name = "scip"; break;
      case ProblemType::QP: name = "osqp"; break;
      case ProblemType::NLP: name = form.has_integer() ? "scip" : "ipopt"; break;
    }
  }
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (name != "highs" && !find_adapter(name)) {
    std::string names = "\"highs\"";
    for (const AdapterEntry& e : kAdapters) names += std::string(", \"") + e.name + "\"";
    throw_value_error("unknown solver \"" + *requested + "\"; the solvers are " + names);
  }
  return name;
}

bool uses_highs(const std::string& lower_name) { return find_adapter(lower_name) == nullptr; }

bool relaxation_first(const std::string& lower_name, bool requested, ProblemType type) {
  return uses_highs(lower_name) ||
         (!requested && type == ProblemType::MIQP && lower_name == "scip");
}

void warn_if_integrality_ignored(const std::string& lower_name, const StandardForm& form) {
  if (!form.has_integer()) return;
  for (const RelaxingSolver& s : kRelaxingSolvers) {
    if (lower_name != s.name) continue;
    write_stderr(std::string("[pelora-opt] warning: ") + s.display +
                 " ignores integrality; the result is the continuous relaxation of this "
                 "mixed-integer model (solver=\"scip\" solves it with integrality)\n");
    return;
  }
}

std::optional<std::string> integer_cone_problem(bool requested, const StandardForm& form) {
  if (requested || !form.has_integer()) return std::nullopt;
  if (!form.psd_cones.empty()) {
    return std::string(
        "no available solver keeps integrality with PSD cones: Clarabel would solve the "
        "continuous relaxation. Name solver=\"clarabel\" to accept the relaxation");
  }
  if (form.soc_cones.empty()) return std::nullopt;
  Ref scip = Ref::steal(import_module_raw("pyscipopt"));
  if (scip) return std::nullopt;
  if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw_already_set();
  PyErr_Clear();
  return std::string(
      "integer variables with second-order cones need SCIP (pyscipopt is not installed): "
      "Clarabel would solve the continuous relaxation. Install with `pip install pyscipopt`, "
      "or name solver=\"clarabel\" to accept the relaxation");
}

Adapter adapter_for(const std::string& lower_name) {
  const AdapterEntry* e = find_adapter(lower_name);
  return e ? e->adapter : solve_with_highs;
}

}  // namespace pelora::py
