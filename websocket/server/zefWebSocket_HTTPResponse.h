// zefWebSocket_HTTPResponse: built-in files served by the server component, and their registry.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zef {

/// One built-in file: its name and its content as text (one character per byte).
class TzefWSHTTPResponse_Base {
public:
    virtual ~TzefWSHTTPResponse_Base() = default;
    virtual void GetResponse(std::string& aResponse) = 0;
    /// The name under which the file is served; "" here.
    virtual std::string GetFileName() { return {}; }
};

/// A class of built-in file: creates instances.
using TzefWSHTTPResponse_BaseClass = std::function<std::unique_ptr<TzefWSHTTPResponse_Base>()>;

/// The process-wide registry of built-in file classes. Filled during start-up (static
/// initialisation and before any server runs) and only read afterwards, so reads take no lock.
class TzefWSHTTPResponse {
public:
    /// Appends aClass (no duplicate check).
    static void RegisterFileName(TzefWSHTTPResponse_BaseClass aClass);
    template <typename T>
    static void RegisterFileName() {
        RegisterFileName([] { return std::unique_ptr<TzefWSHTTPResponse_Base>(new T()); });
    }
    /// For each comma-separated name of aFileName, the text of the first registered file of
    /// that name (A-Z compared without regard to case, other characters exactly) followed by
    /// CR LF; unknown names add nothing. Throws what loading a file's content throws.
    static std::string GetResponseMessage(const std::string& aFileName);
    /// Number of registered classes.
    static std::size_t Count();
};

} // namespace zef
