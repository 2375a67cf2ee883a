// zefTCP_Classes: the root of the connection classes.
#include "websocket/core/zefTCP_Classes.h"

#include "websocket/core/zefBase_Helpers.h"

namespace zef {

namespace {

/// The most room of a stored text that is kept for the texts after it.
constexpr std::size_t KeptTextRoom = 64 * 1024;

} // namespace

TzefTCPConnection_Base::TzefTCPConnection_Base() = default;

TzefTCPConnection_Base::~TzefTCPConnection_Base() = default;

std::string TzefTCPConnection_Base::Guid() {
    std::scoped_lock Lock(FGuidLock);
    if (FGuid.empty()) {
        FGuid = NewGuid();
    }
    return FGuid;
}

std::string TzefTCPConnection_Base::MsgReceived() const {
    std::scoped_lock Lock(FWaitLock);
    return FMsgReceived;
}

void TzefTCPConnection_Base::SetMsgReceived(std::string_view Value) {
    {
        std::scoped_lock Lock(FWaitLock);
        if (FMsgReceived.capacity() > KeptTextRoom && Value.size() <= KeptTextRoom) {
            // The room of a rare large message is not kept for the small ones after it.
            std::string(Value).swap(FMsgReceived);
        } else {
            FMsgReceived.assign(Value);
        }
        FMsgReceivedChanges.fetch_add(1);
    }
    FWaitChange.notify_all();
}

void TzefTCPConnection_Base::CopyMsgReceived(std::string& aText) const {
    std::scoped_lock Lock(FWaitLock);
    aText.assign(FMsgReceived);
}

rtl::TMemoryStream& TzefTCPConnection_Base::MsgBinaryReceived() {
    if (!FMsgBinaryReceived) {
        FMsgBinaryReceived = std::make_unique<rtl::TMemoryStream>();
    }
    return *FMsgBinaryReceived;
}

void TzefTCPConnection_Base::NotifyWaiters() {
    FWaitChange.notify_all();
}

} // namespace zef
