// Decoders of the device data the block device manager reads from sysfs and
// procfs, apart from the reading, so that any bytes can be handed to them
// (internal).
#ifndef NESK_BLKDEV_DEVICE_DATA_H
#define NESK_BLKDEV_DEVICE_DATA_H

#include <cstdio>
#include <string>

#include "kernel_paths.h"

// The serial number held by a Unit Serial Number VPD page (0x80): byte 3 is
// its length L, and the serial is the at most L bytes from byte 4 on; bytes
// 0-2 are not looked at. False, leaving `serial` alone, for a page of 1 to 3
// bytes; an empty page gives an empty serial. The serial is not trimmed.
NESK_INTERNAL bool decode_vpd_serial(const std::string& page, std::string& serial);

// True when `text`, a sysfs "size" value, is a count of sectors: decimal
// digits only, within 64 bits.
NESK_INTERNAL bool is_sector_count(const std::string& text);

// The World Wide Name a Device Identification VPD page (0x83) holds, as udev
// names it: "0x" and the lower-case hex digits of a binary NAA designator of
// the logical unit (association 0). An IEEE Registered Extended name (NAA 6)
// is preferred, then an IEEE Registered one (NAA 5), then any other NAA type,
// each the first in page order. Bytes 2-3 give the length of the designator
// list from byte 4 on; a designator running past the page ends the list.
// False, `wwn` empty, when the page holds no such designator (EUI-64, T10
// vendor and SCSI name designators are not World Wide Names).
NESK_INTERNAL bool decode_vpd_naa(const std::string& page, std::string& wwn);

// The block major number of `driver` in a device list in the format of
// /proc/devices read from `devices`, or -1. Only the lines after the one
// holding "Block devices" count, each "<number> <name>"; `listed` tells
// whether that line was seen.
NESK_INTERNAL int block_major_in(FILE* devices, const std::string& driver, bool& listed);

#endif
