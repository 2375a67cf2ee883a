// zefBase_Classes: the library's base text classes (the comma list, the text stream, the
// header list), the component root and the timer.
#pragma once

#include "platform/rtl/Stream.h"
#include "platform/rtl/StringList.h"
#include "websocket/core/zefWebSocket_Types.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

namespace zef {

/// A string list whose delimiter is the comma and whose delimiting is strict: only the
/// delimiter separates items, blanks stay part of them, double quotes still group. Users that
/// need another delimiter set it after creation.
class TzefDelimitedStringList : public rtl::TStringList {
public:
    TzefDelimitedStringList() {
        SetDelimiter(',');
        SetStrictDelimiter(true);
    }
};

/// The text stream used for text payloads and buffers: an in-memory byte stream of UTF-8.
class TzefStringStream : public rtl::TMemoryStream {
public:
    using rtl::TMemoryStream::TMemoryStream;
};

/// A list of header lines ("Name: value"), line 0 usually the request line, with
/// case-insensitive lookup by name. One thread at a time.
class TzefHeaderList : public rtl::TStringList {
public:
    /// Index of the first line whose name (the text before its first ':') equals aName,
    /// ignoring ASCII letter case; -1 when there is none.
    int IndexOfHeader(std::string_view aName) const;
    /// The value of the first line named aName, without the blanks around it; "" when absent.
    std::string GetHeaderValue(std::string_view aName) const;
};

/// Root of the component classes: the library version and the component state tests. The
/// owner's thread creates and destroys it; the state is read from any thread.
class TzefComponent_Base {
public:
    TzefComponent_Base() = default;
    TzefComponent_Base(const TzefComponent_Base&) = delete;
    TzefComponent_Base& operator=(const TzefComponent_Base&) = delete;
    virtual ~TzefComponent_Base() = default;

    std::string_view Version() const { return "4.4.2"; }
    virtual bool IsDesigning() const { return false; }
    /// Set by the destructor of the most derived class before it tears anything down; every
    /// notification returns at once from then on.
    virtual bool IsDestroying() const { return FDestroying.load(); }
    virtual bool IsLoading() const { return FLoading.load(); }
    /// While loading, setters only store their values (Active does not start anything).
    void SetLoading(bool Value) { FLoading = Value; }

protected:
    void MarkDestroying() { FDestroying = true; }

private:
    std::atomic<bool> FDestroying{false};
    std::atomic<bool> FLoading{false};
};

using TzefTimerEvent = std::function<void(TzefTimer& Sender)>;

/// A periodic job on a thread of its own. Configure Interval, NotifyEvents and the handlers,
/// then set Enabled (the thread starts there, so that it never runs a cycle with settings not
/// yet made). One cycle counts Interval down in 100 ms steps (at least one) and ticks; disabling
/// ends a countdown at once, without a tick, and does not wait for a running tick. Destroying the
/// timer waits for its thread, except from inside its own tick (the thread then ends by
/// itself after the tick). Configure from one thread; the tick runs on the timer thread
/// (neNoSync) or on the main thread (the queued modes).
class TzefTimer {
public:
    TzefTimer();
    TzefTimer(const TzefTimer&) = delete;
    TzefTimer& operator=(const TzefTimer&) = delete;
    ~TzefTimer();

    bool Enabled() const { return FEnabled.load(); }
    /// True starts a cycle loop unless one is running; false stops it.
    void SetEnabled(bool Value);
    int Interval() const;
    void SetInterval(int Value);
    TwsNotifyEvent NotifyEvents() const;
    void SetNotifyEvents(TwsNotifyEvent Value);
    void SetOnTimer(TzefTimerEvent Value);
    void SetOnException(TzefTimerOnException Value);
    /// Ticks delivered so far (for observers).
    int Ticks() const;

private:
    struct TState;
    static void Run(std::stop_token Stop, std::shared_ptr<TState> State);
    static void Tick(const std::shared_ptr<TState>& State, std::stop_token Stop);

    std::atomic<bool> FEnabled{false};
    std::shared_ptr<TState> FState; // Shared with the thread, which may outlive this object.
    std::jthread FThread;           // Declared last: stops first.
};

} // namespace zef
