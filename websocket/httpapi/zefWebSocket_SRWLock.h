// zefWebSocket_SRWLock: the slim reader/writer lock and the list guarded by one, used for the
// connection registry and the listener's in-flight operation records.
#pragma once

#include <shared_mutex>
#include <vector>

namespace zef {

/// A reader/writer lock: shared for reading, exclusive for changes. Not re-entrant. Any thread.
class TzefSRWLock {
public:
    void AcquireShared() { FHandle.lock_shared(); }
    void ReleaseShared() { FHandle.unlock_shared(); }
    void AcquireExclusive() { FHandle.lock(); }
    void ReleaseExclusive() { FHandle.unlock(); }
    bool TryAcquireShared() { return FHandle.try_lock_shared(); }
    bool TryAcquireExclusive() { return FHandle.try_lock(); }

private:
    std::shared_mutex FHandle;
};

/// A list of T guarded by its own reader/writer lock. LockList/UnLockList (exclusive) and
/// ShareList/UnShareList (shared) are specified pairs; the list is only touched between them.
template <class T>
class TzefSRWLockList {
public:
    /// Takes the lock exclusively; paired with UnLockList.
    std::vector<T>& LockList() {
        FLock.AcquireExclusive();
        return FList;
    }
    void UnLockList() { FLock.ReleaseExclusive(); }
    /// Takes the lock shared; paired with UnShareList.
    std::vector<T>& ShareList() {
        FLock.AcquireShared();
        return FList;
    }
    void UnShareList() { FLock.ReleaseShared(); }

private:
    TzefSRWLock FLock;
    std::vector<T> FList; // Guarded by FLock.
};

} // namespace zef
