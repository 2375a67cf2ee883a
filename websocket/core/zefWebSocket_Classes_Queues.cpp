// zefWebSocket_Classes_Queues: keyed queues.
#include "websocket/core/zefWebSocket_Classes_Queues.h"

#include "websocket/core/zefBase_Classes.h"

namespace zef {

void TzefQueueBase::AddItem(TzefQueueItemBase* aItem) {
    std::scoped_lock Lock(FLock);
    FList.push_back(aItem);
}

bool TzefQueueBase::DeleteItem(const std::string& aID) {
    std::scoped_lock Lock(FLock);
    for (auto It = FList.begin(); It != FList.end(); ++It) {
        if ((*It)->ID() == aID) {
            TzefQueueItemBase* Item = *It;
            FList.erase(It);
            Dispose(Item);
            return true;
        }
    }
    return false;
}

bool TzefQueueBase::DeleteItem(std::size_t Index) {
    std::scoped_lock Lock(FLock);
    if (Index >= FList.size()) {
        return false;
    }
    TzefQueueItemBase* Item = FList[Index];
    FList.erase(FList.begin() + std::ptrdiff_t(Index));
    Dispose(Item);
    return true;
}

TzefQueueItemBase* TzefQueueBase::GetItem(const std::string& aID) const {
    std::scoped_lock Lock(FLock);
    for (TzefQueueItemBase* Item : FList) {
        if (Item->ID() == aID) {
            return Item;
        }
    }
    return nullptr;
}

TzefQueueItemBase* TzefQueueBase::GetItemByIndex(std::size_t Index) const {
    std::scoped_lock Lock(FLock);
    return Index < FList.size() ? FList[Index] : nullptr;
}

void TzefFIFOQueue::AddItem(TzefQueueItemBase* aItem) {
    std::scoped_lock Lock(FLock);
    if (FMaxItems > 0 && FList.size() >= std::size_t(FMaxItems)) {
        DeleteItem(std::size_t(0));
    }
    FList.push_back(aItem);
}

TzefFIFOQueue& TzefCacheQueue::Cache() {
    if (!FCache) {
        FCache = std::make_unique<TzefFIFOQueue>();
        FCache->SetMaxItems(FCacheSize);
    }
    return *FCache;
}

TzefQueue& TzefCacheQueue::Store() {
    if (!FQueue) {
        FQueue = std::make_unique<TzefQueue>();
    }
    return *FQueue;
}

void TzefCacheQueue::AddItem(TzefQueueItemBase* aItem) {
    std::scoped_lock Lock(FLock);
    Store().AddItem(aItem);
}

TzefQueueItemBase* TzefCacheQueue::GetItem(const std::string& aID) {
    std::scoped_lock Lock(FLock);
    if (FCacheSize <= 0) {
        return Store().GetItem(aID);
    }
    if (TzefQueueItemBase* Item = Cache().GetItem(aID)) {
        return Item;
    }
    TzefQueueItemBase* Item = Store().GetItem(aID);
    if (Item) {
        Cache().AddItem(Item);
    }
    return Item;
}

bool TzefCacheQueue::DeleteItem(const std::string& aID) {
    std::scoped_lock Lock(FLock);
    if (FCacheSize > 0) {
        Cache().DeleteItem(aID);
    }
    return Store().DeleteItem(aID);
}

void TzefCacheQueue::Clear() {
    std::scoped_lock Lock(FLock);
    if (FCache) {
        FCache->Clear();
    }
    if (FQueue) {
        FQueue->Clear();
    }
}

int TzefCacheQueue::CacheSize() const {
    std::scoped_lock Lock(FLock);
    return FCacheSize;
}

void TzefCacheQueue::SetCacheSize(int Value) {
    std::scoped_lock Lock(FLock);
    FCacheSize = Value;
    Cache().SetMaxItems(Value);
}

std::size_t TzefCacheQueue::Count() {
    std::scoped_lock Lock(FLock);
    return Store().Count();
}

bool TzefCacheQueue::OwnObjects() {
    std::scoped_lock Lock(FLock);
    return Store().OwnObjects();
}

void TzefCacheQueue::SetOwnObjects(bool Value) {
    std::scoped_lock Lock(FLock);
    Store().SetOwnObjects(Value);
}

TzefCacheQueue& TzefCacheQueueListBase::GetGroup(const std::string& aID) {
    std::string Name = FGroupLevel <= 0 ? std::string() : aID.substr(0, std::size_t(FGroupLevel));
    std::scoped_lock Lock(FLock);
    for (TzefCacheQueue* Group : FList) {
        if (Group->QueueName() == Name) {
            return *Group;
        }
    }
    auto Group = std::make_unique<TzefCacheQueue>();
    Group->SetCacheSize(FCacheSize);
    Group->SetQueueName(Name);
    Group->SetOwnObjects(true);
    FList.push_back(Group.release()); // Owned by the list: freed by Clear.
    return *FList.back();
}

void TzefCacheQueueListBase::AddItem(TzefQueueItemBase* aItem) {
    GetGroup(aItem->ID()).AddItem(aItem);
}

bool TzefCacheQueueListBase::DeleteItem(const std::string& aID) {
    return GetGroup(aID).DeleteItem(aID);
}

TzefQueueItemBase* TzefCacheQueueListBase::GetItem(const std::string& aID) {
    return GetGroup(aID).GetItem(aID);
}

std::size_t TzefCacheQueueListBase::Count() {
    std::scoped_lock Lock(FLock);
    std::size_t Sum = 0;
    for (TzefCacheQueue* Group : FList) {
        Sum += Group->Count();
    }
    return Sum;
}

TzefQueueNameBase& TzefQueueNameListBase::GetQueueByName(const std::string& aQueueName) {
    std::scoped_lock Lock(FLock);
    for (TzefQueueNameBase* Queue : FList) {
        if (Queue->QueueName() == aQueueName) {
            return *Queue;
        }
    }
    auto Queue = std::make_unique<TzefQueueNameBase>();
    Queue->SetQueueName(aQueueName);
    Queue->SetOwnObjects(true);
    FList.push_back(Queue.release()); // Owned by the list: freed by Clear.
    return *FList.back();
}

bool TzefQueueNameListBase::AddItem(TzefQueueNameItemBase* aItem) {
    TzefQueueNameBase& Queue = GetQueueByName(aItem->Queue());
    std::scoped_lock Lock(FLock);
    if (Queue.GetItem(aItem->ID())) {
        return false;
    }
    Queue.AddItem(aItem);
    return true;
}

void TzefQueueNameListBase::DeleteItem(const std::string& aID) {
    std::scoped_lock Lock(FLock);
    for (auto It = FList.rbegin(); It != FList.rend(); ++It) {
        (*It)->DeleteItem(aID);
    }
}

bool TzefQueueNameListBase::DeleteItem(const std::string& aQueueName, const std::string& aID) {
    std::scoped_lock Lock(FLock);
    for (auto It = FList.rbegin(); It != FList.rend(); ++It) {
        if ((*It)->QueueName() == aQueueName) {
            (*It)->DeleteItem(aID);
            return true;
        }
    }
    return false;
}

std::string TzefQueueNameListBase::GetQueuesDelimitedText() {
    TzefDelimitedStringList Names;
    std::scoped_lock Lock(FLock);
    for (auto It = FList.rbegin(); It != FList.rend(); ++It) {
        Names.Add((*It)->QueueName());
    }
    return Names.DelimitedText();
}

} // namespace zef
