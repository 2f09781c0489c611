// Owner of the array that scandir(3) fills, for the sysfs scans of the block
// device manager: every entry and the array are freed when the holder goes out
// of scope, whichever way the scan ends.
#ifndef NESK_BLKDEV_SCANDIR_LIST_H
#define NESK_BLKDEV_SCANDIR_LIST_H

#include "fd_util.h"

// scan(dir, filter, compare) returns scandir's count (or -1, holding nothing);
// size() and operator[] give the entries in the order scandir returned them.
using nesk::scandir_list;

#endif
