// CompletionPort: I/O completion ports and the completion of overlapped operations.
#include "platform/win/CompletionPort.h"

#include "platform/win/Waits.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/futex.h>
#include <new>
#include <sys/syscall.h>
#include <thread>
#include <typeinfo>
#include <unistd.h>

namespace win {

namespace {

struct TStatusPair {
    DWORD Code;
    std::uint32_t Status;
};

// The codes that overlapped operations complete with, and their NT statuses.
constexpr TStatusPair StatusPairs[] = {
    {ERROR_SUCCESS, 0x00000000u},
    {ERROR_IO_PENDING, 0x00000103u},          // STATUS_PENDING
    {ERROR_MORE_DATA, 0x80000005u},           // STATUS_BUFFER_OVERFLOW
    {ERROR_INVALID_FUNCTION, 0xC0000010u},    // STATUS_INVALID_DEVICE_REQUEST
    {ERROR_INVALID_HANDLE, 0xC0000008u},      // STATUS_INVALID_HANDLE
    {ERROR_INVALID_PARAMETER, 0xC000000Du},   // STATUS_INVALID_PARAMETER
    {ERROR_HANDLE_EOF, 0xC0000011u},          // STATUS_END_OF_FILE
    {ERROR_NOT_ENOUGH_MEMORY, 0xC0000017u},   // STATUS_NO_MEMORY
    {ERROR_ACCESS_DENIED, 0xC0000022u},       // STATUS_ACCESS_DENIED
    {ERROR_INSUFFICIENT_BUFFER, 0xC0000023u}, // STATUS_BUFFER_TOO_SMALL
    {ERROR_ALREADY_EXISTS, 0xC0000035u},      // STATUS_OBJECT_NAME_COLLISION
    {ERROR_SHARING_VIOLATION, 0xC0000043u},   // STATUS_SHARING_VIOLATION
    {ERROR_NO_SYSTEM_RESOURCES, 0xC000009Au}, // STATUS_INSUFFICIENT_RESOURCES
    {ERROR_SEM_TIMEOUT, 0xC00000B5u},         // STATUS_IO_TIMEOUT
    {ERROR_NOT_SUPPORTED, 0xC00000BBu},       // STATUS_NOT_SUPPORTED
    {ERROR_INTERNAL_ERROR, 0xC00000E5u},      // STATUS_INTERNAL_ERROR
    {ERROR_INVALID_USER_BUFFER, 0xC00000E8u}, // STATUS_INVALID_USER_BUFFER
    {ERROR_OPERATION_ABORTED, 0xC0000120u},   // STATUS_CANCELLED
    {ERROR_BROKEN_PIPE, 0xC000014Bu},         // STATUS_PIPE_BROKEN
    {ERROR_NETNAME_DELETED, 0xC000020Du},     // STATUS_CONNECTION_RESET
    {ERROR_NOT_FOUND, 0xC0000225u},           // STATUS_NOT_FOUND
    {ERROR_CONNECTION_INVALID, 0xC000023Au},  // STATUS_CONNECTION_INVALID
    {ERROR_CONNECTION_ABORTED, 0xC0000241u},  // STATUS_CONNECTION_ABORTED
    {ERROR_CONNECTION_REFUSED, 0xC0000236u},  // STATUS_CONNECTION_REFUSED
    {ERROR_GRACEFUL_DISCONNECT, 0xC0000237u}, // STATUS_GRACEFUL_DISCONNECT
    {ERROR_REQUEST_ABORTED, 0xC0000240u},     // STATUS_REQUEST_ABORTED
};

// FACILITY_NTWIN32 with error severity: the Win32 code in the low word.
constexpr std::uint32_t NtWin32Prefix = 0xC0070000u;

// GetOverlappedResult waits without an event: every completion notifies these waiters.
std::atomic<long> CompletionWaiters{0};

std::mutex& CompletionLock() noexcept {
    static auto* Lock = new std::mutex; // Never destroyed: completions may run at exit.
    return *Lock;
}

std::condition_variable& CompletionSignal() noexcept {
    static auto* Signal = new std::condition_variable;
    return *Signal;
}

std::atomic_ref<ULONG_PTR> Status(LPOVERLAPPED Overlapped) noexcept {
    return std::atomic_ref<ULONG_PTR>(Overlapped->Internal);
}

bool IsPending(LPOVERLAPPED Overlapped) noexcept {
    return static_cast<NTSTATUS>(Status(Overlapped).load()) == STATUS_PENDING;
}

HANDLE EventOf(LPOVERLAPPED Overlapped) noexcept {
    // The low bit only tells "no completion packet"; the handle is the rest.
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(Overlapped->hEvent) &
                                    ~ULONG_PTR(1));
}

void StoreResult(LPOVERLAPPED Overlapped, NTSTATUS Code, DWORD Bytes) noexcept {
    std::atomic_ref<ULONG_PTR>(Overlapped->InternalHigh).store(Bytes, std::memory_order_relaxed);
    Status(Overlapped).store(static_cast<ULONG_PTR>(static_cast<std::uint32_t>(Code)));
}

void NotifyCompletionWaiters() noexcept {
    if (CompletionWaiters.load() > 0) {
        std::scoped_lock Lock(CompletionLock());
        CompletionSignal().notify_all();
    }
}

// Waits until Overlapped is no longer pending; false on time-out.
bool WaitForCompletion(LPOVERLAPPED Overlapped, DWORD Milliseconds) noexcept {
    const HANDLE Event = EventOf(Overlapped);
    if (Event != nullptr && ReferenceHandleAs<TEvent>(Event)) {
        if (WaitForSingleObject(Event, Milliseconds) == WAIT_TIMEOUT) {
            return !IsPending(Overlapped);
        }
    }
    if (!IsPending(Overlapped)) {
        return true;
    }
    CompletionWaiters.fetch_add(1);
    bool Completed;
    {
        std::unique_lock Lock(CompletionLock());
        const auto Done = [Overlapped] { return !IsPending(Overlapped); };
        if (Milliseconds == INFINITE) {
            CompletionSignal().wait(Lock, Done);
            Completed = true;
        } else {
            Completed =
                CompletionSignal().wait_for(Lock, std::chrono::milliseconds(Milliseconds), Done);
        }
    }
    CompletionWaiters.fetch_sub(1);
    return Completed;
}

BOOL ReportResult(LPOVERLAPPED Overlapped, LPDWORD Bytes) noexcept {
    const DWORD Code = NtStatusToWin32(static_cast<NTSTATUS>(Status(Overlapped).load()));
    if (Bytes != nullptr) {
        *Bytes = static_cast<DWORD>(Overlapped->InternalHigh);
    }
    if (Code != ERROR_SUCCESS) {
        SetLastError(Code);
        return FALSE;
    }
    return TRUE;
}

// Whether thread Tid of this process is on a CPU or ready for one (state R), rather than
// waiting for something. A thread whose state cannot be read counts as waiting.
bool ThreadRunnable(pid_t Tid) noexcept {
    char Path[64];
    std::snprintf(Path, sizeof Path, "/proc/self/task/%d/stat", static_cast<int>(Tid));
    const int Fd = open(Path, O_RDONLY | O_CLOEXEC);
    if (Fd < 0) {
        return false;
    }
    char Text[512];
    const ssize_t Got = read(Fd, Text, sizeof Text - 1);
    close(Fd);
    if (Got <= 0) {
        return false;
    }
    Text[Got] = '\0';
    // "tid (name) S ...": the name may hold anything, so the state follows the last ')'.
    const char* End = std::strrchr(Text, ')');
    return End != nullptr && End[1] == ' ' && End[2] == 'R';
}

} // namespace

