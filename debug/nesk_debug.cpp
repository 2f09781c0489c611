#include "nesk_debug.h"

#include <cstdarg>

#include "ZAVPlatformInfo.h"

std::string nesk_debug::sLogFileName = "NESKUtils";

namespace {

// Fixed arguments of the writer set-up; their meaning belongs to the writer.
constexpr unsigned int kModuleId = 181993004;  // 0x0AD8FE2C
constexpr unsigned long long kLogFileSize = 10;
constexpr int kMaxVersions = 10;

}  // namespace

nesk_debug::nesk_debug() : EvDebug(nullptr) { init(); }

nesk_debug::nesk_debug(const nesk_debug&) : EvDebug(nullptr) { init(); }

nesk_debug& nesk_debug::operator=(const nesk_debug&) {
    init();
    return *this;
}

nesk_debug::~nesk_debug() = default;

void nesk_debug::init() {
    initialize(&file_instance, kModuleId, 0, false, "");
    setLogFileSize(kLogFileSize);
    setMaxVersion(kMaxVersions);

    ZAVPlatformInfo store;
    unsigned long value = 0;
    if (store.getNumber("Vantor", "nNESKUtilsDebugLevel", &value) != 0)
        debug_level = static_cast<int>(static_cast<unsigned int>(value));
    else
        debug_level = 0;
}

// Each overload tests the level before the argument list is started, so a
// suppressed message costs one comparison.
#define NESK_WRITE(function, k, n)                                                    \
    do {                                                                              \
        va_list arguments;                                                            \
        va_start(arguments, format);                                                  \
        handleMsgEventDebug_NEW(-1, function, k, -1, n, nullptr, format, arguments); \
        va_end(arguments);                                                            \
    } while (0)

void nesk_debug::logMessage(int level, const char* format, ...) {
    if (level > debug_level) return;
    NESK_WRITE(nullptr, 0, 0);
}

void nesk_debug::logMessage(int level, unsigned long n, const char* format, ...) {
    if (level > debug_level) return;
    NESK_WRITE(nullptr, 0, static_cast<long long>(n));
}

void nesk_debug::logMessage(int k, int level, unsigned long n, const char* format, ...) {
    if (level > debug_level) return;
    NESK_WRITE(nullptr, static_cast<unsigned int>(k), static_cast<long long>(n));
}

void nesk_debug::logMessage(const char* function, int level, const char* format, ...) {
    if (level > debug_level) return;
    NESK_WRITE(function, 0, 0);
}

void nesk_debug::logMessage(const char* function, int level, unsigned long n, const char* format,
                            ...) {
    if (level > debug_level) return;
    NESK_WRITE(function, 0, static_cast<long long>(n));
}

void nesk_debug::logMessage(const char* function, int k, int level, unsigned long n,
                            const char* format, ...) {
    if (level > debug_level) return;
    NESK_WRITE(function, static_cast<unsigned int>(k), static_cast<long long>(n));
}

void nesk_debug::logError(const char* function, const char* format, ...) {
    NESK_WRITE(function, 0, 0);
}

void nesk_debug::logError(const char* function, unsigned long n, const char* format, ...) {
    NESK_WRITE(function, 0, static_cast<long long>(n));
}

void nesk_debug::logError(const char* function, int k, unsigned long n, const char* format, ...) {
    NESK_WRITE(function, static_cast<unsigned int>(k), static_cast<long long>(n));
}

#undef NESK_WRITE
