// The prepared statements a session keeps, by text, the least recently
// used pushed out first, the last one found answered without hashing.
//
// Faults caught: the last entry found answering for another text of the
// same length; an entry removed or pushed out still answering (through the
// shortcut to the last one found); the recency order lost, so that the
// statement in use is pushed out instead of the oldest.
#include "platform/ado/statement_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <random>

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

// The cache against a plain model of it (its texts in order of use, the
// most recent first) over random finds, inserts and removals of texts that
// share lengths and beginnings, at every small capacity. Faults caught: an
// answer, an order of use or a text pushed out that the shortcut to the
// last entry found, or the erasing, makes differ from the plain list.
TEST(StatementCache, RandomUsesAnswerAsAPlainListOfRecentTextsDoes)
{
    const std::u16string texts[] = {u"a", u"b", u"ab", u"ba", u"", u"SELECT ?", u"SELECT !", u"aa"};
    std::mt19937 random(20261207);
    for (std::size_t capacity = 1; capacity <= 4; ++capacity) {
        Cache cache(capacity);
        std::list<std::pair<std::u16string, int>> model; // most recent first
        int next = 0;
        for (int step = 0; step < 3000; ++step) {
            const std::u16string& text = texts[random() % std::size(texts)];
            const auto kept =
                std::find_if(model.begin(), model.end(), [&](const auto& entry) { return entry.first == text; });
            switch (random() % 3) {
            case 0: { // find
                const int* found = cache.Find(text);
                if (kept == model.end()) {
                    EXPECT_EQ(found, nullptr) << step;
                    break;
                }
                ASSERT_NE(found, nullptr) << step;
                EXPECT_EQ(*found, kept->second) << step;
                model.splice(model.begin(), model, kept);
                break;
            }
            case 1: { // insert
                std::optional<int> expected;
                if (kept != model.end()) {
                    expected = kept->second;
                    model.erase(kept);
                } else if (model.size() >= capacity) {
                    expected = model.back().second;
                    model.pop_back();
                }
                model.emplace_front(text, ++next);
                const auto [added, evicted] = cache.Insert(text, next);
                EXPECT_EQ(*added, next) << step;
                EXPECT_EQ(evicted, expected) << step;
                break;
            }
            default: { // remove
                const std::optional<int> removed = cache.Remove(text);
                EXPECT_EQ(removed, kept == model.end() ? std::nullopt : std::optional<int>(kept->second)) << step;
                if (kept != model.end()) model.erase(kept);
            }
            }
        }
    }
}

} // namespace
