// zefWebSocket_Classes_Queues: keyed queues: locked lists of items with a string ID, a bounded
// FIFO, a store with a lookup cache, grouped stores and named queues.
#pragma once

#include "websocket/core/zefWebSocket_Classes_SyncObjs.h"

#include <cstdint>
#include <memory>
#include <string>

namespace zef {

/// An item with a key. Owned by a queue that has OwnObjects set, else by whoever created it.
class TzefQueueItemBase {
public:
    TzefQueueItemBase() = default;
    TzefQueueItemBase(const TzefQueueItemBase&) = delete;
    TzefQueueItemBase& operator=(const TzefQueueItemBase&) = delete;
    virtual ~TzefQueueItemBase() = default;
    const std::string& ID() const { return FID; }
    void SetID(std::string Value) { FID = std::move(Value); }

private:
    std::string FID;
};

/// An item for a named queue.
class TzefQueueNameItemBase : public TzefQueueItemBase {
public:
    const std::string& Queue() const { return FQueue; }
    void SetQueue(std::string Value) { FQueue = std::move(Value); }

private:
    std::string FQueue;
};

/// A locked list that, with OwnObjects, frees the items it removes (and those it still holds
/// when destroyed); without it, items are only dropped. Any thread.
template <typename T>
class TzefQueueCommonT : public TzefThreadList<T> {
public:
    TzefQueueCommonT() { this->SetDuplicates(TDuplicates::dupAccept); }
    ~TzefQueueCommonT() override { Clear(); }

    /// Removes every item, last to first, freeing each when OwnObjects.
    void Clear() override {
        std::scoped_lock Lock(this->FLock);
        while (!this->FList.empty()) {
            T* Item = this->FList.back();
            this->FList.pop_back();
            Dispose(Item);
        }
    }
    bool OwnObjects() const { return FOwnObjects; }
    void SetOwnObjects(bool Value) { FOwnObjects = Value; }
    std::size_t Count() const {
        std::scoped_lock Lock(this->FLock);
        return this->FList.size();
    }

protected:
    // The one place where owned items end: an owning queue holds them as plain pointers so
    // that the same list type serves owning and non-owning registries.
    void Dispose(T* Item) {
        if (FOwnObjects) {
            std::default_delete<T>()(Item);
        }
    }
    bool FOwnObjects = false;
};

using TzefQueueCommon = TzefQueueCommonT<TzefQueueItemBase>;

/// Find, add and delete by ID or index. Any thread; each call holds the lock.
class TzefQueueBase : public TzefQueueCommon {
public:
    /// Appends without a duplicate test. With OwnObjects the queue takes ownership.
    virtual void AddItem(TzefQueueItemBase* aItem);
    /// Removes the first item whose ID equals aID exactly; true when one was removed.
    bool DeleteItem(const std::string& aID);
    /// Removes the item at Index when Index is below Count.
    bool DeleteItem(std::size_t Index);
    /// The first item with that ID, or null.
    TzefQueueItemBase* GetItem(const std::string& aID) const;
    /// The item at Index, or null when Index is not below Count.
    TzefQueueItemBase* GetItem(std::size_t Index) const { return GetItemByIndex(Index); }
    virtual TzefQueueItemBase* GetItemByIndex(std::size_t Index) const;
};

/// Bounded FIFO: adding to a full queue first removes the oldest item.
class TzefFIFOQueue : public TzefQueueBase {
public:
    void AddItem(TzefQueueItemBase* aItem) override;
    int MaxItems() const { return FMaxItems; }
    void SetMaxItems(int Value) { FMaxItems = Value; }

private:
    int FMaxItems = 0;
};

/// Unbounded queue.
class TzefQueue : public TzefQueueBase {};

/// A named queue.
class TzefQueueNameBase : public TzefQueueBase {
public:
    const std::string& QueueName() const { return FQueueName; }
    void SetQueueName(std::string Value) { FQueueName = std::move(Value); }

private:
    std::string FQueueName;
};

/// A store with a lookup cache of the items last looked up. The cache never owns; the store
/// owns its items when OwnObjects. Any thread: every operation holds the object's lock, so a
/// lookup never caches an item that a concurrent delete has just freed.
class TzefCacheQueue {
public:
    TzefCacheQueue() = default;
    TzefCacheQueue(const TzefCacheQueue&) = delete;
    TzefCacheQueue& operator=(const TzefCacheQueue&) = delete;

