#pragma once

// Chooses, iteration by iteration, whether the parallel regions of the CPU
// search run on the whole OpenMP team or on the solving thread alone, by
// what each has cost so far.
//
// A region ends when its slowest thread does. On a machine whose other
// processes keep a core busy, a team thread that the kernel has taken off
// its core holds up every region it belongs to, and the team can be slower
// than one thread by several times. Even on an idle machine a team can lose:
// the successors its threads create sit in their caches, and the sequential
// phases that follow read them from there. So the sizer judges whole
// iterations: it keeps, per team size, a moving average of the seconds per
// item, runs the cheaper size, and now and then runs the other one again to
// see whether the machine has changed (more rarely while that keeps losing).
// Only speed depends on the choice: every item is processed the same way
// either way.

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

namespace kestrel {

class TeamSizer {
 public:
  // `team` is the runtime's team size. Iterations of fewer than `min_items`
  // items teach nothing: their time is mostly fixed costs.
  TeamSizer(int team, std::int64_t min_items) : team_(std::max(team, 1)), min_items_(min_items) {}

  // The number of threads for the next iteration.
  int threads() {
    if (team_ == 1) return 1;
    // Each size is measured before any comparison: the team first.
    if (!known_[kTeam]) return team_;
    if (!known_[kAlone]) return 1;
    const Choice best = cheaper();
    if (++runs_since_probe_ >= probe_interval_) {
      runs_since_probe_ = 0;
      probing_ = true;
      return threadsOf(other(best));
    }
    return threadsOf(best);
  }

  // Reports that an iteration run with `threads` threads over `items` items
  // took `seconds`.
  void record(int threads, std::int64_t items, double seconds) {
    const bool probed = std::exchange(probing_, false);
    if (team_ == 1 || items < min_items_ || items <= 0) return;
    const Choice choice = threads == 1 ? kAlone : kTeam;
    const double per_item = seconds / static_cast<double>(items);
    const Choice best_before = known_[kTeam] && known_[kAlone] ? cheaper() : choice;
    average_[choice] = known_[choice] ? (1 - kSmoothing) * average_[choice] + kSmoothing * per_item : per_item;
    known_[choice] = true;
    if (!probed) return;
    // A probe that won resets the interval; one that lost backs off.
    probe_interval_ = cheaper() == best_before ? std::min(2 * probe_interval_, kMaxProbeInterval) : kMinProbeInterval;
  }

 private:
  enum Choice { kAlone = 0, kTeam = 1 };
  static constexpr double kSmoothing = 0.25;
  static constexpr int kMinProbeInterval = 4;
  static constexpr int kMaxProbeInterval = 64;

  Choice cheaper() const { return average_[kTeam] <= average_[kAlone] ? kTeam : kAlone; }
  static Choice other(Choice c) { return c == kTeam ? kAlone : kTeam; }
  int threadsOf(Choice c) const { return c == kTeam ? team_ : 1; }

  int team_;
  std::int64_t min_items_;
  std::array<double, 2> average_{0, 0};
  std::array<bool, 2> known_{false, false};
  int probe_interval_ = kMinProbeInterval;
  int runs_since_probe_ = 0;
  bool probing_ = false;
};

}  // namespace kestrel
