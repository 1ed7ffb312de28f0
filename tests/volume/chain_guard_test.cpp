// The guard that keeps walks along chains from going round: links and
// stretches of links are taken once, and no more than the volume holds.
#include "volume/chain_guard.h"

#include <gtest/gtest.h>

namespace corvanel {
namespace {

TEST(ChainGuard, TakesEachLinkOnceAndNoMoreThanThereAre) {
  ChainGuard guard(10);
  EXPECT_TRUE(guard.Take(5));
  EXPECT_TRUE(guard.Take(6));     // merges with 5
  EXPECT_FALSE(guard.Take(5));
  EXPECT_FALSE(guard.Take(3, 3));  // 3..5 reaches into 5
  EXPECT_FALSE(guard.Take(6, 4));
  EXPECT_TRUE(guard.Take(8, 2));
  EXPECT_TRUE(guard.Take(7));      // fills the gap between 6 and 8
  EXPECT_FALSE(guard.Take(4, 6));  // overlaps the merged 5..9
  EXPECT_TRUE(guard.Take(0, 5));
  EXPECT_FALSE(guard.Take(100));   // all ten taken: no chain is longer
  EXPECT_FALSE(ChainGuard(5).Take(UINT64_MAX, 2));
}

}  // namespace
}  // namespace corvanel
