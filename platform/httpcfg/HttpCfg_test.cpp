// HttpCfg tests: httpcfg's commands run in this process against a store and a certificate
// store of the test's own: what each prints, its exit status, and that bad input changes
// nothing.
#include "platform/httpcfg/HttpCfg.h"

#include "testing/TestConfigStore.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using httpapi::testing::TTestConfigStore;

namespace {

namespace fs = std::filesystem;

struct TResult {
    int Status;
    std::string Out;
    std::string Err;
};

TResult Httpcfg(const std::vector<std::string>& Arguments) {
    std::ostringstream Out;
    std::ostringstream Err;
    const int Status = httpcfg::Run(Arguments, Out, Err);
    return {Status, Out.str(), Err.str()};
}

std::string Shell(const std::string& Command) {
    std::string Output;
    if (FILE* Pipe = popen(Command.c_str(), "r")) {
        char Buffer[256];
        while (fgets(Buffer, sizeof(Buffer), Pipe) != nullptr) {
            Output += Buffer;
        }
        pclose(Pipe);
    }
    return Output;
}

/// A store for the records and one for the certificates, both temporary; and a self-signed
/// certificate with its key in PEM files, not yet imported.
class THttpCfgTest : public ::testing::Test {
protected:
    void SetUp() override {
        FCertificates = fs::path(FStore.Folder() + "-certs");
        fs::create_directories(FCertificates);
        setenv("HTTPAPI_CERTSTORE", (FCertificates / "store").c_str(), 1);
        FCertificate = (FCertificates / "cert.pem").string();
        FKey = (FCertificates / "key.pem").string();
        Shell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
              "-subj /CN=localhost -keyout " +
              FKey + " -out " + FCertificate + " 2>/dev/null");
        std::string Print =
            Shell("openssl x509 -in " + FCertificate + " -noout -fingerprint -sha1");
        Print = Print.substr(Print.find('=') + 1);
        for (const char C : Print) {
            if (std::isxdigit(static_cast<unsigned char>(C))) {
                FHash += static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
            }
        }
        ASSERT_EQ(FHash.size(), 40u);
    }
    void TearDown() override {
        unsetenv("HTTPAPI_CERTSTORE");
        std::error_code Ignored;
        fs::remove_all(FCertificates, Ignored);
    }
    bool StoreWritten() const { return fs::exists(FStore.RecordsFile()); }

    TTestConfigStore FStore;
    fs::path FCertificates;
    std::string FCertificate;
    std::string FKey;
    std::string FHash;
};

struct TUsageCase {
    const char* Name;
    std::vector<std::string> Arguments;
    const char* Message; // a part of the one error line
};

