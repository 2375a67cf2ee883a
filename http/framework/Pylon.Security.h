// Pylon.Security: the identity of an authenticated user, carried by a request.
#pragma once

namespace pylon {

/// Carried by a request for modules that authenticate; the framework itself never calls it.
class IUserIdentity {
public:
    virtual ~IUserIdentity() = default;
};

} // namespace pylon
