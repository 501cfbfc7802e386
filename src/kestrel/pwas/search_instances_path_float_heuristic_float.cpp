// The eight instances of the CPU search whose path cost is float and whose
// heuristic is float. The 32 instances are spread over four files so that
// they compile in parallel.

#include "kestrel/pwas/search_impl.h"

namespace kestrel {

template SolveResult runTypedSearch<CostDtypes<float, float, float, float, float>>(std::unique_ptr<Environment>,
                                                                                   const AOTIManifest&,
                                                                                   const SolverSettings&);
template SolveResult runTypedSearch<CostDtypes<float, float, float, float, double>>(std::unique_ptr<Environment>,
                                                                                    const AOTIManifest&,
                                                                                    const SolverSettings&);
template SolveResult runTypedSearch<CostDtypes<float, float, float, double, float>>(std::unique_ptr<Environment>,
                                                                                    const AOTIManifest&,
                                                                                    const SolverSettings&);
template SolveResult runTypedSearch<CostDtypes<float, float, float, double, double>>(std::unique_ptr<Environment>,
                                                                                     const AOTIManifest&,
                                                                                     const SolverSettings&);
template SolveResult runTypedSearch<CostDtypes<float, float, double, float, float>>(std::unique_ptr<Environment>,
                                                                                    const AOTIManifest&,
                                                                                    const SolverSettings&);
template SolveResult runTypedSearch<CostDtypes<float, float, double, float, double>>(std::unique_ptr<Environment>,
                                                                                     const AOTIManifest&,
                                                                                     const SolverSettings&);
template SolveResult runTypedSearch<CostDtypes<float, float, double, double, float>>(std::unique_ptr<Environment>,
                                                                                     const AOTIManifest&,
                                                                                     const SolverSettings&);
template SolveResult runTypedSearch<CostDtypes<float, float, double, double, double>>(std::unique_ptr<Environment>,
                                                                                      const AOTIManifest&,
                                                                                      const SolverSettings&);

}  // namespace kestrel
