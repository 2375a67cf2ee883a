// ConfigStore tests: the file's text both ways, damaged lines found and skipped, the limits,
// atomic replacement under the lock, writers in parallel, the damaged lines kept.
#include "platform/httpapi/ConfigStore.h"

#include "testing/TestConfigStore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace httpapi;
using namespace httpapi::testing;

namespace {

namespace fs = std::filesystem;

TStoreRecords SampleRecords() {
    TStoreRecords Records;
    Records.UrlAcls["a"] = {"http://+:8080/app/", "D:(A;;GX;;;WD)"};
    Records.UrlAcls["b"] = {"https://www.example.org:443/", "D:(A;;GA;;;S-1-22-1-1000)"};
    TSslRecord Address;
    Address.Key = "127.0.0.1:8443";
    Address.Hash = std::vector<std::uint8_t>(20, 0xAB);
    Address.AppId = "{00112233-4455-6677-8899-AABBCCDDEEFF}";
    Address.StoreName = "My Store\twith\\odd\ncharacters";
    Address.CheckMode = 1;
    Address.Freshness = 2;
    Address.RetrievalTimeout = 4294967295u;
    Address.Flags = 2;
    Records.SslCerts[Address.Key] = Address;
    TSslRecord Host = Address;
    Host.Key = "www.example.org:443";
    Host.StoreName.clear();
    Host.CtlIdentifier = "ctl";
    Host.CtlStoreName = "CA";
    Records.SniCerts[Host.Key] = Host;
    Records.Timeouts["idleconnection"] = 300;
    Records.Timeouts["headerwait"] = 0;
    Records.ListenAddresses = {"127.0.0.1", "::1"};
    return Records;
}

// The reservation keys are the parsed prefixes' keys: a round trip recomputes them.
TStoreRecords Reparsed(const TStoreRecords& Records) {
    std::vector<TStoreDamage> Damage;
    TStoreRecords Result = ParseRecords(FormatRecords(Records), Damage);
    EXPECT_TRUE(Damage.empty());
    return Result;
}

std::string ReadFile(const std::string& Path) {
    std::ifstream In(Path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(In), {});
}

void WriteFile(const std::string& Path, const std::string& Text) {
    std::ofstream(Path, std::ios::binary | std::ios::trunc) << Text;
}

std::vector<std::string> Lines(const std::string& Text) {
    std::vector<std::string> Result;
    std::size_t At = 0;
    while (At < Text.size()) {
        const std::size_t End = Text.find('\n', At);
        Result.push_back(Text.substr(At, End - At + 1));
        At = End + 1;
    }
    return Result;
}

} // namespace

TEST(ConfigStoreText, RoundTripsEveryKindOfRecord) {
    const TStoreRecords Once = Reparsed(SampleRecords());
    EXPECT_EQ(Once.UrlAcls.size(), 2u);
    EXPECT_EQ(Once.SslCerts, SampleRecords().SslCerts);
    EXPECT_EQ(Once.SniCerts, SampleRecords().SniCerts);
    EXPECT_EQ(Once.Timeouts, SampleRecords().Timeouts);
    EXPECT_EQ(Once.ListenAddresses, SampleRecords().ListenAddresses);
    EXPECT_EQ(Reparsed(Once), Once);
    EXPECT_EQ(FormatRecords(Once), FormatRecords(Reparsed(Once)));
}

