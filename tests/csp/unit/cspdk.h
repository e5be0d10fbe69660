// Stand-in for the provider's cspdk.h while the unit test is built without
// the provider frame (the provider's own cspdk.h wins as soon as it
// exists: its folders come first on the include path).
#pragma once
