#include "kestrel/pwas/solution_path.h"

#include <stdexcept>

namespace kestrel {

std::int32_t inferMove(const Environment& from, StateBytes to_state) {
  const int num_moves = from.num_moves();
  for (int move = 0; move < num_moves; ++move) {
    const std::unique_ptr<Environment> reached = from.apply_move(move);
    if (reached != nullptr && StateBytes(reached->state()) == to_state) return move;
  }
  throw std::runtime_error(kInferMoveMessage);
}

}  // namespace kestrel