const TUsageCase UsageCases[] = {
    {"nothing", {}, "no command"},
    {"unknown verb", {"frobnicate", "urlacl"}, "unknown command 'frobnicate'"},
    {"verb alone", {"add"}, "needs an object"},
    {"unknown object", {"add", "widgets"}, "unknown object 'widgets'"},
    {"no url", {"add", "urlacl", "user=root"}, "'add urlacl' needs url="},
    {"malformed url", {"add", "urlacl", "url=http//+:80/", "user=root"}, "is not a URL prefix"},
    {"url without port", {"add", "urlacl", "url=http://+/x/", "user=root"}, "is not a URL prefix"},
    {"unknown user",
     {"add", "urlacl", "url=http://+:80/", "user=nobody-by-that-name"},
     "no account is named"},
    {"Windows domain user",
     {"add", "urlacl", "url=http://+:80/", "user=CONTOSO\\joe"},
     "no account is named"},
    {"sddl and user",
     {"add", "urlacl", "url=http://+:80/", "user=root", "sddl=D:(A;;GX;;;WD)"},
     "cannot be combined"},
    {"malformed sddl",
     {"add", "urlacl", "url=http://+:80/", "sddl=D:(A;;GX;;;WD"},
     "is not a security descriptor"},
    {"listen maybe",
     {"add", "urlacl", "url=http://+:80/", "user=root", "listen=maybe"},
     "listen= takes yes or no"},
    {"grants nothing", {"add", "urlacl", "http://+:80/", "root", "listen=no"}, "grants nothing"},
    {"unknown tag", {"add", "urlacl", "url=http://+:80/", "owner=root"}, "unknown parameter"},
    {"tag twice", {"delete", "urlacl", "url=http://+:80/", "url=http://+:81/"}, "given twice"},
    {"too many values",
     {"delete", "urlacl", "http://+:80/", "http://+:81/"},
     "unexpected argument"},
    {"no binding key", {"add", "sslcert", "certhash=00", "appid={}"}, "needs one of ipport="},
    {"both binding keys",
     {"delete", "sslcert", "ipport=0.0.0.0:443", "hostnameport=www.example.org:443"},
     "needs one of ipport="},
    {"address without port", {"delete", "sslcert", "ipport=1.2.3.4"}, "is not an IP address"},
    {"address is a name", {"show", "sslcert", "ipport=localhost:443"}, "is not an IP address"},
    {"host with a space", {"delete", "sslcert", "hostnameport=a b:443"}, "is not a host name"},
    {"short thumbprint",
     {"add", "sslcert", "ipport=0.0.0.0:443",
      "certhash=0123456789012345678901234567890123456789"
      "0",
      "appid={00112233-4455-6677-8899-aabbccddeeff}"},
     "is not a certificate hash"},
    {"thumbprint not hex",
     {"add", "sslcert", "ipport=0.0.0.0:443", "certhash=zz23456789012345678901234567890123456789",
      "appid={00112233-4455-6677-8899-aabbccddeeff}"},
     "is not a certificate hash"},
    {"no appid",
     {"add", "sslcert", "ipport=0.0.0.0:443", "certhash=0123456789012345678901234567890123456789"},
     "needs appid="},
    {"bad appid",
     {"add", "sslcert", "ipport=0.0.0.0:443", "certhash=0123456789012345678901234567890123456789",
      "appid=12"},
     "is not a GUID"},
    {"bad enable",
     {"add", "sslcert", "ipport=0.0.0.0:443", "certhash=0123456789012345678901234567890123456789",
      "appid={00112233-4455-6677-8899-aabbccddeeff}", "clientcertnegotiation=on"},
     "takes enable or disable"},
    {"bad timeout type", {"add", "timeout", "timeouttype=forever", "value=5"}, "timeouttype="},
    {"timeout too large", {"add", "timeout", "headerwaittimeout", "65536"}, "from 0 to 65535"},
    {"timeout negative", {"add", "timeout", "headerwaittimeout", "-1"}, "from 0 to 65535"},
    {"listen address is a name", {"add", "iplisten", "ipaddress=localhost"}, "is not an IPv4"},
    {"import without file", {"import", "cert"}, "needs file="},
    {"import of a missing file", {"import", "cert", "file=/nonexistent/cert.pem"}, "cannot read"},
};

} // namespace

TEST_F(THttpCfgTest, BadInputGetsOneLineAndChangesNothing) {
    for (const TUsageCase& Case : UsageCases) {
        SCOPED_TRACE(Case.Name);
        const TResult Result = Httpcfg(Case.Arguments);
        EXPECT_EQ(Result.Status, httpcfg::ExitUsage);
        EXPECT_EQ(Result.Out, "");
        ASSERT_FALSE(Result.Err.empty());
        EXPECT_EQ(Result.Err.rfind("httpcfg: ", 0), 0u) << Result.Err;
        EXPECT_EQ(Result.Err.find('\n'), Result.Err.size() - 1) << Result.Err; // one line
        EXPECT_NE(Result.Err.find(Case.Message), std::string::npos) << Result.Err;
        EXPECT_FALSE(StoreWritten());
    }
}

TEST_F(THttpCfgTest, HelpListsTheCommands) {
    for (const char* Flag : {"--help", "-h", "/?"}) {
        SCOPED_TRACE(Flag);
        const TResult Result = Httpcfg({Flag});
        EXPECT_EQ(Result.Status, httpcfg::ExitOk);
        EXPECT_EQ(Result.Err, "");
        for (const char* Command :
             {"add urlacl", "show sslcert", "delete timeout", "show iplisten", "import cert"}) {
            EXPECT_NE(Result.Out.find(Command), std::string::npos) << Command;
        }
    }
}

