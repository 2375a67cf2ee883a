// zefWebSocket_HTTPResponse: built-in files and their registry.
#include "websocket/server/zefWebSocket_HTTPResponse.h"

#include "websocket/core/zefBase_Classes.h"

namespace zef {

namespace {

struct TRegisteredClass {
    TzefWSHTTPResponse_BaseClass Create;
    std::string FileName;
};

// Created on first use, so that registrations made by other units' static initialisers find
// it whatever the order of initialisation.
std::vector<TRegisteredClass>& Registry() {
    static std::vector<TRegisteredClass> Classes;
    return Classes;
}

// File names compare the ASCII letters without regard to case and every other byte exactly.
bool SameFileName(std::string_view A, std::string_view B) {
    if (A.size() != B.size()) {
        return false;
    }
    for (std::size_t I = 0; I < A.size(); ++I) {
        auto Upper = [](char C) { return C >= 'a' && C <= 'z' ? char(C - 'a' + 'A') : C; };
        if (Upper(A[I]) != Upper(B[I])) {
            return false;
        }
    }
    return true;
}

} // namespace

void TzefWSHTTPResponse::RegisterFileName(TzefWSHTTPResponse_BaseClass aClass) {
    std::string FileName = aClass()->GetFileName();
    Registry().push_back({std::move(aClass), std::move(FileName)});
}

std::string TzefWSHTTPResponse::GetResponseMessage(const std::string& aFileName) {
    TzefDelimitedStringList Names;
    Names.SetDelimitedText(aFileName);
    std::string Result;
    for (const std::string& Name : Names) {
        for (const TRegisteredClass& Class : Registry()) {
            if (SameFileName(Class.FileName, Name)) {
                std::string Text;
                Class.Create()->GetResponse(Text);
                Result += Text;
                Result += "\r\n";
                break;
            }
        }
    }
    return Result;
}

std::size_t TzefWSHTTPResponse::Count() {
    return Registry().size();
}

} // namespace zef
