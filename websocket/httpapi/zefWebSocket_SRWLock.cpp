// zefWebSocket_SRWLock: the slim reader/writer lock and the list guarded by one, used for the
// connection registry and the listener's in-flight operation records.
#include "websocket/httpapi/zefWebSocket_SRWLock.h"

namespace zef {

// The lock and the list are wholly inline; one instantiation here checks the template where it
// is defined.
template class TzefSRWLockList<void*>;

} // namespace zef
