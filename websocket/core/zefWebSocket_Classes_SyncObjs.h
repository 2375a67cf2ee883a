// zefWebSocket_Classes_SyncObjs: the re-entrant lock and the list with its own lock.
#pragma once

#include "platform/rtl/Exception.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace zef {

/// The library's one lock type: re-entrant, so a handler that runs while its owner holds the
/// lock may take it again on the same thread (and must release it as often). Any thread.
class TzefCriticalSection {
public:
    TzefCriticalSection() = default;
    TzefCriticalSection(const TzefCriticalSection&) = delete;
    TzefCriticalSection& operator=(const TzefCriticalSection&) = delete;

    // Acquire/Release are a specified pair; callers keep them balanced (RAII users go through
    // the BasicLockable names below).
    void Acquire() { FSection.lock(); }
    void Release() noexcept { FSection.unlock(); }
    /// True when the lock was taken without waiting.
    bool TryAcquire() { return FSection.try_lock(); }

    void lock() { Acquire(); }
    void unlock() noexcept { Release(); }
    bool try_lock() { return TryAcquire(); }

private:
    std::recursive_mutex FSection;
};

enum class TDuplicates : std::uint8_t { dupIgnore, dupAccept, dupError };
enum class TzefThreadListType : std::uint8_t {
    tdlThreadDictionary,
    tdlOnlyThread,
    tdlOnlyDictionary
};
enum class TListDirection : std::uint8_t { FromBeginning, FromEnd };

/// Message of the duplicates error; %s is the item's address in hexadecimal.
inline constexpr std::string_view SDuplicateItem = "List does not allow duplicates ($0%s)";

/// Formats an address the way the duplicates error shows it.
std::string AddressToHex(const void* Item);

/// A list of references guarded by its own lock. It owns nothing; descendants decide
/// ownership. Any thread: every operation takes the lock; compound work holds
/// LockList ... UnlockList around it.
template <typename T>
class TzefThreadList {
public:
    TzefThreadList() = default;
    TzefThreadList(const TzefThreadList&) = delete;
    TzefThreadList& operator=(const TzefThreadList&) = delete;
    virtual ~TzefThreadList() = default;

    /// Takes the lock and returns the list; the caller must call UnlockList.
    std::vector<T*>& LockList() {
        FLock.Acquire(); // Released by UnlockList.
        return FList;
    }
    /// Ends LockList.
    void UnlockList() noexcept { FLock.Release(); }

    /// Appends Item unless it is there already: then nothing happens with dupIgnore, and
    /// dupError throws rtl::EListError.
    void Add(T* Item) {
        std::scoped_lock Lock(FLock);
        if (FDuplicates != TDuplicates::dupAccept &&
            std::find(FList.begin(), FList.end(), Item) != FList.end()) {
            if (FDuplicates == TDuplicates::dupError) {
                std::string Message(SDuplicateItem);
                Message.replace(Message.find("%s"), 2, AddressToHex(Item));
                throw rtl::EListError(Message);
            }
            return;
        }
        FList.push_back(Item);
    }
    void AddKey(T* Item, const std::string& /*aKey*/) { Add(Item); }
    /// Removes the first occurrence of Item; nothing when absent.
    void Remove(T* Item) { RemoveItem(Item, TListDirection::FromBeginning); }
    void RemoveItem(T* Item, TListDirection Direction) {
        std::scoped_lock Lock(FLock);
        if (Direction == TListDirection::FromBeginning) {
            auto It = std::find(FList.begin(), FList.end(), Item);
            if (It != FList.end()) {
                FList.erase(It);
            }
        } else {
            auto It = std::find(FList.rbegin(), FList.rend(), Item);
            if (It != FList.rend()) {
                FList.erase(std::next(It).base());
            }
        }
    }
    /// Throws rtl::EListError for an index out of range.
    void Delete(std::size_t Index) {
        std::scoped_lock Lock(FLock);
        if (Index >= FList.size()) {
            throw rtl::EListError("List index out of bounds (" + std::to_string(Index) + ")");
        }
        FList.erase(FList.begin() + std::ptrdiff_t(Index));
    }
    void DeleteKey(std::size_t Index, const std::string& /*aKey*/) { Delete(Index); }
    T* GetValue(const std::string& /*aKey*/) const { return nullptr; }
    /// Removes every entry without freeing anything.
    virtual void Clear() {
        std::scoped_lock Lock(FLock);
        FList.clear();
    }
    std::size_t CountUnlocked() const { return FList.size(); }

    TDuplicates Duplicates() const { return FDuplicates; }
    void SetDuplicates(TDuplicates Value) { FDuplicates = Value; }
    /// The list always behaves as tdlOnlyThread.
    TzefThreadListType ListType() const { return TzefThreadListType::tdlOnlyThread; }
    void SetListType(TzefThreadListType /*Value*/) {
        FListType = TzefThreadListType::tdlOnlyThread;
    }

protected:
    std::vector<T*> FList; // Guarded by FLock.
    mutable TzefCriticalSection FLock;
    TDuplicates FDuplicates = TDuplicates::dupIgnore;
    TzefThreadListType FListType = TzefThreadListType::tdlOnlyThread;
};

} // namespace zef
