// The device's disks, as korvalt and the library's disk_ports see them: the whole "sd" disks of the partition
// table, which of them df names, and the USB device that a disk sits on. One implementation for both, so that a
// port test and the storage report never disagree on which disks there are and which are mounted.
#ifndef KORVALT_DISKS_H
#define KORVALT_DISKS_H

#include <stddef.h>
#include <stdio.h>

// The df snapshot, made anew under the scratch lock by every run that reads it.
constexpr char kDfCommand[] = "df > /tmp/df_usb 2>/dev/null";
constexpr char kDfSnapshot[] = "/tmp/df_usb";

// The partition table's whole "sd" disks, in its order: open_disks, then next_disk until it gives null (the table
// is then closed). open_disks is false when there is no table to read.
struct DiskWalk {
    FILE *partitions;
    char line[256];
    char name[128];
};
bool open_disks(DiskWalk &walk);
const char *next_disk(DiskWalk &walk);

// Whether the df snapshot names one of the disk's partitions.
bool is_mounted(const char *disk);

// Whether the USB device that the disk sits on has file (a path below that device's folder, links allowed), whose
// path is then in path; false for a disk that is not on USB.
bool usb_device_has(char *path, size_t size, const char *disk, const char *file);

// The version of the disk's USB device as the kernel prints it ("2.00"); null when it gives none.
const char *kernel_usb_version(const char *disk);

#endif
