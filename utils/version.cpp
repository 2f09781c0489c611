// The version the library was built as.
#include "nesk_version.h"

const char* nesk_version() { return NESK_VERSION_STRING; }
