// Pylon.Uri: the parsed, immutable form of a URL.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pylon {

/// A URL split into scheme, user information, host, port, path, query and fragment. Parsing
/// takes any text and never fails. Immutable after construction, so several threads may read
/// one object.
class TUri {
public:
    explicit TUri(std::string_view AUri);

    /// A new object made from OriginalUri.
    std::unique_ptr<TUri> Clone() const { return std::make_unique<TUri>(FUri); }
    /// True when S starts with one or more letters followed by "://".
    static bool HasScheme(std::string_view S);
    static std::string PercentDecode(std::string_view S);
    static std::string PercentEncode(std::string_view S);

    /// Lower case; "" when the text has none.
    const std::string& Scheme() const { return FScheme; }
    /// Decoded, with its leading "#".
    const std::string& Fragment() const { return FFragment; }
    const std::string& OriginalFragment() const { return FOriginalFragment; }
    /// Decoded, with its leading "?".
    const std::string& Query() const { return FQuery; }
    const std::string& OriginalQuery() const { return FOriginalQuery; }
    const std::string& Host() const { return FHost; }
    /// Decoded; "/" when the text has no path.
    const std::string& Path() const { return FPath; }
    const std::string& OriginalPath() const { return FOriginalPath; }
    const std::string& UserInfo() const { return FUserInfo; }
    /// The written port, else 80 for http or no scheme, 443 for https, 0 otherwise. A port
    /// text that is not a decimal number from 0 to 65535 counts as absent.
    int Port() const { return FPort; }
    const std::string& OriginalUri() const { return FUri; }
    /// The non-empty path segments, each decoded (an encoded "/" stays inside its segment).
    const std::vector<std::string>& Segments() const { return FSegments; }
    /// [user information "@"] host [":" port, unless it is the scheme's default].
    std::string Authority() const;
    std::string GetAuthority() const { return Authority(); }

private:
    void ParseUri(std::string_view S);
    /// Length of the scheme run when S starts with letters (possibly none) and "://";
    /// npos otherwise.
    static std::size_t ExtractScheme(std::string_view S);
    bool IsDefaultPort() const;

    std::string FScheme;
    std::string FFragment;
    std::string FOriginalFragment;
    std::string FQuery;
    std::string FOriginalQuery;
    std::string FHost;
    std::string FPath;
    std::string FOriginalPath;
    std::string FUserInfo;
    int FPort = 0;
    std::string FUri;
    std::vector<std::string> FSegments;
};

} // namespace pylon
