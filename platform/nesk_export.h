// The one export macro of both libraries. They are built with hidden
// visibility, so a class, function or variable is part of the public ABI only
// when its declaration carries NESK_EXPORT; everything else stays internal to
// the library that defines it.
#ifndef NESK_EXPORT_H
#define NESK_EXPORT_H

#if defined(__GNUC__)
#define NESK_EXPORT __attribute__((visibility("default")))
#else
#define NESK_EXPORT
#endif

#endif
