// zefBase_Classes: the library's base text classes.
#include "websocket/core/zefBase_Classes.h"

namespace zef {

int TzefHeaderList::IndexOfHeader(std::string_view aName) const {
    for (std::size_t I = 0; I < Count(); ++I) {
        std::string_view Line = (*this)[I];
        std::size_t Colon = Line.find(':');
        if (Colon != std::string_view::npos &&
            rtl::SameText(rtl::Trim(Line.substr(0, Colon)), aName)) {
            return int(I);
        }
    }
    return -1;
}

std::string TzefHeaderList::GetHeaderValue(std::string_view aName) const {
    int Index = IndexOfHeader(aName);
    if (Index < 0) {
        return {};
    }
    std::string_view Line = (*this)[std::size_t(Index)];
    return std::string(rtl::Trim(Line.substr(Line.find(':') + 1)));
}

} // namespace zef
