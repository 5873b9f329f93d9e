#pragma once
// Finds out whether this process can cut TCP connections at all: it needs CAP_NET_ADMIN,
// and a kernel built with socket destroy. A firewall that cannot cut must say so instead of
// claiming to be active.

#include <cstdint>

namespace tarvok::platform {

class SockDiag;

enum class CutAbility {
    Works,
    NoPermission, // CAP_NET_ADMIN is missing
    NotSupported, // the kernel has no socket destroy
    NoEnforcer,   // the privileged helper that holds CAP_NET_ADMIN could not be started
};

// The cut's outcome as an ability: EPERM/EACCES mean no permission, EOPNOTSUPP a kernel
// without socket destroy, ENOTCONN no enforcer to ask; success and any other failure (a
// connection already gone) say nothing against cutting.
CutAbility abilityFromResult(std::uint32_t result);

// Checks the capability, then cuts a loopback connection that it opens for the purpose
// (127.0.0.1, which the firewall never touches) and reads the kernel's answer. When the probe
// connection cannot be made (loopback down) the capability check alone decides.
CutAbility probeCutAbility(SockDiag& diag);

} // namespace tarvok::platform
