// httpapi_ConfigStore: the service configuration's file text and the reservations' SDDL.
// The first byte picks the mode: raw file text; or lines each given a correct checksum (so
// that the fields' own parsing is reached) after the header. Whatever loads must write and read
// back to the same records with no damage; damaged lines are numbered within the text.
#include "platform/httpapi/ConfigStore.h"
#include "platform/httpapi/Sddl.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace httpapi;

namespace {

std::string Signed(std::string_view Line) {
    std::uint32_t Crc = 0xFFFFFFFFu;
    for (const char C : Line) {
        Crc ^= static_cast<unsigned char>(C);
        for (int Bit = 0; Bit < 8; ++Bit) {
            Crc = (Crc & 1) != 0 ? 0xEDB88320u ^ (Crc >> 1) : Crc >> 1;
        }
    }
    char Hex[9];
    std::snprintf(Hex, sizeof(Hex), "%08x", Crc ^ 0xFFFFFFFFu);
    return std::string(Line) + "\t" + Hex + "\n";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size == 0) {
        return 0;
    }
    const bool Sign = (Data[0] & 1) != 0;
    std::string Input(reinterpret_cast<const char*>(Data) + 1, Size - 1);
    std::string Text;
    if (Sign) {
        Text = "httpapi-serviceconfig 1\n";
        std::size_t At = 0;
        while (At <= Input.size()) {
            const std::size_t End = std::min(Input.find('\n', At), Input.size());
            Text += Signed(std::string_view(Input).substr(At, End - At));
            At = End + 1;
        }
    } else {
        Text = Input;
    }
    // An exact-size copy: a read past the end is caught.
    auto Copy = std::make_unique<char[]>(Text.size());
    std::copy(Text.begin(), Text.end(), Copy.get());
    std::vector<TStoreDamage> Damage;
    const TStoreRecords Records = ParseRecords({Copy.get(), Text.size()}, Damage);
    std::size_t Lines = 0;
    for (const char C : Text) {
        Lines += C == '\n' ? 1 : 0;
    }
    for (const TStoreDamage& Entry : Damage) {
        if (Entry.Line == 0 || Entry.Line > Lines + 1) {
            __builtin_trap();
        }
    }
    std::vector<TStoreDamage> Again;
    const TStoreRecords Reread = ParseRecords(FormatRecords(Records), Again);
    if (!Again.empty() || FormatRecords(Reread) != FormatRecords(Records)) {
        __builtin_trap();
    }
    TSecurityDescriptor Descriptor;
    if (ParseSddl(Input, Descriptor) == NO_ERROR) {
        for (const TAce& Ace : Descriptor.Dacl) {
            if (Ace.Rights == 0 || Ace.Sid.rfind("S-1-", 0) != 0) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
