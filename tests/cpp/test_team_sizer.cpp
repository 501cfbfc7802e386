#include <gtest/gtest.h>

#include <functional>

#include "kestrel/pwas/team_sizer.h"

namespace {

// Runs `iterations` iterations of 100 items each whose seconds per item are
// cost(threads), and returns how many of them ran on the team.
int teamIterations(kestrel::TeamSizer& sizer, int iterations, const std::function<double(int)>& cost) {
  int team = 0;
  for (int i = 0; i < iterations; ++i) {
    const int threads = sizer.threads();
    team += threads > 1;
    sizer.record(100, 100 * cost(threads));
  }
  return team;
}

TEST(TeamSizer, FollowsWhicheverSizeIsClearlyCheaper) {
  kestrel::TeamSizer sizer(2, 32);
  const auto team_cheaper = [](int threads) { return threads > 1 ? 1.0 : 2.0; };
  const auto alone_cheaper = [](int threads) { return threads > 1 ? 3.0 : 1.0; };
  // The team wins its first probe and keeps the work.
  EXPECT_GE(teamIterations(sizer, 50, team_cheaper), 38);
  // Another process takes a core: the next probe of the solving thread alone
  // wins within a few iterations, and the team is then tried ever more rarely.
  EXPECT_LE(teamIterations(sizer, 10, alone_cheaper), 4);
  EXPECT_LE(teamIterations(sizer, 500, alone_cheaper), 20);
  // The core comes back: a later probe finds it.
  EXPECT_GE(teamIterations(sizer, 500, team_cheaper), 300);
}

TEST(TeamSizer, StaysWithoutAClearMarginOrAnythingToLearnFrom) {
  const auto even = [](int threads) { return threads > 1 ? 0.95 : 1.0; };  // within the margin
  kestrel::TeamSizer sizer(2, 32);
  EXPECT_LE(teamIterations(sizer, 500, even), 30);

  kestrel::TeamSizer small(2, 32);  // iterations below the minimum teach nothing
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(small.threads(), 1);
    small.record(31, 31 * 1.0);
  }

  kestrel::TeamSizer single(1, 32);  // a team of one never probes
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(single.threads(), 1);
    single.record(100, 1.0);
  }
}

}  // namespace