TEST_F(THttpCfgTest, UrlReservationAddShowDelete) {
    EXPECT_EQ(Httpcfg({"add", "urlacl", "url=http://+:8080/app/", "user=root"}).Out,
              "\nURL reservation successfully added\n\n");
    EXPECT_EQ(
        Httpcfg({"ADD", "URLACL", "http://localhost:8081/", "Everyone", "delegate=yes"}).Status,
        httpcfg::ExitOk);
    EXPECT_EQ(
        Httpcfg({"add", "urlacl", "url=https://+:8443/", "sddl=D:(A;;GX;;;WD)(A;;GW;;;S-1-22-2-0)"})
            .Status,
        httpcfg::ExitOk);
    const TResult Shown = Httpcfg({"show", "urlacl"});
    EXPECT_EQ(Shown.Status, httpcfg::ExitOk);
    EXPECT_EQ(Shown.Err, "");
    EXPECT_EQ(Shown.Out, "\nURL Reservations:\n-----------------\n\n"
                         "    Reserved URL            : http://+:8080/app/\n"
                         "        User: Unix User\\root\n"
                         "            Listen: Yes\n"
                         "            Delegate: No\n"
                         "            SDDL: D:(A;;GX;;;S-1-22-1-0)\n\n"
                         "    Reserved URL            : http://localhost:8081/\n"
                         "        User: \\Everyone\n"
                         "            Listen: Yes\n"
                         "            Delegate: Yes\n"
                         "            SDDL: D:(A;;GA;;;S-1-1-0)\n\n"
                         "    Reserved URL            : https://+:8443/\n"
                         "        User: \\Everyone\n"
                         "            Listen: Yes\n"
                         "            Delegate: No\n"
                         "        User: Unix Group\\root\n"
                         "            Listen: No\n"
                         "            Delegate: Yes\n"
                         "            SDDL: D:(A;;GX;;;WD)(A;;GW;;;S-1-22-2-0)\n\n");
    const TResult One = Httpcfg({"show", "urlacl", "url=http://LOCALHOST:8081/"});
    EXPECT_NE(One.Out.find("http://localhost:8081/"), std::string::npos);
    EXPECT_EQ(One.Out.find("8080"), std::string::npos);
    const TResult Again = Httpcfg({"add", "urlacl", "url=http://+:8080/app/", "user=root"});
    EXPECT_EQ(Again.Status, httpcfg::ExitFailed);
    EXPECT_EQ(Again.Err, "httpcfg: Url reservation add failed, Error: 183: Cannot create a file "
                         "when that file already exists.\n");
    EXPECT_EQ(Httpcfg({"delete", "urlacl", "url=http://+:8080/app/"}).Out,
              "\nURL reservation successfully deleted\n\n");
    const TResult Gone = Httpcfg({"delete", "urlacl", "url=http://+:8080/app/"});
    EXPECT_EQ(Gone.Status, httpcfg::ExitFailed);
    EXPECT_EQ(Gone.Err, "httpcfg: Url reservation delete failed, Error: 2: The system cannot find "
                        "the file specified.\n");
    EXPECT_EQ(Httpcfg({"show", "urlacl", "http://+:8080/app/"}).Out,
              "\nURL Reservations:\n-----------------\n\n");
}

