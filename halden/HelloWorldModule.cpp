// HelloWorldModule: the module that greets every request under its base URL.
#include "halden/HelloWorldModule.h"

namespace pylon {

void THelloWorldModule::ProcessRequest(THttpServerContext& C) {
    THttpServerResponse& Response = C.Response();
    Response.SetStatusCode(200);
    Response.SetContentType(HelloContentType);
    Response.Close(HelloBody); // Already UTF-8: the 13 bytes go out as they are.
}

} // namespace pylon
