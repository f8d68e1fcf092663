// The prepared statements a session keeps, by text, the least recently
// used pushed out first, the last one found answered without hashing.
//
// Faults caught: the last entry found answering for another text of the
// same length; an entry removed or pushed out still answering (through the
// shortcut to the last one found); the recency order lost, so that the
// statement in use is pushed out instead of the oldest.
#include "platform/ado/statement_cache.h"

#include <gtest/gtest.h>

namespace {

using Cache = valmorin::ado::StatementCache<int>;

TEST(StatementCache, AnEntryAnswersForItsOwnTextOnly)
{
    Cache cache(4);
    cache.Insert(u"SELECT ?", 1);
    ASSERT_NE(cache.Find(u"SELECT ?"), nullptr);
    EXPECT_EQ(*cache.Find(u"SELECT ?"), 1);
    EXPECT_EQ(cache.Find(u"SELECT !"), nullptr) << "the last entry found answered for another text";
    EXPECT_EQ(cache.Find(u"SELECT ? "), nullptr);
    EXPECT_EQ(cache.Find(u""), nullptr);
}

TEST(StatementCache, RemovedAndPushedOutEntriesNoLongerAnswer)
{
    Cache cache(2);
    cache.Insert(u"a", 1);
    cache.Insert(u"b", 2);
    ASSERT_NE(cache.Find(u"a"), nullptr); // a is now the most recent
    const auto [added, evicted] = cache.Insert(u"c", 3);
    ASSERT_TRUE(evicted.has_value());
    EXPECT_EQ(*evicted, 2) << "the oldest entry is the one pushed out";
    EXPECT_EQ(cache.Find(u"b"), nullptr);
    ASSERT_NE(cache.Find(u"c"), nullptr);
    EXPECT_EQ(cache.Remove(u"c"), std::optional<int>(3));
    EXPECT_EQ(cache.Find(u"c"), nullptr) << "the removed entry answered through the shortcut";
    EXPECT_EQ(cache.Remove(u"c"), std::nullopt);
    ASSERT_NE(cache.Find(u"a"), nullptr);
    EXPECT_EQ(*cache.Find(u"a"), 1);
}

// Fault caught: a text made again while its entry is kept leaving a second
// place in the recency order, whose eviction later finds no entry.
TEST(StatementCache, ATextMadeAgainReplacesItsEntry)
{
    Cache cache(2);
    cache.Insert(u"a", 1);
    const auto [added, replaced] = cache.Insert(u"a", 2);
    EXPECT_EQ(replaced, std::optional<int>(1));
    cache.Insert(u"b", 3);
    cache.Insert(u"c", 4); // pushes out a, the oldest
    EXPECT_EQ(cache.Find(u"a"), nullptr);
    ASSERT_NE(cache.Find(u"b"), nullptr);
    ASSERT_NE(cache.Find(u"c"), nullptr);
}

} // namespace
