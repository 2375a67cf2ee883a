// TestCertificate: a throw-away server certificate in a temporary certificate store.
#include "testing/TestCertificate.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace testsupport {

std::string RunCommand(const std::string& Command) {
    std::string Output;
    if (FILE* Pipe = popen(Command.c_str(), "r")) {
        char Buffer[4096];
        std::size_t Got = 0;
        while ((Got = fread(Buffer, 1, sizeof(Buffer), Pipe)) > 0) {
            Output.append(Buffer, Got);
        }
        pclose(Pipe);
    }
    return Output;
}

TTestCertificate::TTestCertificate() {
    FRoot =
        std::filesystem::temp_directory_path() / ("httpapi-test-certs-" + std::to_string(getpid()));
    std::filesystem::remove_all(FRoot);
    std::filesystem::create_directories(FRoot / "MY");
    const std::string Pem = (FRoot / "MY" / "server.pem").string();
    const std::string Key = (FRoot / "key.pem").string();
    const std::string Cert = (FRoot / "cert.pem").string();
    RunCommand("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
               "-days 1 -subj /CN=localhost -keyout " +
               Key + " -out " + Cert + " 2>/dev/null");
    RunCommand("cat " + Cert + " " + Key + " > " + Pem);
    // "SHA1 Fingerprint=AB:CD:..."
    const std::string Print =
        RunCommand("openssl x509 -in " + Cert + " -noout -fingerprint -sha1 2>/dev/null");
    const std::size_t Equals = Print.find('=');
    for (std::size_t I = Equals + 1; Equals != std::string::npos && I + 1 < Print.size(); I += 3) {
        FHash.push_back(static_cast<std::uint8_t>(std::stoi(Print.substr(I, 2), nullptr, 16)));
    }
    setenv("HTTPAPI_CERTSTORE", FRoot.c_str(), 1);
}

TTestCertificate::~TTestCertificate() {
    unsetenv("HTTPAPI_CERTSTORE");
    std::error_code Ignored;
    std::filesystem::remove_all(FRoot, Ignored);
}

std::string TTestCertificate::HashText() const {
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string Text;
    for (const std::uint8_t Byte : FHash) {
        Text += Digits[Byte >> 4];
        Text += Digits[Byte & 0x0F];
    }
    return Text;
}

} // namespace testsupport
