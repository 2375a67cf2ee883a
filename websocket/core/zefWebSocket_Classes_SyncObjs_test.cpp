// zefWebSocket_Classes_SyncObjs: the re-entrant lock and the locked list.
#include "websocket/core/zefWebSocket_Classes_SyncObjs.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace zef;

TEST(TzefCriticalSection, ReentrantOnOneThreadExclusiveAcrossThreads) {
    TzefCriticalSection Lock;
    Lock.Acquire();
    EXPECT_TRUE(Lock.TryAcquire());
    Lock.Release();
    std::atomic<bool> OtherGot{true};
    std::thread([&] { OtherGot = Lock.TryAcquire(); }).join();
    EXPECT_FALSE(OtherGot);
    Lock.Release();
    std::thread([&] {
        OtherGot = Lock.TryAcquire();
        if (OtherGot) {
            Lock.Release();
        }
    }).join();
    EXPECT_TRUE(OtherGot);
}

TEST(TzefThreadList, DuplicateRules) {
    int A = 1, B = 2;
    TzefThreadList<int> List;
    EXPECT_EQ(List.Duplicates(), TDuplicates::dupIgnore);
    List.Add(&A);
    List.Add(&A);
    EXPECT_EQ(List.LockList().size(), 1u);
    List.UnlockList();
    List.SetDuplicates(TDuplicates::dupError);
    try {
        List.Add(&A);
        ADD_FAILURE() << "no exception";
    } catch (const rtl::EListError& E) {
        EXPECT_EQ(std::string(E.what()),
                  "List does not allow duplicates ($0" + AddressToHex(&A) + ")");
    }
    List.SetDuplicates(TDuplicates::dupAccept);
    List.Add(&A);
    List.Add(&B);
    List.AddKey(&A, "ignored");
    EXPECT_EQ(List.LockList(), (std::vector<int*>{&A, &A, &B, &A}));
    List.UnlockList();
    List.RemoveItem(&A, TListDirection::FromEnd);
    List.Remove(&A);
    EXPECT_EQ(List.LockList(), (std::vector<int*>{&A, &B}));
    List.UnlockList();
    List.Delete(0);
    EXPECT_THROW(List.Delete(5), rtl::EListError);
    EXPECT_EQ(List.GetValue("x"), nullptr);
    List.SetListType(TzefThreadListType::tdlThreadDictionary);
    EXPECT_EQ(List.ListType(), TzefThreadListType::tdlOnlyThread);
    List.Clear();
    EXPECT_TRUE(List.LockList().empty());
    List.UnlockList();
}
