// korvalt: the factory storage check.
//
// Usage: korvalt
//
// Prints the USB and eSATA disk counts that the device's hotplug scripts left in /tmp, then one line per mounted
// USB disk with the USB version that the kernel gives for the USB device it sits on:
//
//   2 USB disk(s)!!!
//   1 eSATA disk
//   USB disk 1, version: USB2.00
//
// A disk is a whole "sd" disk of the partition table that df names; the eSATA disk named in the store is left
// out. The version is the kernel's own answer for the USB device that the disk sits on, from sysfs. The lookup by
// serial number runs for every disk too and answers where the kernel has none: sysfs gives the disk's SCSI host,
// the usb-storage driver's file for that host gives the serial, and the serial picks the device out of the USB
// device list.
//
// Test scripts parse the output line by line, so nothing else is printed; every failure degrades to an empty
// count, a skipped disk or an empty version. A report that cannot be written is a failed run (status 1).
//
// Runs take turns with the scratch files in /tmp: korvalt holds their lock from start to end. What the output, the
// scratch files and the processes keep for the device's callers, and why, is listed in docs/developing.md
// ("Kept for the device's callers").

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>

#include "config.h"
#include "disks.h"
#include "trust.h"
#include "util.h"

constexpr char kUsbCountFile[] = "/tmp/usbdisknum";
constexpr char kSataCountFile[] = "/tmp/satadisknum";
constexpr char kUsbStorageFile[] = "/proc/scsi/usb-storage/%s";
constexpr std::string_view kSerialPrefix = "Serial Number:";

constexpr size_t kSerialSize = 128;

// The kernel prints one serial string in both places: "Serial Number: %s" in the usb-storage file and
// "S:  SerialNumber=%.100s" in the device list, which has no such line for a stick without a serial ("None").
constexpr char kListedSerial[] = "S:  SerialNumber=%.100s";
constexpr size_t kListedLineSize = sizeof kListedSerial - sizeof "%.100s" + 1 + 100;

static bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// "Serial Number: VALUE  \n" gives VALUE, without the line end and the blanks around it, and the device list
// line that names the same stick (listed, of kListedLineSize bytes), with the string as the kernel printed it,
// blanks and all; "" for a stick without a serial.
static void take_serial(char *line, char *serial, size_t size, char *listed)
{
    char *text = line + kSerialPrefix.size();
    text[strcspn(text, "\n")] = '\0';
    const char *raw = text + (text[0] == ' ');
    if (strncmp(raw, "None", 4) == 0 && !raw[4])
        listed[0] = '\0';
    else
        snprintf(listed, kListedLineSize, kListedSerial, raw);

    std::string_view value(text, strcspn(text, "\r"));
    while (!value.empty() && is_blank(value.back()))
        value.remove_suffix(1);
    while (!value.empty() && is_blank(value.front()))
        value.remove_prefix(1);
    snprintf(serial, size, "%.*s", (int)value.size(), value.data());
}

// The usb-storage file's serial lines; the last one stands. serial stays as it is when there is none.
static void read_serial(FILE *fp, char *serial, size_t size, char *listed)
{
    char line[128];
    while (read_line(fp, line, sizeof line))
        if (strncmp(line, kSerialPrefix.data(), kSerialPrefix.size()) == 0)
            take_serial(line, serial, size, listed);
}

// "0:0:0:0\n" gives the SCSI host number 0: the first field of the listing's first line, of which only the
// first 15 characters count. line has room for at least 16 bytes; null when there is no field.
static const char *host_of_listing(char *line)
{
    line[15] = '\0';
    return strtok(line, ":\n");
}

// The disk's host number, from the listing that the command leaves in the listing file; null when there is none.
static const char *list_scsi_host(const char *disk_name, char *line, size_t size)
{
    char quoted[SHELL_QUOTED_SIZE(3)];
    char cmd[256];
    char path[64];

    shell_quote(quoted, sizeof quoted, disk_name);
    snprintf(cmd, sizeof cmd, kListingScratch.command, quoted, quoted);
    snprintf(path, sizeof path, kListingScratch.file, disk_name);
    if (!run_into(cmd, path))
        return nullptr;
    FILE *fp = open_for_reading(path);
    if (!fp)
        return nullptr;
    bool listed = read_line(fp, line, size);
    fclose(fp);
    return listed ? host_of_listing(line) : nullptr;
}