NTSTATUS Win32ToNtStatus(DWORD Code) noexcept {
    for (const TStatusPair& Pair : StatusPairs) {
        if (Pair.Code == Code) {
            return static_cast<NTSTATUS>(Pair.Status);
        }
    }
    return static_cast<NTSTATUS>(NtWin32Prefix | (Code & 0xFFFFu));
}

DWORD NtStatusToWin32(NTSTATUS Status) noexcept {
    const auto Value = static_cast<std::uint32_t>(Status);
    for (const TStatusPair& Pair : StatusPairs) {
        if (Pair.Status == Value) {
            return Pair.Code;
        }
    }
    if ((Value & 0xFFFF0000u) == NtWin32Prefix) {
        return Value & 0xFFFFu;
    }
    return ERROR_INTERNAL_ERROR;
}

void TCompletionPort::PushLocked(const OVERLAPPED_ENTRY& Packet) {
    if (FCount == FRing.size()) {
        std::vector<OVERLAPPED_ENTRY> Larger(FRing.empty() ? 64 : FRing.size() * 2);
        for (std::size_t I = 0; I < FCount; ++I) {
            Larger[I] = FRing[(FHead + I) % FRing.size()];
        }
        FRing.swap(Larger);
        FHead = 0;
    }
    FRing[(FHead + FCount) % FRing.size()] = Packet;
    ++FCount;
}

