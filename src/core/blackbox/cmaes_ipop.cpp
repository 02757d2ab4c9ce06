// IPOP: every restart of the active CMA-ES doubles the population, with the
// initial step size of the first run.
#include "core/blackbox/cmaes_ipop.hpp"

#include "core/blackbox/cmaes_active.hpp"

namespace pelora::blackbox {

void check_ipop(const Bounds& bounds, const IpopOptions& options) {
  active::check_options(bounds, options, "ipop");
}

IpopResult cmaes_ipop(const Bounds& bounds, const IpopOptions& options, Objective objective) {
  check_ipop(bounds, options);
  return active::restart_loop(bounds, options, objective, 0.3,
                              [](const active::RunPlan&, const std::vector<IpopRun>& runs,
                                 XorShift64&, active::RunPlan& plan) {
                                plan.lambda = runs.back().lambda * 2;
                                return true;
                              });
}

}  // namespace pelora::blackbox
