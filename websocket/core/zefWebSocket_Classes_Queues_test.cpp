// zefWebSocket_Classes_Queues: keyed queues.
#include "websocket/core/zefWebSocket_Classes_Queues.h"

#include <gtest/gtest.h>

#include <memory>

using namespace zef;

namespace {

// An item that reports its destruction, so that ownership shows in the tests.
class TTrackedItem : public TzefQueueNameItemBase {
public:
    TTrackedItem(std::string aID, int& aFreed, std::string aQueue = "") : FFreed(aFreed) {
        SetID(std::move(aID));
        SetQueue(std::move(aQueue));
    }
    ~TTrackedItem() override { ++FFreed; }

private:
    int& FFreed;
};

} // namespace

TEST(TzefFIFOQueue, FullQueueDropsTheOldest) {
    int Freed = 0;
    TzefFIFOQueue Queue;
    Queue.SetOwnObjects(true);
    Queue.SetMaxItems(2);
    Queue.AddItem(new TTrackedItem("A", Freed));
    Queue.AddItem(new TTrackedItem("B", Freed));
    Queue.AddItem(new TTrackedItem("C", Freed));
    EXPECT_EQ(Queue.Count(), 2u);
    EXPECT_EQ(Queue.GetItem(std::size_t(0))->ID(), "B");
    EXPECT_EQ(Queue.GetItemByIndex(1)->ID(), "C");
    EXPECT_EQ(Queue.GetItem(std::size_t(2)), nullptr);
    EXPECT_EQ(Freed, 1);
}

TEST(TzefQueueBase, DeleteByIdAndIndex) {
    int Freed = 0;
    TzefQueue Queue;
    Queue.SetOwnObjects(true);
    Queue.AddItem(new TTrackedItem("a", Freed));
    Queue.AddItem(new TTrackedItem("A", Freed));
    Queue.AddItem(new TTrackedItem("a", Freed));
    EXPECT_TRUE(Queue.DeleteItem(std::string("a")));
    EXPECT_EQ(Queue.GetItem(std::string("a")), Queue.GetItem(std::size_t(1)));
    EXPECT_FALSE(Queue.DeleteItem(std::string("b")));
    EXPECT_FALSE(Queue.DeleteItem(std::size_t(2)));
    EXPECT_TRUE(Queue.DeleteItem(std::size_t(0)));
    EXPECT_EQ(Freed, 2);
    Queue.Clear();
    EXPECT_EQ(Freed, 3);
    // Without OwnObjects nothing is freed.
    TTrackedItem Kept("k", Freed);
    TzefQueue Loose;
    Loose.AddItem(&Kept);
    EXPECT_TRUE(Loose.DeleteItem(std::string("k")));
    EXPECT_EQ(Freed, 3);
}

TEST(TzefCacheQueue, CacheHoldsTheLastLookedUp) {
    int Freed = 0;
    TzefCacheQueue Queue;
    Queue.SetOwnObjects(true);
    Queue.SetCacheSize(1);
    auto* X = new TTrackedItem("X", Freed);
    auto* Y = new TTrackedItem("Y", Freed);
    Queue.AddItem(X);
    Queue.AddItem(Y);
    EXPECT_EQ(Queue.GetItem("X"), X);
    EXPECT_EQ(Queue.GetItem("Y"), Y);
    EXPECT_EQ(Queue.GetItem("Z"), nullptr);
    EXPECT_TRUE(Queue.DeleteItem("X"));
    EXPECT_EQ(Freed, 1);
    EXPECT_EQ(Queue.Count(), 1u);
    EXPECT_TRUE(Queue.DeleteItem("Y"));
    EXPECT_EQ(Queue.GetItem("Y"), nullptr); // gone from the cache too
    EXPECT_EQ(Freed, 2);
}

TEST(TzefCacheQueueList, GroupsByIdPrefix) {
    int Freed = 0;
    TzefCacheQueueList List;
    List.SetCacheSize(10);
    EXPECT_EQ(List.GroupLevel(), 1);
    List.AddItem(new TTrackedItem("A1", Freed));
    List.AddItem(new TTrackedItem("A2", Freed));
    List.AddItem(new TTrackedItem("B1", Freed));
    EXPECT_EQ(List.Count(), 3u);
    EXPECT_EQ(List.QueueCache().GetGroup("A").Count(), 2u);
    EXPECT_EQ(List.QueueCache().GetGroup("B").Count(), 1u);
    EXPECT_EQ(List.GetItem("C7"), nullptr);
    EXPECT_EQ(List.QueueCache().CountUnlocked(), 3u); // group C was created
    EXPECT_EQ(List.GetItem("A2")->ID(), "A2");
    EXPECT_TRUE(List.DeleteItem("A2"));
    EXPECT_EQ(Freed, 1);
    List.Clear();
    EXPECT_EQ(Freed, 3);
}

TEST(TzefQueueNameListBase, NamedQueues) {
    int Freed = 0;
    {
        TzefQueueNameListBase Lists;
        auto First = std::make_unique<TTrackedItem>("id", Freed, "news");
        auto Second = std::make_unique<TTrackedItem>("id", Freed, "news");
        EXPECT_TRUE(Lists.AddItem(First.release()));
        EXPECT_FALSE(Lists.AddItem(Second.get())); // stays with the caller
        EXPECT_TRUE(Lists.AddItem(new TTrackedItem("id", Freed, "sport")));
        EXPECT_TRUE(Lists.AddItem(new TTrackedItem("other", Freed, "sport")));
        EXPECT_EQ(Lists.GetQueuesDelimitedText(), "sport,news");
        EXPECT_TRUE(Lists.DeleteItem("sport", "other"));
        EXPECT_FALSE(Lists.DeleteItem("weather", "id"));
        Lists.DeleteItem("id");
        EXPECT_EQ(Lists.GetQueueByName("news").Count(), 0u);
        EXPECT_EQ(Lists.GetQueueByName("sport").Count(), 0u);
        EXPECT_EQ(Freed, 3);
    }
    EXPECT_EQ(Freed, 4); // the refused item, freed by its unique_ptr
}
