#include "python/solve/dispatch.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "python/runtime/error.hpp"
#include "python/solve/clarabel_adapter.hpp"
#include "python/solve/highs_adapter.hpp"
#include "python/solve/ipopt_adapter.hpp"
#include "python/solve/osqp_adapter.hpp"
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
    name = "clarabel";
  } else {
    switch (type) {
      case ProblemType::LP:
      case ProblemType::MILP:
      case ProblemType::MIQP: name = "highs"; break;
      case ProblemType::QP: name = "osqp"; break;
      case ProblemType::NLP: name = "ipopt"; break;
    }
  }
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name;
}

bool uses_highs(const std::string& lower_name) { return find_adapter(lower_name) == nullptr; }

Adapter adapter_for(const std::string& lower_name) {
  const AdapterEntry* e = find_adapter(lower_name);
  return e ? e->adapter : solve_with_highs;
}

}  // namespace pelora::py
