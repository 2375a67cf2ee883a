// Pylon.Logger: the framework's logging facade over an optional engine.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace pylon {

/// Receives log lines. Shared by every component given the same engine and called from
/// several worker threads at once: implementations must be safe for that.
class ILogEngine {
public:
    virtual ~ILogEngine() = default;
    virtual void Log(const std::string& Msg) = 0;
};

/// Passes messages to its engine; without one, logging does nothing. Owned by its component.
class TLogger {
public:
    const std::shared_ptr<ILogEngine>& LogEngine() const { return FLogEngine; }
    void SetLogEngine(std::shared_ptr<ILogEngine> Value) { FLogEngine = std::move(Value); }
    void Log(const std::string& Msg) const {
        if (FLogEngine) {
            FLogEngine->Log(Msg);
        }
    }
    void Debug(const std::string& Msg) const { Log(Msg); }

private:
    std::shared_ptr<ILogEngine> FLogEngine;
};

} // namespace pylon
