// The device's disks, as korvalt, disk_ports and the port test see them: the whole "sd" disks of the partition
// table, which of them df names, and what each sits on. One implementation for all, so that a port test and the
// storage report never disagree on which disks there are and which are mounted.
#ifndef KORVALT_DISKS_H
#define KORVALT_DISKS_H

#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
#include <string_view>

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

// The folder of the USB device that the disk sits on, as the kernel's links lead there from /sys/block
// (/sys/devices/.../usb1/1-1/1-1.4); false for a disk that is not on USB.
bool usb_device_of(const char *disk, char *path, size_t size);

// The version of the disk's USB device as the kernel prints it ("2.00"); null when it gives none.
const char *kernel_usb_version(const char *disk);

// Numbers joined by single dots, as the kernel writes a speed ("1.5") or a device path ("1.4.2"): how many numbers,
// 0 when the text is anything else.
int dotted_numbers(std::string_view text);
int dotted_numbers(const char *text);  // one strlen for every caller of a C string
// The same, where each number counts from 1 (no leading zero) and has at most digits digits, as the kernel names a
// bus, a port or an ATA link and a run names its files.
int counting_numbers(std::string_view text, size_t digits);
int counting_numbers(const char *text, size_t digits);

// The blank-separated fields of line, cut apart in place: how many there are, the first max of them in fields.
int split_fields(char *line, char **fields, int max);

extern "C" {
#endif

// A disk on a USB or an ATA port: which connector, and what its link reached.
enum { DISK_USB, DISK_SATA };
struct DiskPort {
    int kind;            // DISK_USB or DISK_SATA
    char connector[48];  // "1-1.4" (bus, then the port on each hub from the root), "ata1"; "" when unknown
    char disk[32];       // "sda"
    char speed[8];       // in Mbit/s: as the kernel writes a USB device's ("480", "1.5"), an ATA link's as 3000; ""
    char version[16];    // the USB device's version as the kernel prints it ("2.00"); "" for ATA, or when unknown
};

// The partition table's disks that sit on a USB or an ATA port, sorted by connector: USB before ATA, connectors by
// their numbers as numbers ("3-2" before "3-10", "3-1" before "3-1.1"), an unknown one last, then by the disk's
// name, shorter first (the slots of a reader). At most max of them, the first of that order; returns how many.
// Only the kernel's files are read: nothing that a stale mount could hold up.
size_t list_disk_ports(struct DiskPort *ports, size_t max);

#ifdef __cplusplus
}
#endif

#endif
