// The library's debug log: a level filter in front of the platform log writer.
#ifndef NESK_DEBUG_H
#define NESK_DEBUG_H

#include <string>

#include "EvDebug.h"
#include "nesk_export.h"

#if defined(__GNUC__)
#define NESK_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define NESK_PRINTF(fmt, args)
#endif

// Every object of the library that logs carries one nesk_debug by value. The
// threshold comes from key "nNESKUtilsDebugLevel" of section "Vantor" in the
// configuration store (0 when absent), read on construction, copy and
// assignment; a message of level L is written when L <= threshold, and the
// level test comes before any formatting. logError always writes.
class NESK_EXPORT nesk_debug : public EvDebug {
public:
    nesk_debug();
    // Takes nothing from `other`: the copy sets itself up and reads the
    // threshold afresh.
    nesk_debug(const nesk_debug& other);
    // Takes nothing from `other`: repeats the set-up on this object.
    nesk_debug& operator=(const nesk_debug& other);
    ~nesk_debug();

    void init();

    // The threshold in force for this object.
    int get_debug_level() const { return debug_level; }

    void logMessage(int level, const char* format, ...) NESK_PRINTF(3, 4);
    void logMessage(int level, unsigned long n, const char* format, ...) NESK_PRINTF(4, 5);
    void logMessage(int k, int level, unsigned long n, const char* format, ...)
        NESK_PRINTF(5, 6);
    void logMessage(const char* function, int level, const char* format, ...) NESK_PRINTF(4, 5);
    void logMessage(const char* function, int level, unsigned long n, const char* format, ...)
        NESK_PRINTF(5, 6);
    void logMessage(const char* function, int k, int level, unsigned long n, const char* format,
                    ...) NESK_PRINTF(6, 7);

    void logError(const char* function, const char* format, ...) NESK_PRINTF(3, 4);
    void logError(const char* function, unsigned long n, const char* format, ...)
        NESK_PRINTF(4, 5);
    void logError(const char* function, int k, unsigned long n, const char* format, ...)
        NESK_PRINTF(5, 6);

    // Name of this library's log, for callers and writers that want one.
    static std::string sLogFileName;

private:
    EvDebugFileInstance file_instance;
    int debug_level = 0;
};

#endif
