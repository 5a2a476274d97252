// Linked into every test program: no test asks the router for a port mapping
// (NAT-PMP goes to the default gateway, UPnP discovery is multicast) or
// sends the directory a reachability probe, unless it turns them on itself;
// peers the tests start inherit the switch.
#include <stdlib.h>

namespace {

[[maybe_unused]] const bool kReachabilityOff = [] {
    return ::setenv("BRINDLENET_NO_REACHABILITY", "1", 1) == 0;
}();

}  // namespace