/// A thread's record as a port's waiter and runner. Never freed (recycled when its thread ends):
/// a port's lists may name it until the thread has left them, which it does before it ends.
struct TCompletionPort::TWaiter {
    TParker* Parker = nullptr;           // the thread's
    TCompletionPort* ListedOn = nullptr; // Guarded by that port's FLock. Waiting there.
    bool Signalled = false;              // Guarded by ListedOn's FLock.
    // The port this thread runs on (took packets from and has not asked again); only the
    // thread itself sets these. The weak reference tells a live port from a new one made at a
    // dead one's address, and lets the thread's end give its place back.
    TCompletionPort* RunningOn = nullptr;
    std::weak_ptr<TCompletionPort> RunningPort;
    bool Uncounted = false; // Guarded by RunningOn's FLock. Seen blocked while running.
    bool Blocked = false;   // Guarded by RunningOn's FLock. Uncounted by a platform wait.
    pid_t Tid = 0;          // The thread's id, for a look at its state.
};

/// The platform waits' hook for port runners: a thread running on a port stops counting there
/// while it blocks.
class TPortRunningCounter final : public TRunningCounter {
public:
    void ThreadBlocks() noexcept override {
        if (auto* Waiter = TCompletionPort::ThisThreadWaiter(); Waiter && Waiter->RunningOn) {
            if (const auto Port = Waiter->RunningPort.lock()) {
                Port->BlockRunning(*Waiter);
            }
        }
    }
    void ThreadRuns() noexcept override {
        if (auto* Waiter = TCompletionPort::ThisThreadWaiter(); Waiter && Waiter->RunningOn) {
            if (const auto Port = Waiter->RunningPort.lock()) {
                Port->ResumeRunning(*Waiter);
            }
        }
    }
};

namespace {
TPortRunningCounter PortRunningCounter;
} // namespace

TCompletionPort::TWaiter* TCompletionPort::ThisThreadWaiter() noexcept {
    struct TPool {
        std::mutex Lock;
        std::vector<TWaiter*> Free; // Guarded by Lock.
    };
    static auto* Pool = new TPool; // Never destroyed: threads may end while the process exits.
    struct THolder {
        TWaiter* Waiter = nullptr;
        THolder() {
            std::scoped_lock Lock(Pool->Lock);
            if (!Pool->Free.empty()) {
                Waiter = Pool->Free.back();
                Pool->Free.pop_back();
                Waiter->Tid = static_cast<pid_t>(syscall(SYS_gettid));
                Waiter->Parker = &TParker::Current();
            }
        }
        ~THolder() {
            if (Waiter != nullptr) {
                StopRunning(*Waiter); // A thread that ends runs no more.
            }
            std::scoped_lock Lock(Pool->Lock);
            try {
                Pool->Free.push_back(Waiter);
            } catch (...) {
                // Out of memory: this one stays unused, never freed.
            }
        }
    };
    thread_local THolder Holder;
    if (Holder.Waiter == nullptr) {
        Holder.Waiter = new (std::nothrow) TWaiter;
        if (Holder.Waiter != nullptr) {
            Holder.Waiter->Tid = static_cast<pid_t>(syscall(SYS_gettid));
            Holder.Waiter->Parker = &TParker::Current();
        }
    }
    return Holder.Waiter;
}

bool TCompletionPort::BelowLimitLocked() const noexcept {
    const std::size_t Limit = std::min<std::size_t>(FConcurrency, ProcessCpus());
    return FRunners.size() + FWoken < Limit;
}

TCompletionPort::TWaiter* TCompletionPort::WaiterForQueuedLocked() noexcept {
    if (FWaiters.empty() || !BelowLimitLocked()) {
        return nullptr;
    }
    // The thread queuing the packet may itself wait here (it polled the listener while it
    // waited): it takes the packet on, without waking anyone. Else the latest waiter.
    TWaiter* Waiter = ThisThreadWaiter();
    if (Waiter != nullptr && Waiter->ListedOn == this) {
        FWaiters.erase(std::find(FWaiters.begin(), FWaiters.end(), Waiter));
    } else {
        Waiter = FWaiters.back();
        FWaiters.pop_back();
    }
    Waiter->ListedOn = nullptr;
    Waiter->Signalled = true;
    ++FWoken;
    return Waiter;
}