TEST(ConfigStoreText, DamagedLinesAreSkippedAndTheOthersLoad) {
    const std::string Good = FormatRecords(Reparsed(SampleRecords()));
    const std::vector<std::string> Original = Lines(Good);
    ASSERT_GE(Original.size(), 8u);
    struct TCase {
        const char* Name;
        std::size_t Line; // from 1; 0: appended
        std::function<std::string(std::string)> Damage;
        const char* Reason;
    };
    const auto Replace = [](std::string With) {
        return [With](const std::string&) { return With; };
    };
    const TCase Cases[] = {
        {"a byte changed", 2,
         [](std::string L) {
             L[3] ^= 1;
             return L;
         },
         "checksum mismatch"},
        {"checksum removed", 3, [](std::string L) { return L.substr(0, L.rfind('\t')) + "\n"; },
         "checksum mismatch"},
        {"header replaced", 1, Replace("something else\n"), "not the store's header line"},
        {"unknown kind", 0, Replace("future\tx\t" + std::string("00000000") + "\n"),
         "checksum mismatch"},
        {"cut short", 0, Replace("urlacl\thttp://+:9/x/"), "cut short"},
        {"empty line", 0, Replace("\n"), "checksum mismatch"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        std::vector<std::string> Changed = Original;
        if (Case.Line == 0) {
            Changed.push_back(Case.Damage(""));
        } else {
            Changed[Case.Line - 1] = Case.Damage(Changed[Case.Line - 1]);
        }
        std::string Text;
        for (const std::string& L : Changed) {
            Text += L;
        }
        std::vector<TStoreDamage> Damage;
        const TStoreRecords Records = ParseRecords(Text, Damage);
        ASSERT_EQ(Damage.size(), 1u);
        EXPECT_EQ(Damage[0].Reason, Case.Reason);
        EXPECT_EQ(Damage[0].Line, Case.Line == 0 ? Changed.size() : Case.Line);
        // Every record on another line is still there.
        const std::size_t Lost = Case.Line >= 2 ? 1 : 0;
        const std::size_t Count = Records.UrlAcls.size() + Records.SslCerts.size() +
                                  Records.SniCerts.size() + Records.Timeouts.size() +
                                  Records.ListenAddresses.size();
        EXPECT_EQ(Count, Original.size() - 1 - Lost);
    }
}

TEST(ConfigStoreText, InvalidValuesWithAGoodChecksumAreRefused) {
    // Lines written with a correct checksum, as a hand edit would, but holding bad values.
    const auto Signed = [](const std::string& Body) {
        // The store's CRC-32, computed here bit by bit.
        std::uint32_t Crc = 0xFFFFFFFFu;
        for (const char C : Body) {
            Crc ^= static_cast<unsigned char>(C);
            for (int Bit = 0; Bit < 8; ++Bit) {
                Crc = (Crc & 1) != 0 ? 0xEDB88320u ^ (Crc >> 1) : Crc >> 1;
            }
        }
        char Hex[9];
        std::snprintf(Hex, sizeof(Hex), "%08x", Crc ^ 0xFFFFFFFFu);
        return Body + "\t" + Hex + "\n";
    };
    struct TCase {
        const char* Name;
        std::string Body;
        const char* Reason;
    };
    const std::string Ssl = "\t00112233445566778899aabbccddeeff00112233\t"
                            "{00112233-4455-6677-8899-AABBCCDDEEFF}\t\t0\t0\t0\t0\t\t";
    const TCase Cases[] = {
        {"good reservation", "urlacl\thttp://+:80/x/\tD:(A;;GX;;;WD)", ""},
        {"reservation, bad URL", "urlacl\thttp//+:80/x/\tD:(A;;GX;;;WD)", "malformed URL"},
        {"reservation, bad SDDL", "urlacl\thttp://+:80/x/\tD:(Q)", "malformed security descriptor"},
        {"reservation, field missing", "urlacl\thttp://+:80/x/", "a URL reservation has 2 fields"},
        {"good binding", "sslcert\t10.0.0.1:443" + Ssl, ""},
        {"binding, bad address", "sslcert\t10.0.0:443" + Ssl, "malformed address:port"},
        {"binding, port 0", "sslcert\t10.0.0.1:0" + Ssl, "malformed address:port"},
        {"binding, odd hash", "sslcert\t10.0.0.1:443\tabc" + Ssl.substr(Ssl.find('\t', 1)),
         "malformed certificate hash"},
        {"host binding, bad host", "sslsni\tbad host:443" + Ssl, "malformed host:port"},
        {"time-out, unknown", "timeout\tforever\t5", "malformed time-out"},
        {"time-out, too big", "timeout\theaderwait\t65536", "malformed time-out"},
        {"listen, not an address", "iplisten\tlocalhost", "malformed listen address"},
        {"bad escape", "iplisten\t127.0.0.1\\q", "malformed escape"},
        {"unknown kind", "future\tx", "unknown record kind"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        std::vector<TStoreDamage> Damage;
        const std::string Text = "httpapi-serviceconfig 1\n" + Signed(Case.Body);
        ParseRecords(Text, Damage);
        if (*Case.Reason == '\0') {
            EXPECT_TRUE(Damage.empty());
        } else {
            ASSERT_EQ(Damage.size(), 1u);
            EXPECT_EQ(Damage[0].Reason, Case.Reason);
        }
    }
}

TEST(ConfigStoreText, LineLengthLimitAtItsEdge) {
    // A reservation whose SDDL pads the line to exactly MaxRecordLine bytes (without its line
    // break), then one byte more.
    for (const std::size_t Extra : {std::size_t(0), std::size_t(1)}) {
        SCOPED_TRACE(Extra);
        TStoreRecords Records;
        const std::string Head = "urlacl\thttp://+:80/x/\tD:";
        const std::string Ace = "(A;;GX;;;WD)";
        std::string Sddl = "D:";
        // Head + padding + Ace + tab + 8 checksum digits = MaxRecordLine + Extra.
        const std::size_t Padding = MaxRecordLine + Extra - (Head.size() + Ace.size() + 9);
        Sddl += std::string(Padding, 'P') + Ace;
        Records.UrlAcls["k"] = {"http://+:80/x/", Sddl};
        std::vector<TStoreDamage> Damage;
        const std::string Text = FormatRecords(Records);
        ASSERT_EQ(Lines(Text)[1].size(), MaxRecordLine + Extra + 1);
        const TStoreRecords Read = ParseRecords(Text, Damage);
        // The SDDL itself is refused beyond 16384 characters: the limit of the line comes first.
        if (Extra == 0) {
            ASSERT_EQ(Damage.size(), 1u);
            EXPECT_EQ(Damage[0].Reason, "malformed security descriptor");
        } else {
            ASSERT_EQ(Damage.size(), 1u);
            EXPECT_EQ(Damage[0].Reason, "longer than 65536 bytes");
        }
    }
}

TEST(ConfigStoreFile, MissingStoreIsEmptyAndUpdatesCreateIt) {
    TTestConfigStore Store;
    fs::remove_all(Store.Folder());
    std::shared_ptr<const TStoreRecords> Records;
    ASSERT_EQ(ConfigStore().Read(Records), NO_ERROR);
    EXPECT_EQ(*Records, TStoreRecords());
    ASSERT_EQ(ConfigStore().Update([](TStoreRecords& R) -> DWORD {
        R.ListenAddresses.insert("127.0.0.1");
        return NO_ERROR;
    }),
              NO_ERROR);
    ASSERT_EQ(ConfigStore().Read(Records), NO_ERROR);
    EXPECT_EQ(Records->ListenAddresses, std::set<std::string>{"127.0.0.1"});
    struct stat Status {};
    ASSERT_EQ(stat(Store.RecordsFile().c_str(), &Status), 0);
    EXPECT_EQ(Status.st_mode & 0777, 0644u); // every process may read it
    // A change that fails writes nothing.
    const std::string Before = ReadFile(Store.RecordsFile());
    EXPECT_EQ(ConfigStore().Update([](TStoreRecords& R) -> DWORD {
        R.ListenAddresses.clear();
        return ERROR_ALREADY_EXISTS;
    }),
              ERROR_ALREADY_EXISTS);
    EXPECT_EQ(ReadFile(Store.RecordsFile()), Before);
    // No temporary file is left behind.
    for (const auto& Entry : fs::directory_iterator(Store.Folder())) {
        EXPECT_EQ(Entry.path().filename().string().find(".tmp"), std::string::npos);
    }
}

TEST(ConfigStoreFile, ReadsAgainWhenAnotherWriterReplacedTheFile) {
    TTestConfigStore Store;
    std::shared_ptr<const TStoreRecords> First;
    ASSERT_EQ(ConfigStore().Update([](TStoreRecords& R) -> DWORD {
        R.Timeouts["headerwait"] = 5;
        return NO_ERROR;
    }),
              NO_ERROR);
    ASSERT_EQ(ConfigStore().Read(First), NO_ERROR);
    std::shared_ptr<const TStoreRecords> Again;
    ASSERT_EQ(ConfigStore().Read(Again), NO_ERROR);
    EXPECT_EQ(Again, First); // unchanged: the cached reading
    // Another process's write: a new file in its place.
    TStoreRecords Other;
    Other.Timeouts["headerwait"] = 9;
    const std::string Temporary = Store.Folder() + "/other";
    WriteFile(Temporary, FormatRecords(Other));
    ASSERT_EQ(rename(Temporary.c_str(), Store.RecordsFile().c_str()), 0);
    ASSERT_EQ(ConfigStore().Read(Again), NO_ERROR);
    EXPECT_EQ(Again->Timeouts.at("headerwait"), 9);
}

TEST(ConfigStoreFile, TruncatedFileIsReportedAndTheValidRecordsLoad) {
    TTestConfigStore Store;
    TStoreRecords Records = Reparsed(SampleRecords());
    ASSERT_EQ(ConfigStore().Update([&](TStoreRecords& R) -> DWORD {
        R = Records;
        return NO_ERROR;
    }),
              NO_ERROR);
    const std::string Text = ReadFile(Store.RecordsFile());
    // Cut in the middle of the last line.
    const std::size_t LastLine = Text.rfind('\n', Text.size() - 2) + 1;
    fs::resize_file(Store.RecordsFile(), LastLine + 5);
    std::shared_ptr<const TStoreRecords> Read;
    ASSERT_EQ(ConfigStore().Read(Read), NO_ERROR);
    const auto Damage = ConfigStore().Damage();
    ASSERT_EQ(Damage.size(), 1u);
    EXPECT_EQ(Damage[0].Reason, "cut short");
    EXPECT_EQ(Damage[0].Text, Text.substr(LastLine, 5));
    EXPECT_EQ(Read->UrlAcls, Records.UrlAcls);
    EXPECT_EQ(Read->SslCerts, Records.SslCerts);
    // The next write keeps the damaged line in records.damaged and writes a sound file.
    ASSERT_EQ(ConfigStore().Update([](TStoreRecords& R) -> DWORD {
        R.ListenAddresses.insert("10.0.0.1");
        return NO_ERROR;
    }),
              NO_ERROR);
    const std::string Kept = ReadFile(Store.Folder() + "/records.damaged");
    EXPECT_NE(Kept.find("cut short\n" + Text.substr(LastLine, 5) + "\n"), std::string::npos);
    ASSERT_EQ(ConfigStore().Read(Read), NO_ERROR);
    EXPECT_TRUE(ConfigStore().Damage().empty());
    EXPECT_TRUE(Read->ListenAddresses.contains("10.0.0.1"));
}

TEST(ConfigStoreFile, SizeLimitAtItsEdge) {
    TTestConfigStore Store;
    // Exactly MaxStoreBytes: read (its padding lines are damaged); one more byte: not read, and
    // never overwritten.
    const std::string Header = "httpapi-serviceconfig 1\n";
    for (const std::size_t Size : {MaxStoreBytes, MaxStoreBytes + 1}) {
        SCOPED_TRACE(Size);
        std::string Text = Header;
        const std::string Pad(1023, 'x');
        while (Text.size() + Pad.size() + 1 <= Size) {
            Text += Pad + "\n";
        }
        Text += std::string(Size - Text.size() - 1, 'y') + "\n";
        ASSERT_EQ(Text.size(), Size);
        WriteFile(Store.RecordsFile(), Text);
        std::shared_ptr<const TStoreRecords> Read;
        const DWORD Expected = Size > MaxStoreBytes ? DWORD(ERROR_FILE_CORRUPT) : DWORD(NO_ERROR);
        EXPECT_EQ(ConfigStore().Read(Read), Expected);
        if (Expected != NO_ERROR) {
            EXPECT_EQ(ConfigStore().Update([](TStoreRecords&) -> DWORD { return NO_ERROR; }),
                      ERROR_FILE_CORRUPT);
            EXPECT_EQ(fs::file_size(Store.RecordsFile()), Size);
        }
    }
}

TEST(ConfigStoreFile, AFolderInPlaceOfTheFileIsAnError) {
    TTestConfigStore Store;
    fs::create_directory(Store.RecordsFile());
    std::shared_ptr<const TStoreRecords> Read;
    EXPECT_EQ(ConfigStore().Read(Read), ERROR_FILE_CORRUPT);
    EXPECT_EQ(ConfigStore().Update([](TStoreRecords&) -> DWORD { return NO_ERROR; }),
              ERROR_FILE_CORRUPT);
}

TEST(ConfigStoreFile, ParallelWritersLoseNothing) {
    TTestConfigStore Store;
    constexpr int Writers = 4;
    constexpr int Each = 25;
    std::vector<std::thread> Threads;
    std::atomic<int> Failures{0};
    for (int Writer = 0; Writer < Writers; ++Writer) {
        Threads.emplace_back([Writer, &Failures] {
            for (int I = 0; I < Each; ++I) {
                const std::string Address =
                    "10.0." + std::to_string(Writer) + "." + std::to_string(I + 1);
                if (ConfigStore().Update([&](TStoreRecords& R) -> DWORD {
                        R.ListenAddresses.insert(Address);
                        return NO_ERROR;
                    }) != NO_ERROR) {
                    ++Failures;
                }
            }
        });
    }
    for (std::thread& Thread : Threads) {
        Thread.join();
    }
    EXPECT_EQ(Failures, 0);
    std::shared_ptr<const TStoreRecords> Read;
    ASSERT_EQ(ConfigStore().Read(Read), NO_ERROR);
    EXPECT_EQ(Read->ListenAddresses.size(), std::size_t(Writers * Each));
}

TEST(ConfigStoreKeys, CaseTable) {
    struct TCase {
        const char* Name;
        bool (*Parse)(std::string_view, std::string&);
        const char* Text;
        const char* Key; // nullptr: refused
    };
    const TCase Cases[] = {
        {"IPv4", IpPortKey, "127.0.0.1:443", "127.0.0.1:443"},
        {"IPv4 wildcard", IpPortKey, "0.0.0.0:8443", "0.0.0.0:8443"},
        {"IPv6", IpPortKey, "[0:0::1]:443", "[::1]:443"},
        {"IPv6 without brackets", IpPortKey, "::1:443", nullptr},
        {"no port", IpPortKey, "127.0.0.1", nullptr},
        {"port 0", IpPortKey, "127.0.0.1:0", nullptr},
        {"port 65536", IpPortKey, "127.0.0.1:65536", nullptr},
        {"a name", IpPortKey, "localhost:443", nullptr},
        {"host", HostPortKey, "WWW.Example.org:443", "www.example.org:443"},
        {"wildcard host", HostPortKey, "*.example.org:443", "*.example.org:443"},
        {"host with space", HostPortKey, "a b:443", nullptr},
        {"empty label", HostPortKey, "a..b:443", nullptr},
        {"host, no port", HostPortKey, "example.org", nullptr},
        {"listen IPv4", ListenAddressKey, "127.0.0.1", "127.0.0.1"},
        {"listen IPv6 bracketed", ListenAddressKey, "[::]", "::"},
        {"listen name", ListenAddressKey, "localhost", nullptr},
        {"GUID with braces", ParseGuidText, "{0a1b2c3d-0000-1111-2222-333344445555}",
         "{0A1B2C3D-0000-1111-2222-333344445555}"},
        {"GUID without braces", ParseGuidText, "0a1b2c3d-0000-1111-2222-333344445555",
         "{0A1B2C3D-0000-1111-2222-333344445555}"},
        {"GUID, bad digit", ParseGuidText, "{0a1b2c3g-0000-1111-2222-333344445555}", nullptr},
        {"GUID, dash moved", ParseGuidText, "{0a1b2c3d0-000-1111-2222-333344445555}", nullptr},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        std::string Key;
        const bool Parsed = Case.Parse(Case.Text, Key);
        EXPECT_EQ(Parsed, Case.Key != nullptr);
        if (Parsed && Case.Key != nullptr) {
            EXPECT_EQ(Key, Case.Key);
        }
    }
    std::vector<std::uint8_t> Bytes;
    EXPECT_TRUE(BytesOfHex("00ffAB", Bytes));
    EXPECT_EQ(Bytes, (std::vector<std::uint8_t>{0x00, 0xFF, 0xAB}));
    EXPECT_EQ(HexOf(Bytes), "00ffab");
    EXPECT_FALSE(BytesOfHex("0", Bytes));
    EXPECT_FALSE(BytesOfHex("zz", Bytes));
    EXPECT_TRUE(BytesOfHex(std::string(128, 'a'), Bytes));
    EXPECT_FALSE(BytesOfHex(std::string(130, 'a'), Bytes));
}
