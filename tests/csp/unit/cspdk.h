// Stand-in for the provider's cspdk.h while the unit test is built without
// the provider frame (csp/src/cspdk.h wins as soon as it exists: it sits
// beside csp.h, which includes it).
#pragma once