void TCompletionPort::StopRunningLocked(TWaiter& Waiter) noexcept {
    Waiter.RunningOn = nullptr;
    Waiter.Blocked = false;
    if (Waiter.Uncounted) {
        Waiter.Uncounted = false; // Seen blocked: no longer listed.
        return;
    }
    if (const auto It = std::find(FRunners.begin(), FRunners.end(), &Waiter);
        It != FRunners.end()) {
        *It = FRunners.back();
        FRunners.pop_back();
    }
}

void TCompletionPort::LeaveRunning(TWaiter& Waiter) noexcept {
    TParker* Woken = nullptr;
    {
        std::scoped_lock Lock(FLock);
        StopRunningLocked(Waiter);
        // The place given back may let a queued packet go to a waiter.
        if (FCount > 0 && !FClosed) {
            if (TWaiter* Next = WaiterForQueuedLocked()) {
                Woken = Next->Parker;
            }
        }
    }
    if (Woken != nullptr) {
        Wake(*Woken);
    }
}

void TCompletionPort::StopRunning(TWaiter& Waiter) noexcept {
    if (Waiter.RunningOn != nullptr) {
        if (const std::shared_ptr<TCompletionPort> Port = Waiter.RunningPort.lock()) {
            Port->LeaveRunning(Waiter);
        }
        Waiter.RunningOn = nullptr;
    }
    Waiter.RunningPort.reset();
}

void TCompletionPort::BlockRunning(TWaiter& Waiter) noexcept {
    TParker* Woken = nullptr;
    {
        std::scoped_lock Lock(FLock);
        if (Waiter.RunningOn != this || Waiter.Uncounted) {
            return;
        }
        if (const auto It = std::find(FRunners.begin(), FRunners.end(), &Waiter);
            It != FRunners.end()) {
            *It = FRunners.back();
            FRunners.pop_back();
        }
        Waiter.Uncounted = true;
        Waiter.Blocked = true;
        if (FCount > 0 && !FClosed) {
            if (TWaiter* Next = WaiterForQueuedLocked()) {
                Woken = Next->Parker;
            }
        }
    }
    if (Woken != nullptr) {
        Wake(*Woken);
    }
}

void TCompletionPort::ResumeRunning(TWaiter& Waiter) noexcept {
    std::scoped_lock Lock(FLock);
    if (!Waiter.Blocked || Waiter.RunningOn != this) {
        return;
    }
    Waiter.Blocked = false;
    Waiter.Uncounted = false;
    try {
        FRunners.push_back(&Waiter); // running again, above the limit if need be, as on Windows
    } catch (...) {
        // Out of memory: this thread is not counted.
    }
}

void TCompletionPort::UncountBlockedLocked() noexcept {
    for (std::size_t I = 0; I < FRunners.size();) {
        TWaiter* Runner = FRunners[I];
        if (ThreadRunnable(Runner->Tid)) {
            ++I;
            continue;
        }
        Runner->Uncounted = true;
        FRunners[I] = FRunners.back();
        FRunners.pop_back();
    }
}

bool TCompletionPort::Watch(std::chrono::steady_clock::time_point Now) noexcept {
    std::vector<TParker*> Woken;
    {
        std::scoped_lock Lock(FLock);
        if (FClosed || FCount == 0 || BelowLimitLocked()) {
            FWatchSince = {};
            return FCount > 0 && !FClosed;
        }
        if (FWatchSince == std::chrono::steady_clock::time_point{} || FTaken != FWatchTaken) {
            FWatchSince = Now; // progress: watch from here
            FWatchTaken = FTaken;
            return true;
        }
        if (Now - FWatchSince < FWatchPeriod) {
            return true;
        }
        // Packets waited a whole watch period and nobody took one: running threads that are
        // not on a CPU (nor ready for one) have blocked and no longer count.
        UncountBlockedLocked();
        FWatchSince = Now;
        try {
            for (std::size_t I = 0; I < FCount; ++I) {
                TWaiter* Next = WaiterForQueuedLocked();
                if (Next == nullptr) {
                    break;
                }
                Woken.push_back(Next->Parker);
            }
        } catch (...) {
            // Out of memory: the next watch goes on.
        }
    }
    for (TParker* Parker : Woken) {
        Wake(*Parker);
    }
    return true;
}

