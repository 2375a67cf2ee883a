// Locks: critical sections and slim reader/writer locks over futexes.
//
// Both live in caller-provided memory with the Windows size and need no clean-up, so they are
// built on lock words in that memory: atomic operations for the uncontended paths, a futex to
// sleep on when contended.
#include "platform/win/Scheduler.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <windows.h>

namespace {

using win::TBlockingScope;

void FutexWait(std::uint32_t* Word, std::uint32_t Expected) noexcept {
    // Returns at once when *Word no longer holds Expected; callers re-check in a loop anyway.
    syscall(SYS_futex, Word, FUTEX_WAIT_PRIVATE, Expected, nullptr, nullptr, 0);
}

void FutexWakeAll(std::uint32_t* Word) noexcept {
    syscall(SYS_futex, Word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void FutexWakeOne(std::uint32_t* Word) noexcept {
    syscall(SYS_futex, Word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void CpuRelax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// ---- Critical section -------------------------------------------------------------------------
// LockCount is a three-state mutex word: 0 free, 1 held, 2 held and somebody may sleep on it.
// OwningThread holds the owner's thread id so that the owner can enter again (counted in
// RecursionCount, which only the owner touches).

std::uint32_t* LockWord(LPCRITICAL_SECTION Section) noexcept {
    return reinterpret_cast<std::uint32_t*>(&Section->LockCount);
}

std::atomic_ref<HANDLE> Owner(LPCRITICAL_SECTION Section) noexcept {
    return std::atomic_ref<HANDLE>(Section->OwningThread);
}

HANDLE ThisThreadAsOwner() noexcept {
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetCurrentThreadId()));
}

bool TryLockWord(LPCRITICAL_SECTION Section) noexcept {
    std::uint32_t Free = 0;
    return std::atomic_ref<std::uint32_t>(*LockWord(Section))
        .compare_exchange_strong(Free, 1, std::memory_order_acquire, std::memory_order_relaxed);
}

void LockWordSlow(LPCRITICAL_SECTION Section) noexcept {
    std::atomic_ref<std::uint32_t> Word(*LockWord(Section));
    for (ULONG_PTR Spin = Section->SpinCount; Spin > 0; --Spin) {
        if (Word.load(std::memory_order_relaxed) == 0 && TryLockWord(Section)) {
            return;
        }
        CpuRelax();
    }
    // Mark the word as contended before sleeping, so that the holder's release wakes us.
    if (Word.exchange(2, std::memory_order_acquire) == 0) {
        return;
    }
    const TBlockingScope Blocking; // the thread blocks: it stops counting on its queue
    do {
        FutexWait(LockWord(Section), 2);
    } while (Word.exchange(2, std::memory_order_acquire) != 0);
}

void UnlockWord(LPCRITICAL_SECTION Section) noexcept {
    std::atomic_ref<std::uint32_t> Word(*LockWord(Section));
    if (Word.exchange(0, std::memory_order_release) == 2) {
        FutexWakeOne(LockWord(Section));
    }
}

// ---- Slim reader/writer lock ------------------------------------------------------------------
// The lock's word is split in two 32-bit halves: State (bit 31: a writer holds it, bit 30:
// somebody sleeps on State, bits 0-29: the readers holding it) and WritersWaiting (writers
// that want the lock; while there are any, new readers wait, so a stream of readers cannot
// starve a writer). Sleepers are woken all at once and race again.

constexpr std::uint32_t Writer = 0x80000000u;
constexpr std::uint32_t Sleepers = 0x40000000u;
constexpr std::uint32_t ReaderMask = 0x3FFFFFFFu;

static_assert(sizeof(SRWLOCK) == 2 * sizeof(std::uint32_t));

std::uint32_t* StateWord(PSRWLOCK Lock) noexcept {
    return reinterpret_cast<std::uint32_t*>(Lock);
}

std::atomic_ref<std::uint32_t> State(PSRWLOCK Lock) noexcept {
    return std::atomic_ref<std::uint32_t>(*StateWord(Lock));
}

std::atomic_ref<std::uint32_t> WritersWaiting(PSRWLOCK Lock) noexcept {
    return std::atomic_ref<std::uint32_t>(reinterpret_cast<std::uint32_t*>(Lock)[1]);
}

// Sets the sleepers bit (if State still is Seen) and sleeps while State stays that way.
// Returns at once when State changed meanwhile.
void SleepOnState(PSRWLOCK Lock, std::uint32_t Seen) noexcept {
    if ((Seen & Sleepers) == 0) {
        if (!State(Lock).compare_exchange_strong(Seen, Seen | Sleepers)) {
            return;
        }
        Seen |= Sleepers;
    }
    const TBlockingScope Blocking; // the thread blocks: it stops counting on its queue
    FutexWait(StateWord(Lock), Seen);
}

void WakeSleepers(PSRWLOCK Lock) noexcept {
    FutexWakeAll(StateWord(Lock));
}

bool TryShared(PSRWLOCK Lock, std::uint32_t& Seen) noexcept {
    while ((Seen & Writer) == 0) {
        if ((Seen & ReaderMask) == ReaderMask) {
            return false; // Can only happen with 2^30 readers; they wait their turn.
        }
        if (State(Lock).compare_exchange_weak(Seen, Seen + 1, std::memory_order_acquire)) {
            return true;
        }
    }
    return false;
}

bool TryExclusive(PSRWLOCK Lock, std::uint32_t& Seen) noexcept {
    while ((Seen & ~Sleepers) == 0) {
        if (State(Lock).compare_exchange_weak(Seen, Seen | Writer, std::memory_order_acquire)) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" {

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) noexcept {
    InitializeCriticalSectionEx(lpCriticalSection, 0, 0);
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                  DWORD dwSpinCount) noexcept {
    return InitializeCriticalSectionEx(lpCriticalSection, dwSpinCount, 0);
}

BOOL WINAPI InitializeCriticalSectionEx(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount,
                                        DWORD /*Flags*/) noexcept {
    *lpCriticalSection = CRITICAL_SECTION{};
    // Spinning only pays off when another processor can release the lock meanwhile.
    lpCriticalSection->SpinCount = sysconf(_SC_NPROCESSORS_ONLN) > 1 ? (dwSpinCount & 0xFFFFFF) : 0;
    return TRUE;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) noexcept {
    const HANDLE Me = ThisThreadAsOwner();
    // Only this thread ever stores its own id, so a relaxed read that sees it is exact.
    if (Owner(lpCriticalSection).load(std::memory_order_relaxed) == Me) {
        ++lpCriticalSection->RecursionCount;
        return;
    }
    if (!TryLockWord(lpCriticalSection)) {
        LockWordSlow(lpCriticalSection);
    }
    Owner(lpCriticalSection).store(Me, std::memory_order_relaxed);
    lpCriticalSection->RecursionCount = 1;
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) noexcept {
    const HANDLE Me = ThisThreadAsOwner();
    if (Owner(lpCriticalSection).load(std::memory_order_relaxed) == Me) {
        ++lpCriticalSection->RecursionCount;
        return TRUE;
    }
    if (!TryLockWord(lpCriticalSection)) {
        return FALSE;
    }
    Owner(lpCriticalSection).store(Me, std::memory_order_relaxed);
    lpCriticalSection->RecursionCount = 1;
    return TRUE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) noexcept {
    if (--lpCriticalSection->RecursionCount > 0) {
        return;
    }
    Owner(lpCriticalSection).store(nullptr, std::memory_order_relaxed);
    UnlockWord(lpCriticalSection);
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION /*lpCriticalSection*/) noexcept {
    // Nothing was allocated.
}

void WINAPI InitializeSRWLock(PSRWLOCK SRWLock) noexcept {
    SRWLock->Ptr = nullptr;
}

void WINAPI AcquireSRWLockShared(PSRWLOCK SRWLock) noexcept {
    for (;;) {
        std::uint32_t Seen = State(SRWLock).load();
        if (WritersWaiting(SRWLock).load() == 0 && TryShared(SRWLock, Seen)) {
            return;
        }
        if ((Seen & Writer) == 0 && (Seen & ReaderMask) != ReaderMask) {
            // Held back by a waiting writer: announce ourselves, then look again, since the
            // writer may have come and gone before our announcement (State the same as before).
            if ((Seen & Sleepers) == 0 &&
                !State(SRWLock).compare_exchange_strong(Seen, Seen | Sleepers)) {
                continue;
            }
            Seen |= Sleepers;
            if (WritersWaiting(SRWLock).load() == 0) {
                continue;
            }
            FutexWait(StateWord(SRWLock), Seen);
            continue;
        }
        SleepOnState(SRWLock, Seen);
    }
}

void WINAPI ReleaseSRWLockShared(PSRWLOCK SRWLock) noexcept {
    const std::uint32_t Before = State(SRWLock).fetch_sub(1, std::memory_order_release);
    if ((Before & ReaderMask) == 1 && (Before & Sleepers) != 0) {
        State(SRWLock).fetch_and(~Sleepers);
        WakeSleepers(SRWLock);
    }
}

void WINAPI AcquireSRWLockExclusive(PSRWLOCK SRWLock) noexcept {
    std::uint32_t Seen = 0;
    if (State(SRWLock).compare_exchange_strong(Seen, Writer, std::memory_order_acquire)) {
        return;
    }
    WritersWaiting(SRWLock).fetch_add(1);
    for (;;) {
        Seen = State(SRWLock).load();
        if (TryExclusive(SRWLock, Seen)) {
            break;
        }
        SleepOnState(SRWLock, Seen);
    }
    // Readers held back by us sleep with the sleepers bit set: our release wakes them.
    WritersWaiting(SRWLock).fetch_sub(1);
}

void WINAPI ReleaseSRWLockExclusive(PSRWLOCK SRWLock) noexcept {
    const std::uint32_t Before =
        State(SRWLock).fetch_and(~(Writer | Sleepers), std::memory_order_release);
    if ((Before & Sleepers) != 0) {
        WakeSleepers(SRWLock);
    }
}

BOOLEAN WINAPI TryAcquireSRWLockShared(PSRWLOCK SRWLock) noexcept {
    std::uint32_t Seen = State(SRWLock).load();
    return TryShared(SRWLock, Seen) ? TRUE : FALSE;
}

BOOLEAN WINAPI TryAcquireSRWLockExclusive(PSRWLOCK SRWLock) noexcept {
    std::uint32_t Seen = State(SRWLock).load();
    return TryExclusive(SRWLock, Seen) ? TRUE : FALSE;
}

} // extern "C"