// The SCSI host number is the first field of the single host:channel:target:lun entry that sysfs lists for the
// disk; its usb-storage file names the serial. The listing file is left in place. The caller holds the scratch
// lock, as korvalt does for its whole run. listed gets the stick's device list line (see take_serial).
static const char *get_usb_serial_num(const char *part_name, char *listed)
{
    static char serial_num[kSerialSize];
    char disk_name[8];
    char path[64];
    char line[128];

    serial_num[0] = '\0';
    listed[0] = '\0';
    // sdb1 stands for the disk sdb; past sdz two disks share a scratch name (kept for the device's callers:
    // docs/developing.md)
    snprintf(disk_name, sizeof disk_name, "%s", part_name);
    disk_name[3] = '\0';

    const char *bus_num = list_scsi_host(disk_name, line, sizeof line);  // the SCSI host number
    if (!bus_num)
        return serial_num;

    snprintf(path, sizeof path, kUsbStorageFile, bus_num);
    FILE *fp = open_for_reading(path);
    if (!fp)
        return serial_num;  // not a usb-storage disk, the eSATA one for instance
    read_serial(fp, serial_num, sizeof serial_num, listed);
    fclose(fp);
    return serial_num;
}

// The first three characters decide, so sdaa is taken for sda (kept for the device's callers: docs/developing.md).
static bool is_esata_disk(const char *part_name)
{
    return strncmp(config_get("sata_diskname"), part_name, 3) == 0;
}

constexpr size_t kLookupSize =
    std::string_view(kVersionScratch.command).size() + SHELL_QUOTED_SIZE(kListedLineSize - 1);

// The version lookup for the probed stick's device list line, into cmd of kLookupSize bytes. false for a stick
// without a serial, which has no such line, and for a command that would not fit: it is never run cut short.
static bool format_version_lookup(char *cmd, const char *serial, const char *listed)
{
    char quoted[SHELL_QUOTED_SIZE(kListedLineSize - 1)];
    if (!serial[0] || !listed[0] || shell_quote(quoted, sizeof quoted, listed) < 0)
        return false;
    int n = snprintf(cmd, kLookupSize, kVersionScratch.command, quoted);
    return n > 0 && (size_t)n < kLookupSize;
}

// A version is digits and dots; whatever else a forged descriptor string put in the list never reaches the report.
static bool is_version(const char *text)
{
    while ((*text >= '0' && *text <= '9') || *text == '.')
        text++;
    return !*text;
}

// The lookup's answer from the version scratch file, which is made anew for the disk and left empty when there is
// nothing to look up; "" when there is none.
static const char *look_up_usb_version(const char *serial, const char *listed)
{
    char cmd[kLookupSize];
    bool found = format_version_lookup(cmd, serial, listed);
    if (!run_into(found ? cmd : nullptr, kVersionScratch.file))
        return "";
    const char *version = cat_file(kVersionScratch.file);
    return is_version(version) ? version : "";
}

// The disk's USB version: the kernel's answer for its USB device, else the lookup's. The kernel's answer tells apart
// sticks that share a serial, and needs no serial, no usb-storage file and no device list. The lookup runs for every
// disk all the same and leaves its answer in the version scratch file, which the device's tools may read (kept for the
// device's callers: docs/developing.md).
static const char *usb_version(const char *part_name, const char *serial, const char *listed)
{
    const char *kernel = kernel_usb_version(part_name);
    const char *looked_up = look_up_usb_version(serial, listed);
    return kernel ? kernel : looked_up;
}

// Prints a count line and tells whether there was a count to print.
static bool print_count(const char *count, const char *what, const char *none)
{
    if (!count[0]) {
        printf("%s\n", none);
        return false;
    }
    printf("%s %s\n", count, what);
    return true;
}

// One line per mounted USB disk of the partition table, numbered from 1.
static void report_disks()
{
    DiskWalk walk;
    if (!open_disks(walk))
        return;
    int num = 0;
    char listed[kListedLineSize];
    while (const char *part_name = next_disk(walk)) {
        if (!is_mounted(part_name))
            continue;
        // probed before the eSATA check, so the eSATA disk gets its listing file too
        const char *serial = get_usb_serial_num(part_name, listed);
        if (is_esata_disk(part_name))
            continue;
        const char *version = usb_version(part_name, serial, listed);
        num++;
        printf("USB disk %d, version: USB%s\n", num, version);
    }
}

int main(int argc, char **)
{
    scratch_lock();
    // before the usage check: even a wrong call leaves a fresh df snapshot (kept for the device's callers:
    // docs/developing.md)
    bool snapshot = run_into(kDfScratch.command, kDfScratch.file);
    if (argc != 1) {
        printf("Usage: korvalt\n");
        return -1;
    }

    // cat_file's one buffer is overwritten by the next read: keep only whether there was a count. The lines' words,
    // "!!!" and all, are what factory scripts match (kept for the device's callers: docs/developing.md).
    bool usb = print_count(cat_file(kUsbCountFile), "USB disk(s)!!!", "0 USB disk !!!");
    bool sata = print_count(cat_file(kSataCountFile), "eSATA disk", "0 eSATA disk");
    // without a fresh df snapshot no disk counts as mounted
    if ((usb || sata) && snapshot)
        report_disks();
    // a report that did not reach its reader, a factory log on a full disk say, must not pass for a good one
    return fflush(stdout) != 0 || ferror(stdout) ? 1 : 0;
}