bool TCompletionPort::Post(const OVERLAPPED_ENTRY& Packet) noexcept {
    TParker* Woken = nullptr;
    {
        std::scoped_lock Lock(FLock);
        if (FClosed) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        try {
            PushLocked(Packet);
        } catch (...) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        if (TWaiter* Waiter = WaiterForQueuedLocked()) {
            Woken = Waiter->Parker;
        }
    }
    if (Woken != nullptr) {
        Wake(*Woken);
    }
    return true;
}

ULONG TCompletionPort::Dequeue(OVERLAPPED_ENTRY* Entries, ULONG Count,
                               DWORD Milliseconds) noexcept {
    using TClock = std::chrono::steady_clock;
    const bool Timed = Milliseconds != INFINITE;
    const auto Deadline = TClock::now() + std::chrono::milliseconds(Milliseconds);
    TWaiter* const ThisWaiter = ThisThreadWaiter();
    if (ThisWaiter == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    TWaiter& Waiter = *ThisWaiter;
    // Asking this port again ends the running here (under the lock below); running on another
    // port ends first, without this port's lock (no two ports' locks are ever held at once).
    const bool RanHere = Waiter.RunningOn == this && !Waiter.RunningPort.expired();
    if (!RanHere) {
        StopRunning(Waiter);
    }
    std::unique_lock Lock(FLock);
    if (RanHere) {
        StopRunningLocked(Waiter);
    }
    bool TimedOut = Milliseconds == 0;
    bool HasWakeUp = false; // Released by a packet: counted in FWoken.
    const auto MayTake = [&] { return FCount > 0 && (HasWakeUp || BelowLimitLocked()); };
    // A packet may be taken by a thread that arrives while a woken waiter is on its way: the
    // waiter then finds none and waits again for the rest of its time.
    while (!FClosed && !MayTake() && !TimedOut) {
        if (HasWakeUp) {
            --FWoken;
            HasWakeUp = false;
        }
        if (Waiter.ListedOn != this) {
            Waiter.Signalled = false;
            try {
                FWaiters.push_back(&Waiter);
            } catch (...) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return 0;
            }
            Waiter.ListedOn = this;
        }
        Lock.unlock();
        // While nothing else polls the listener, this thread polls it here; what it finds for
        // this port wakes it (no system call: it is awake).
        const bool Released = Waiter.Parker->Wait(Timed, Deadline);
        Lock.lock();
        HasWakeUp = Waiter.Signalled && !FClosed;
        Waiter.Signalled = false;
        // Taken off the list just as the time ran out: its wake-up comes anyway (and ends the
        // next wait at once, which then finds nothing and waits again).
        TimedOut = !Released && !HasWakeUp && !FClosed;
    }
    if (Waiter.ListedOn == this) {
        FWaiters.erase(std::find(FWaiters.begin(), FWaiters.end(), &Waiter));
        Waiter.ListedOn = nullptr;
    }
    if (HasWakeUp && !MayTake()) {
        --FWoken;
        HasWakeUp = false;
    }
    if (FClosed) {
        SetLastError(ERROR_ABANDONED_WAIT_0);
        return 0;
    }
    if (!MayTake()) {
        SetLastError(WAIT_TIMEOUT);
        return 0;
    }
    ULONG Taken = 0;
    while (Taken < Count && FCount > 0) {
        Entries[Taken++] = FRing[FHead];
        FHead = (FHead + 1) % FRing.size();
        --FCount;
    }
    ++FTaken;
    if (HasWakeUp) {
        --FWoken;
    }
    if (Waiter.RunningPort.expired()) {
        Waiter.RunningPort = weak_from_this();
    }
    // Only a port owned by a shared_ptr (as every handle's is) can be given back at the
    // thread's end; another does not count its threads.
    if (!Waiter.RunningPort.expired()) {
        try {
            FRunners.push_back(&Waiter);
            Waiter.RunningOn = this;
        } catch (...) {
            // Out of memory: this thread is not counted.
        }
    }
    // Packets left over (more than we could take, or a wake-up we took from another waiter's
    // packet): pass the wake-up on while the limit allows.
    TParker* Woken = nullptr;
    if (FCount > 0) {
        if (TWaiter* Next = WaiterForQueuedLocked()) {
            Woken = Next->Parker;
        }
    }
    Lock.unlock();
    SetRunningOn(&PortRunningCounter);
    BeginServing();
    if (Woken != nullptr) {
        Wake(*Woken);
    }
    return Taken;
}

