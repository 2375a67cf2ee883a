// Pylon.Http.Headers: the header collection of requests and responses.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pylon {

/// One header entry: the lower-case name and the trimmed value. The 8-bit forms the platform
/// sends are the same bytes: our text is UTF-8, which is also the platform's 8-bit code page.
class THttpHeaderInfo {
public:
    THttpHeaderInfo(std::string AName, std::string AValue)
        : FName(std::move(AName))
        , FValue(std::move(AValue)) {}
    const std::string& Name() const { return FName; }
    const std::string& Value() const { return FValue; }
    const std::string& AnsiName() const { return FName; }
    const std::string& AnsiValue() const { return FValue; }

private:
    std::string FName;
    std::string FValue;
};

/// Read-only view of a header collection. Holding the view does not keep the collection alive.
class IReadOnlyHttpHeaders {
public:
    virtual ~IReadOnlyHttpHeaders() = default;
    virtual std::string Get(std::string_view HeaderName) const = 0;
    virtual bool Exists(std::string_view HeaderName) const = 0;
    virtual std::span<const THttpHeaderInfo> GetAllHeaders() const = 0;
};

/// Header names matched without regard to ASCII letter case and stored in lower case; one entry
/// per name, repeated values folded with ",". Enumeration order is not to be relied on (it is
/// the order in which names were first set). Owned by its request or response; one thread at
/// a time, no lock.
class THttpHeaders : public IReadOnlyHttpHeaders {
public:
    THttpHeaders() = default;
    THttpHeaders(const THttpHeaders&) = delete;
    THttpHeaders& operator=(const THttpHeaders&) = delete;

    /// Ignored for an empty name. The value is trimmed of blanks and control characters.
    void SetValue(std::string_view HeaderName, std::string_view HeaderValue);
    /// Appends "," and the value to an existing entry, else SetValue.
    void AddValue(std::string_view HeaderName, std::string_view HeaderValue);
    std::string Get(std::string_view HeaderName) const override;
    bool Exists(std::string_view HeaderName) const override { return Find(HeaderName) != nullptr; }
    /// Leaves HeaderValue unchanged when the name is absent.
    bool GetIfExists(std::string_view HeaderName, std::string& HeaderValue) const;
    void Remove(std::string_view HeaderName);
    void Clear() { FHeaders.clear(); }
    std::span<const THttpHeaderInfo> GetAllHeaders() const override { return FHeaders; }
    std::span<const THttpHeaderInfo> AllHeaders() const { return FHeaders; }
    /// The entry of a name without copying its value, or nullptr.
    const THttpHeaderInfo* Find(std::string_view HeaderName) const;

    /// Every entry as "name:value" CR LF, then one more CR LF.
    std::wstring RawWideHeaders() const { return GetRawWideHeaders(); }
    std::wstring GetRawWideHeaders() const;
    /// Replaces the collection by the header lines of Value (see the .cpp for the rules).
    void SetRawWideHeaders(std::wstring_view Value);
    /// The same parse over UTF-8 text.
    void SetRawHeaders(std::string_view Value);

private:
    std::vector<THttpHeaderInfo>::iterator FindEntry(std::string_view HeaderName);
    void Store(std::string_view HeaderName, std::string_view TrimmedValue);

    std::vector<THttpHeaderInfo> FHeaders;
};

} // namespace pylon
