#pragma once

// The five cost types of one typed instance of the CPU search. Each is float
// or double; all 32 combinations are instantiated.

#include <type_traits>

namespace kestrel {

template <typename PathCostT, typename HeuristicT, typename TotalCostT, typename OpenCostT, typename ClosedCostT>
struct CostDtypes {
  static_assert(std::is_floating_point_v<PathCostT> && std::is_floating_point_v<HeuristicT> &&
                std::is_floating_point_v<TotalCostT> && std::is_floating_point_v<OpenCostT> &&
                std::is_floating_point_v<ClosedCostT>);
  using PathCost = PathCostT;
  using Heuristic = HeuristicT;
  using TotalCost = TotalCostT;
  using OpenCost = OpenCostT;
  using ClosedCost = ClosedCostT;
};

}  // namespace kestrel
