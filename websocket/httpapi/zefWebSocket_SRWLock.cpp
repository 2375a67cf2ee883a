// zefWebSocket_SRWLock: the slim reader/writer lock and the list guarded by one, used for the
// connection registry and the listener's in-flight operation records.
#include "websocket/httpapi/zefWebSocket_SRWLock.h"

namespace zef {

// The lock and the list are wholly inline; this unit anchors them and instantiates the two
// lists the transport uses, so that their code is compiled once.
template class TzefSRWLockList<void*>;

} // namespace zef