void TCompletionPort::Close() noexcept {
    std::vector<TParker*> Woken;
    {
        std::scoped_lock Lock(FLock);
        FClosed = true;
        FCount = 0;
        FHead = 0;
        std::vector<OVERLAPPED_ENTRY>().swap(FRing);
        for (TWaiter* Waiter : FWaiters) {
            Waiter->Signalled = true;
            Waiter->ListedOn = nullptr;
            try {
                Woken.push_back(Waiter->Parker);
            } catch (...) {
                Wake(*Waiter->Parker); // out of memory: at once, under the lock
            }
        }
        FWaiters.clear();
    }
    for (TParker* Parker : Woken) {
        Wake(*Parker);
    }
}

std::shared_ptr<TCompletionPort> ReferenceCompletionPort(HANDLE Port) noexcept {
    std::shared_ptr<THandleObject> Object = ReferenceHandle(Port);
    // The class is final: comparing the exact type is all a dynamic cast would do, for less.
    if (!Object || typeid(*Object) != typeid(TCompletionPort)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return std::static_pointer_cast<TCompletionPort>(std::move(Object));
}

void BeginOverlapped(LPOVERLAPPED Overlapped) noexcept {
    std::atomic_ref<ULONG_PTR>(Overlapped->InternalHigh).store(0, std::memory_order_relaxed);
    Status(Overlapped).store(static_cast<ULONG_PTR>(STATUS_PENDING));
    const HANDLE Event = EventOf(Overlapped);
    if (Event != nullptr) {
        ResetEvent(Event);
    }
}

void CompleteOverlappedOnPort(TCompletionPort* Port, ULONG_PTR Key, LPOVERLAPPED Overlapped,
                              DWORD Code, DWORD Bytes) noexcept {
    const NTSTATUS Result = Win32ToNtStatus(Code);
    // Read before the result is published: once it is, the owner may reuse the OVERLAPPED.
    const bool NoPacket = (reinterpret_cast<ULONG_PTR>(Overlapped->hEvent) & 1) != 0;
    const HANDLE Event = EventOf(Overlapped);
    StoreResult(Overlapped, Result, Bytes);
    if (Event != nullptr) {
        SignalEvent(Event);
    }
    NotifyCompletionWaiters();
    if (Port != nullptr && !NoPacket) {
        OVERLAPPED_ENTRY Packet{};
        Packet.lpCompletionKey = Key;
        Packet.lpOverlapped = Overlapped;
        Packet.Internal = static_cast<ULONG_PTR>(static_cast<std::uint32_t>(Result));
        Packet.dwNumberOfBytesTransferred = Bytes;
        Port->Post(Packet);
    }
}

void CompleteOverlapped(HANDLE Port, ULONG_PTR Key, LPOVERLAPPED Overlapped, DWORD Code,
                        DWORD Bytes) noexcept {
    const std::shared_ptr<TCompletionPort> Object =
        Port != nullptr ? ReferenceCompletionPort(Port) : nullptr;
    CompleteOverlappedOnPort(Object.get(), Key, Overlapped, Code, Bytes);
}

} // namespace win

