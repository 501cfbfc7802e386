#pragma once

// Chooses, iteration by iteration, whether the parallel regions of the CPU
// search run on the whole OpenMP team or on the solving thread alone, by
// what each has cost.
//
// A region ends when its slowest thread does. On a machine whose other
// processes keep a core busy, a team thread that the kernel has taken off
// its core holds up every region it belongs to, and the team can be slower
// than one thread by several times. Even on an idle machine a team can lose:
// the successors its threads create sit in their caches, and the sequential
// phases that follow read them from there. So the sizer judges whole
// iterations, in seconds per item. It keeps one size and, now and then,
// runs the other for two iterations: when those beat the two iterations just
// before them by a clear margin, it switches. Neighbouring iterations cost
// about the same per item, while a search's later iterations cost more than
// its early ones, so only neighbours are compared. Probes that lose come ever
// more rarely, but a sudden rise in the cost of the team it keeps (another
// process has just taken a core) brings the next probe at once; the solving
// thread alone is not slowed much by that, and its cost varies too much on a
// busy machine to read anything into a rise. Only speed
// depends on the choice: every item is processed the same way either way.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>

namespace kestrel {

class TeamSizer {
 public:
  // `team` is the runtime's team size. Iterations of fewer than `min_items`
  // items teach nothing: their time is mostly fixed costs.
  TeamSizer(int team, std::int64_t min_items) : team_(std::max(team, 1)), min_items_(min_items) {}

  // The number of threads for the next iteration.
  int threads() const { return probe_runs_ > 0 ? threadsOf(!team_chosen_) : threadsOf(team_chosen_); }

  // Times an iteration: startIteration() before it, finishIteration() with
  // its item count after it. The sizer keeps its own clock because it steers
  // the search whether or not timing was asked for.
  void startIteration() { iteration_start_ = std::chrono::steady_clock::now(); }
  void finishIteration(std::int64_t items) {
    record(items, std::chrono::duration<double>(std::chrono::steady_clock::now() - iteration_start_).count());
  }

  // Reports that the iteration run with threads() threads over `items` items
  // took `seconds`.
  void record(std::int64_t items, double seconds) {
    if (team_ == 1 || items < min_items_) return;
    const double per_item = seconds / static_cast<double>(items);
    if (probe_runs_ == 0) {
      recent_[0] = recent_[1];
      recent_[1] = per_item;
      const bool surged = team_chosen_ && reference_ > 0 && recent_[0] + recent_[1] > kSurge * reference_;
      if ((++since_probe_ >= probe_interval_ || surged) && recent_[0] > 0) {
        probe_runs_ = kProbeRuns;
        probe_seconds_ = 0;
      }
      return;
    }
    probe_seconds_ += per_item;
    if (--probe_runs_ > 0) return;
    since_probe_ = 0;
    reference_ = recent_[0] + recent_[1];
    if (probe_seconds_ < kMargin * reference_) {
      team_chosen_ = !team_chosen_;
      recent_ = {0, 0};
      reference_ = probe_seconds_;
      probe_interval_ = kMinProbeInterval;
    } else {
      probe_interval_ = std::min(2 * probe_interval_, kMaxProbeInterval);
    }
  }

 private:
  static constexpr int kProbeRuns = 2;
  static constexpr double kMargin = 0.9;
  static constexpr double kSurge = 1.5;
  static constexpr int kMinProbeInterval = 4;
  static constexpr int kMaxProbeInterval = 128;

  int threadsOf(bool team) const { return team ? team_ : 1; }

  int team_;
  std::int64_t min_items_;
  bool team_chosen_ = false;
  std::array<double, 2> recent_{0, 0};  // seconds per item of the last two iterations of the chosen size
  double reference_ = 0;                // what the chosen size's two iterations cost at the last probe
  int since_probe_ = 0;
  int probe_interval_ = 2;  // the first probe comes early
  int probe_runs_ = 0;      // iterations of the current probe still to run
  double probe_seconds_ = 0;
  std::chrono::steady_clock::time_point iteration_start_{};
};

}  // namespace kestrel
