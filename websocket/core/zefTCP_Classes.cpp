// zefTCP_Classes: the root of the connection classes.
#include "websocket/core/zefTCP_Classes.h"

#include "websocket/core/zefBase_Helpers.h"

namespace zef {

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

void TzefTCPConnection_Base::SetMsgReceived(std::string Value) {
    {
        std::scoped_lock Lock(FWaitLock);
        FMsgReceived = std::move(Value);
    }
    FWaitChange.notify_all();
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