TEST_F(THttpCfgTest, CertificateImportAndBindings) {
    // A binding needs the certificate in the store first.
    const std::vector<std::string> Add = {"add", "sslcert", "ipport=0.0.0.0:8443",
                                          "certhash=" + FHash,
                                          "appid={00112233-4455-6677-8899-AABBCCDDEEFF}"};
    const TResult Early = Httpcfg(Add);
    EXPECT_EQ(Early.Status, httpcfg::ExitFailed);
    EXPECT_NE(Early.Err.find("SSL Certificate add failed, Error: 1312"), std::string::npos);
    const TResult Imported = Httpcfg({"import", "cert", "file=" + FCertificate, "key=" + FKey});
    ASSERT_EQ(Imported.Status, httpcfg::ExitOk) << Imported.Err;
    EXPECT_NE(Imported.Out.find("Certificate Hash             : " + FHash), std::string::npos);
    const fs::path File = FCertificates / "store" / "MY" / (FHash + ".pem");
    ASSERT_TRUE(fs::exists(File));
    EXPECT_EQ(fs::status(File).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    // A key that belongs to another certificate is refused.
    const std::string OtherKey = (FCertificates / "other.pem").string();
    Shell("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:prime256v1 -out " + OtherKey +
          " 2>/dev/null");
    const TResult Mismatch = Httpcfg({"import", "cert", FCertificate, "key=" + OtherKey});
    EXPECT_EQ(Mismatch.Status, httpcfg::ExitUsage);
    EXPECT_NE(Mismatch.Err.find("does not belong"), std::string::npos);

    EXPECT_EQ(Httpcfg(Add).Out, "\nSSL Certificate successfully added\n\n");
    EXPECT_EQ(Httpcfg({"add", "sslcert", "hostnameport=WWW.Example.org:8443", "certhash=" + FHash,
                       "appid={00112233-4455-6677-8899-AABBCCDDEEFF}", "certstorename=MY",
                       "clientcertnegotiation=enable", "verifyclientcertrevocation=disable"})
                  .Status,
              httpcfg::ExitOk);
    const TResult Shown = Httpcfg({"show", "sslcert"});
    EXPECT_EQ(Shown.Out,
              "\nSSL Certificate bindings:\n-------------------------\n\n"
              "    IP:port                      : 0.0.0.0:8443\n"
              "    Certificate Hash             : " +
                  FHash +
                  "\n"
                  "    Application ID               : {00112233-4455-6677-8899-aabbccddeeff}\n"
                  "    Certificate Store Name       : (null)\n"
                  "    Verify Client Certificate Revocation : Enabled\n"
                  "    Verify Revocation Using Cached Client Certificate Only : Disabled\n"
                  "    Usage Check                  : Enabled\n"
                  "    Revocation Freshness Time    : 0\n"
                  "    URL Retrieval Timeout        : 0\n"
                  "    Ctl Identifier               : (null)\n"
                  "    Ctl Store Name               : (null)\n"
                  "    DS Mapper Usage              : Disabled\n"
                  "    Negotiate Client Certificate : Disabled\n\n"
                  "    Hostname:port                : www.example.org:8443\n"
                  "    Certificate Hash             : " +
                  FHash +
                  "\n"
                  "    Application ID               : {00112233-4455-6677-8899-aabbccddeeff}\n"
                  "    Certificate Store Name       : MY\n"
                  "    Verify Client Certificate Revocation : Disabled\n"
                  "    Verify Revocation Using Cached Client Certificate Only : Disabled\n"
                  "    Usage Check                  : Enabled\n"
                  "    Revocation Freshness Time    : 0\n"
                  "    URL Retrieval Timeout        : 0\n"
                  "    Ctl Identifier               : (null)\n"
                  "    Ctl Store Name               : (null)\n"
                  "    DS Mapper Usage              : Disabled\n"
                  "    Negotiate Client Certificate : Enabled\n\n");
    const TResult Twice = Httpcfg(Add);
    EXPECT_EQ(Twice.Status, httpcfg::ExitFailed);
    EXPECT_NE(Twice.Err.find("Error: 183"), std::string::npos);
    EXPECT_NE(
        Httpcfg({"show", "sslcert", "hostnameport=www.example.org:8443"}).Out.find("Hostname:port"),
        std::string::npos);
    EXPECT_EQ(Httpcfg({"delete", "sslcert", "ipport=0.0.0.0:8443"}).Status, httpcfg::ExitOk);
    EXPECT_EQ(Httpcfg({"delete", "sslcert", "hostnameport=www.example.org:8443"}).Status,
              httpcfg::ExitOk);
    EXPECT_EQ(Httpcfg({"delete", "sslcert", "ipport=0.0.0.0:8443"}).Status, httpcfg::ExitFailed);
    EXPECT_EQ(Httpcfg({"show", "sslcert"}).Out,
              "\nSSL Certificate bindings:\n-------------------------\n\n");
}

TEST_F(THttpCfgTest, TimeoutsAndListenList) {
    const std::string Defaults = "\nTimeout Values:\n---------------\n\n"
                                 "    Idle connection timeout (secs)  : 120\n"
                                 "    Header wait timeout (secs)      : 120\n\n";
    EXPECT_EQ(Httpcfg({"show", "timeout"}).Out, Defaults);
    EXPECT_EQ(
        Httpcfg({"add", "timeout", "timeouttype=idleconnectiontimeout", "value=65535"}).Status,
        httpcfg::ExitOk);
    EXPECT_EQ(Httpcfg({"add", "timeout", "headerwaittimeout", "0"}).Status, httpcfg::ExitOk);
    EXPECT_EQ(Httpcfg({"show", "timeout"}).Out, "\nTimeout Values:\n---------------\n\n"
                                                "    Idle connection timeout (secs)  : 65535\n"
                                                "    Header wait timeout (secs)      : 120\n\n");
    EXPECT_EQ(Httpcfg({"add", "timeout", "headerwaittimeout", "7"}).Status, httpcfg::ExitFailed);
    EXPECT_EQ(Httpcfg({"delete", "timeout", "idleconnectiontimeout"}).Status, httpcfg::ExitOk);
    EXPECT_EQ(Httpcfg({"delete", "timeout", "headerwaittimeout"}).Status, httpcfg::ExitOk);
    EXPECT_EQ(Httpcfg({"show", "timeout"}).Out, Defaults);

    EXPECT_EQ(Httpcfg({"add", "iplisten", "ipaddress=127.0.0.1"}).Out,
              "\nIP address successfully added\n\n");
    EXPECT_EQ(Httpcfg({"add", "iplisten", "0:0::1"}).Status, httpcfg::ExitOk);
    EXPECT_EQ(Httpcfg({"add", "iplisten", "::1"}).Status, httpcfg::ExitFailed);
    EXPECT_EQ(Httpcfg({"show", "iplisten"}).Out, "\nIP addresses present in the IP listen list:\n"
                                                 "-------------------------------------------\n\n"
                                                 "    127.0.0.1\n"
                                                 "    ::1\n\n");
    EXPECT_EQ(Httpcfg({"delete", "iplisten", "ipaddress=127.0.0.1"}).Out,
              "\nIP address successfully deleted\n\n");
    EXPECT_EQ(Httpcfg({"delete", "iplisten", "ipaddress=127.0.0.1"}).Status, httpcfg::ExitFailed);
}

TEST_F(THttpCfgTest, DamagedStoreIsReportedAndTheValidRecordsShown) {
    ASSERT_EQ(Httpcfg({"add", "iplisten", "10.0.0.1"}).Status, httpcfg::ExitOk);
    ASSERT_EQ(Httpcfg({"add", "iplisten", "10.0.0.2"}).Status, httpcfg::ExitOk);
    // The last record's line cut in half, as a crash of an editor might leave it.
    const auto Size = fs::file_size(FStore.RecordsFile());
    fs::resize_file(FStore.RecordsFile(), Size - 6);
    const TResult Shown = Httpcfg({"show", "iplisten"});
    EXPECT_EQ(Shown.Status, httpcfg::ExitOk);
    EXPECT_NE(Shown.Out.find("10.0.0.1"), std::string::npos);
    EXPECT_EQ(Shown.Out.find("10.0.0.2"), std::string::npos);
    EXPECT_EQ(Shown.Err, "httpcfg: warning: " + FStore.Folder() +
                             "/records line 3 is damaged (cut short) and was skipped\n");
    // A write keeps the damaged line aside and says so.
    const TResult Added = Httpcfg({"add", "iplisten", "10.0.0.3"});
    EXPECT_EQ(Added.Status, httpcfg::ExitOk);
    EXPECT_NE(Added.Err.find("kept in " + FStore.Folder() + "/records.damaged"), std::string::npos);
    EXPECT_EQ(Httpcfg({"show", "iplisten"}).Err, "");
}