extern "C" {

HANDLE WINAPI CreateIoCompletionPort(HANDLE FileHandle, HANDLE ExistingCompletionPort,
                                     ULONG_PTR CompletionKey,
                                     DWORD NumberOfConcurrentThreads) noexcept {
    std::shared_ptr<win::THandleObject> File;
    if (FileHandle != INVALID_HANDLE_VALUE) {
        File = win::ReferenceHandle(FileHandle);
        if (!File) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
    } else if (ExistingCompletionPort != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HANDLE Port = ExistingCompletionPort;
    bool Created = false;
    if (Port == nullptr) {
        if (NumberOfConcurrentThreads == 0) {
            NumberOfConcurrentThreads = static_cast<DWORD>(sysconf(_SC_NPROCESSORS_ONLN));
        }
        try {
            auto Object = std::make_shared<win::TCompletionPort>(NumberOfConcurrentThreads);
            Port = win::RegisterHandle(Object);
            if (Port != nullptr) {
                win::WatchQueue(Object);
            }
        } catch (...) {
            Port = nullptr;
        }
        if (Port == nullptr) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        Created = true;
    } else if (!win::ReferenceCompletionPort(Port)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (File && !File->AssociateCompletionPort(Port, CompletionKey)) {
        if (Created) {
            CloseHandle(Port);
        }
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return Port;
}

BOOL WINAPI GetQueuedCompletionStatus(HANDLE CompletionPort, LPDWORD lpNumberOfBytesTransferred,
                                      PULONG_PTR lpCompletionKey, LPOVERLAPPED* lpOverlapped,
                                      DWORD dwMilliseconds) noexcept {
    if (lpNumberOfBytesTransferred == nullptr || lpCompletionKey == nullptr ||
        lpOverlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpOverlapped = nullptr;
    const auto Port = win::ReferenceCompletionPort(CompletionPort);
    if (!Port) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    OVERLAPPED_ENTRY Packet;
    if (Port->Dequeue(&Packet, 1, dwMilliseconds) == 0) {
        return FALSE;
    }
    *lpNumberOfBytesTransferred = Packet.dwNumberOfBytesTransferred;
    *lpCompletionKey = Packet.lpCompletionKey;
    *lpOverlapped = Packet.lpOverlapped;
    const DWORD Code =
        win::NtStatusToWin32(static_cast<NTSTATUS>(static_cast<std::uint32_t>(Packet.Internal)));
    if (Code != ERROR_SUCCESS) {
        SetLastError(Code);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI GetQueuedCompletionStatusEx(HANDLE CompletionPort,
                                        LPOVERLAPPED_ENTRY lpCompletionPortEntries, ULONG ulCount,
                                        PULONG ulNumEntriesRemoved, DWORD dwMilliseconds,
                                        BOOL /*fAlertable*/) noexcept {
    if (lpCompletionPortEntries == nullptr || ulCount == 0 || ulNumEntriesRemoved == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *ulNumEntriesRemoved = 0;
    const auto Port = win::ReferenceCompletionPort(CompletionPort);
    if (!Port) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const ULONG Taken = Port->Dequeue(lpCompletionPortEntries, ulCount, dwMilliseconds);
    if (Taken == 0) {
        return FALSE;
    }
    *ulNumEntriesRemoved = Taken;
    return TRUE;
}

BOOL WINAPI PostQueuedCompletionStatus(HANDLE CompletionPort, DWORD dwNumberOfBytesTransferred,
                                       ULONG_PTR dwCompletionKey,
                                       LPOVERLAPPED lpOverlapped) noexcept {
    const auto Port = win::ReferenceCompletionPort(CompletionPort);
    if (!Port) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    OVERLAPPED_ENTRY Packet{};
    Packet.lpCompletionKey = dwCompletionKey;
    Packet.lpOverlapped = lpOverlapped;
    Packet.Internal = 0;
    Packet.dwNumberOfBytesTransferred = dwNumberOfBytesTransferred;
    return Port->Post(Packet) ? TRUE : FALSE;
}

BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait) noexcept {
    return GetOverlappedResultEx(hFile, lpOverlapped, lpNumberOfBytesTransferred,
                                 bWait ? INFINITE : 0, FALSE);
}

BOOL WINAPI GetOverlappedResultEx(HANDLE /*hFile*/, LPOVERLAPPED lpOverlapped,
                                  LPDWORD lpNumberOfBytesTransferred, DWORD dwMilliseconds,
                                  BOOL /*bAlertable*/) noexcept {
    if (lpOverlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (win::IsPending(lpOverlapped)) {
        if (dwMilliseconds == 0) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (!win::WaitForCompletion(lpOverlapped, dwMilliseconds)) {
            SetLastError(WAIT_TIMEOUT);
            return FALSE;
        }
    }
    return win::ReportResult(lpOverlapped, lpNumberOfBytesTransferred);
}

BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) noexcept {
    const std::shared_ptr<win::THandleObject> Object = win::ReferenceHandle(hFile);
    if (!Object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const DWORD Code = Object->CancelIo(lpOverlapped);
    if (Code != ERROR_SUCCESS) {
        SetLastError(Code);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI CancelIo(HANDLE hFile) noexcept {
    return CancelIoEx(hFile, nullptr);
}

} // extern "C"
