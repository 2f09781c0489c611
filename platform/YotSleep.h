// Sleep service of the host platform.
#ifndef NESK_PLATFORM_YOTSLEEP_H
#define NESK_PLATFORM_YOTSLEEP_H

#include "nesk_export.h"

// Blocks the calling thread for `milliseconds`, sleeping the full time even when
// signals interrupt it. Zero or a negative count returns at once. `file` and
// `line` name the caller for the platform's diagnostics and may be null / 0.
NESK_EXPORT void YOTSLEEP_InTeRnAl(int milliseconds, const char* file, int line);

#endif
