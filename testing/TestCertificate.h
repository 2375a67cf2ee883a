// TestCertificate: a throw-away server certificate in a temporary certificate store, for tests
// that serve https through the platform library; and a runner for the command-line clients
// (openssl, curl) such tests use.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

/// A self-signed EC P-256 certificate for CN=localhost in a fresh store folder ("MY" in it),
/// which the platform library finds through HTTPAPI_CERTSTORE while the object lives. Made
/// with the openssl command; removed with the object. One at a time per process.
class TTestCertificate {
public:
    TTestCertificate();
    ~TTestCertificate();
    TTestCertificate(const TTestCertificate&) = delete;
    TTestCertificate& operator=(const TTestCertificate&) = delete;

    /// False when the certificate could not be made (the hash is then empty).
    bool Valid() const { return FHash.size() == 20; }
    /// The SHA-1 thumbprint: what a certificate binding names.
    const std::vector<std::uint8_t>& Hash() const { return FHash; }
    /// The thumbprint as 40 upper-case hexadecimal digits.
    std::string HashText() const;

private:
    std::filesystem::path FRoot;
    std::vector<std::uint8_t> FHash;
};

/// Runs Command through the shell and returns its standard output (standard error is
/// discarded unless the command redirects it); empty when it cannot be started. Commands that
/// talk to a server must bound their own time (curl --max-time).
std::string RunCommand(const std::string& Command);

} // namespace testsupport
