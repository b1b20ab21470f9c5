// The watch that tells when the simulated world falls behind its clock, fed made-up times:
// what it says, when it says it, and that it stays quiet in between.
#include "sim/world/lag_watch.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using sim::lag_watch;
using sim::ms;

TEST(LagWatch, SaysNothingWhileTheWorldKeepsUp) {
    lag_watch watch;
    for (int t = 0; t < 600000; t += 10) EXPECT_FALSE(watch.observe(ms(t), ms(t % 1000)));
    EXPECT_FALSE(watch.observe(ms(600000), ms(1000)));  // exactly at the threshold: not yet
    EXPECT_FALSE(watch.behind());
}

TEST(LagWatch, SaysWhenBehindAndAgainWhenCaughtUpWithTheWorstLag) {
    lag_watch watch;
    EXPECT_FALSE(watch.observe(ms(10000), ms(300)));
    const auto behind = watch.observe(ms(20000), ms(1500));
    ASSERT_TRUE(behind);
    EXPECT_TRUE(behind->behind);
    EXPECT_EQ(behind->text,
              "simulated world 1.5 s behind its clock at 20.0 s: events reach the program late; "
              "the time scale is too high for this machine");
    EXPECT_TRUE(watch.behind());
    // Worse and better again, but not caught up: nothing more.
    for (int t = 20001; t < 200000; t += 7) {
        EXPECT_FALSE(watch.observe(ms(t), ms(t < 100000 ? 1500 + t / 20 : 200)));
    }
    const auto caught_up = watch.observe(ms(200000), ms(99));
    ASSERT_TRUE(caught_up);
    EXPECT_FALSE(caught_up->behind);
    EXPECT_EQ(caught_up->text,
              "simulated world caught up with its clock at 200.0 s (behind from 20.0 s, by "
              "6.5 s at most)");
    EXPECT_FALSE(watch.behind());
}

TEST(LagWatch, SpeaksAtMostOnceAQuietTimeWhileTheLagKeepsCrossing) {
    lag_watch watch;
    std::vector<std::pair<int, bool>> lines;  // time (ms), behind
    // Behind and caught up every other second for ten simulated minutes.
    for (int t = 0; t <= 600000; t += 10) {
        if (auto line = watch.observe(ms(t), (t / 1000) % 2 == 0 ? ms(2000) : 0)) {
            lines.emplace_back(t, line->behind);
        }
    }
    // Behind at 0 s; then, a minute on, each the first second of the other kind.
    ASSERT_EQ(lines.size(), 10u);
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].first, static_cast<int>(i) * 61000) << i;
        EXPECT_EQ(lines[i].second, i % 2 == 0) << i;
    }
}

TEST(LagWatch, ACatchUpThatDoesNotLastIsNotTold) {
    lag_watch watch;
    ASSERT_TRUE(watch.observe(ms(5000), ms(3000)));
    EXPECT_FALSE(watch.observe(ms(6000), 0));
    EXPECT_FALSE(watch.observe(ms(7000), ms(4000)));  // behind again before the quiet ended
    EXPECT_FALSE(watch.observe(ms(70000), ms(500)));  // better, but not caught up
    const auto caught_up = watch.observe(ms(80000), 0);
    ASSERT_TRUE(caught_up);
    EXPECT_EQ(caught_up->text,
              "simulated world caught up with its clock at 80.0 s (behind from 5.0 s, by 4.0 s "
              "at most)");
}

TEST(LagWatch, ACatchUpWithinTheQuietTimeIsToldOnceItIsOver) {
    lag_watch watch;
    ASSERT_TRUE(watch.observe(ms(5000), ms(3000)));
    EXPECT_FALSE(watch.observe(ms(6000), 0));  // caught up, but within the quiet time
    EXPECT_TRUE(watch.behind());
    const auto caught_up = watch.observe(ms(65000), 0);
    ASSERT_TRUE(caught_up);
    EXPECT_FALSE(caught_up->behind);
    // It tells when the world caught up, not when it could say so.
    EXPECT_EQ(caught_up->text,
              "simulated world caught up with its clock at 6.0 s (behind from 5.0 s, by 3.0 s "
              "at most)");
    // A world still behind when the quiet time is over says nothing new.
    ASSERT_TRUE(watch.observe(ms(200000), ms(5000)));
    EXPECT_FALSE(watch.observe(ms(300000), ms(4000)));
}

TEST(LagWatch, TakesItsThresholdsFromItsSettings) {
    lag_watch watch(lag_watch::settings{ms(10), ms(5), ms(100)});
    EXPECT_FALSE(watch.observe(ms(1), ms(10)));
    ASSERT_TRUE(watch.observe(ms(2), ms(11)));
    EXPECT_FALSE(watch.observe(ms(101), ms(5)));
    EXPECT_TRUE(watch.observe(ms(102), ms(4)));
}

}  // namespace
