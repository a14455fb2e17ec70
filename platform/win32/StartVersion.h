// Start.exe's version and the identity its stock build carries; authors give theirs to
// disckit build. Included by Start.rc (so: preprocessor definitions only) and by the kit.
#pragma once

#define START_VERSION_MAJOR 1
#define START_VERSION_MINOR 0
#define START_VERSION_PATCH 0
#define START_VERSION_BUILD 0
#define START_VERSION_TEXT "1.0.0.0"

#define START_COMPANY "Discmate"
#define START_PRODUCT "Swiftdeck"
#define START_DESCRIPTION "Swiftdeck disc launcher"
#define START_COPYRIGHT "Copyright (C) Discmate"