    void AddItem(TzefQueueItemBase* aItem);
    /// With CacheSize <= 0 a store lookup; otherwise the cache first, then the store, and a
    /// store hit enters the cache (evicting its oldest entry when full).
    TzefQueueItemBase* GetItem(const std::string& aID);
    /// Removes aID from the cache (never freed there), then from the store; the store's result.
    bool DeleteItem(const std::string& aID);
    void Clear();

    int CacheSize() const;
    void SetCacheSize(int Value);
    std::size_t Count();
    bool OwnObjects();
    void SetOwnObjects(bool Value);
    const std::string& QueueName() const { return FQueueName; }
    void SetQueueName(std::string Value) { FQueueName = std::move(Value); }

private:
    TzefFIFOQueue& Cache();
    TzefQueue& Store();

    mutable TzefCriticalSection FLock;
    std::unique_ptr<TzefFIFOQueue> FCache; // Created on first use. Guarded by FLock.
    std::unique_ptr<TzefQueue> FQueue;     // Created on first use. Guarded by FLock.
    int FCacheSize = 0;                    // Guarded by FLock.
    std::string FQueueName;
};

/// The store split into groups (TzefCacheQueue) by the first GroupLevel characters of the ID.
/// Owns its groups; each group's store owns its items. Any thread.
class TzefCacheQueueListBase : public TzefQueueCommonT<TzefCacheQueue> {
public:
    TzefCacheQueueListBase() { SetOwnObjects(true); }
    virtual void AddItem(TzefQueueItemBase* aItem);
    bool DeleteItem(const std::string& aID);
    TzefQueueItemBase* GetItem(const std::string& aID);
    /// The sum of the groups' counts.
    std::size_t Count();
    int CacheSize() const { return FCacheSize; }
    void SetCacheSize(int Value) { FCacheSize = Value; }
    int GroupLevel() const { return FGroupLevel; }
    void SetGroupLevel(int Value) { FGroupLevel = Value; }
    /// The group for aID, created (empty) when missing.
    TzefCacheQueue& GetGroup(const std::string& aID);

private:
    int FCacheSize = 0;
    int FGroupLevel = 1;
};

/// Component wrapper of TzefCacheQueueListBase.
class TzefCacheQueueList {
public:
    TzefCacheQueueList() : FQueueCache(std::make_unique<TzefCacheQueueListBase>()) {}
    virtual ~TzefCacheQueueList() = default;
    TzefCacheQueueList(const TzefCacheQueueList&) = delete;
    TzefCacheQueueList& operator=(const TzefCacheQueueList&) = delete;

    void AddItem(TzefQueueItemBase* aItem) { FQueueCache->AddItem(aItem); }
    bool DeleteItem(const std::string& aID) { return FQueueCache->DeleteItem(aID); }
    TzefQueueItemBase* GetItem(const std::string& aID) { return FQueueCache->GetItem(aID); }
    void Clear() { FQueueCache->Clear(); }
    int CacheSize() const { return FQueueCache->CacheSize(); }
    void SetCacheSize(int Value) { FQueueCache->SetCacheSize(Value); }
    int GroupLevel() const { return FQueueCache->GroupLevel(); }
    void SetGroupLevel(int Value) { FQueueCache->SetGroupLevel(Value); }
    std::size_t Count() { return FQueueCache->Count(); }
    TzefCacheQueueListBase& QueueCache() { return *FQueueCache; }

private:
    std::unique_ptr<TzefCacheQueueListBase> FQueueCache;
};

/// A set of named queues, each owning its items; owns the queues. Any thread.
class TzefQueueNameListBase : public TzefQueueCommonT<TzefQueueNameBase> {
public:
    TzefQueueNameListBase() { SetOwnObjects(true); }
    /// Adds aItem to the queue named aItem->Queue() (created when missing) and takes ownership;
    /// false, leaving aItem with the caller, when that queue already holds its ID.
    virtual bool AddItem(TzefQueueNameItemBase* aItem);
    /// Deletes aID from every named queue, last queue first.
    void DeleteItem(const std::string& aID);
    /// Deletes aID from the last queue named aQueueName; true when such a queue exists.
    bool DeleteItem(const std::string& aQueueName, const std::string& aID);
    /// The named queue, created (empty) when missing.
    TzefQueueNameBase& GetQueueByName(const std::string& aQueueName);
    /// The queue names, last queue first, as comma-delimited text.
    std::string GetQueuesDelimitedText();
};

} // namespace zef
