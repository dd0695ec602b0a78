// korvalt: the factory storage check.
//
// Usage: korvalt
//
// Prints the USB and eSATA disk counts that the device's hotplug scripts left in /tmp, then one line per mounted
// USB disk with the USB version that the kernel's USB device list gives for it:
//
//   2 USB disk(s)!!!
//   1 eSATA disk
//   USB disk 1, version: USB2.00
//
// A disk is a whole "sd" disk of the partition table that df names; the eSATA disk named in the store is left
// out. The version is found through the disk's serial number: sysfs gives the disk's SCSI host, the usb-storage
// driver's file for that host gives the serial, and the serial picks the device out of the USB device list.
//
// Test scripts parse the output line by line, so nothing else is printed; every failure degrades to an empty
// count, a skipped disk or an empty version.

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string_view>

#include "config.h"
#include "util.h"

extern "C" const char *get_usb_serial_num(const char *part_name);

constexpr char kDfCommand[] = "df > /tmp/df_usb 2>/dev/null";
constexpr char kDfSnapshot[] = "/tmp/df_usb";
constexpr char kUsbCountFile[] = "/tmp/usbdisknum";
constexpr char kSataCountFile[] = "/tmp/satadisknum";
constexpr char kPartitions[] = "/proc/partitions";
constexpr char kVersionFile[] = "/tmp/disk_version";

// The serial number is untrusted text from the USB stick itself and this runs as root: it goes in as one quoted
// word (%s), and -F -e make grep take it as a literal pattern, never as an option or a regular expression.
constexpr char kVersionLookup[] =
    "/bin/cat /proc/bus/usb/devices | /bin/grep \"Driver=usb-storage\" -B6 | /bin/grep -F -e %s -B4"
    " | /bin/grep \"Ver\" | awk '{print $3}' > /tmp/disk_version";

constexpr char kListingCommand[] = "/bin/ls /sys/block/%s/device/scsi_device/ > /tmp/%s_info_tmp";
constexpr char kListingFile[] = "/tmp/%s_info_tmp";
constexpr char kUsbStorageFile[] = "/proc/scsi/usb-storage/%s";
constexpr std::string_view kSerialPrefix = "Serial Number:";

constexpr size_t kSerialSize = 128;

// Output that is still buffered would otherwise come out after whatever the command prints.
static void run(const char *cmd)
{
    fflush(stdout);
    system(cmd);
}

// Reads one line of at most size-1 characters, newline included. The rest of a longer line is dropped so that its
// tail is never taken for a line of its own: a long USB product name must not pose as a "Serial Number:" line.
static bool read_line(FILE *fp, char *line, size_t size)
{
    size_t n = 0;
    int c = EOF;
    while ((c = getc(fp)) != EOF) {
        if (n + 1 < size)
            line[n++] = (char)c;
        if (c == '\n')
            break;
    }
    line[n] = '\0';
    return n > 0 || c != EOF;
}

static bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// "Serial Number: VALUE  \n" gives VALUE, without the line end and the blanks around it.
static void take_serial(const char *line, char *serial, size_t size)
{
    std::string_view value(line + kSerialPrefix.size());
    size_t end = value.find_first_of("\r\n");
    if (end != std::string_view::npos)
        value.remove_suffix(value.size() - end);
    while (!value.empty() && is_blank(value.back()))
        value.remove_suffix(1);
    while (!value.empty() && is_blank(value.front()))
        value.remove_prefix(1);
    snprintf(serial, size, "%.*s", (int)value.size(), value.data());
}

// The usb-storage file's serial lines; the last one stands. serial stays as it is when there is none.
static void read_serial(FILE *fp, char *serial, size_t size)
{
    char line[128];
    while (read_line(fp, line, sizeof line))
        if (strncmp(line, kSerialPrefix.data(), kSerialPrefix.size()) == 0)
            take_serial(line, serial, size);
}

// "0:0:0:0\n" gives the SCSI host number 0: the first field of the listing's first line, of which only the
// first 15 characters count. line has room for at least 16 bytes; null when there is no field.
static const char *host_of_listing(char *line)
{
    line[15] = '\0';
    return strtok(line, ":\n");
}

// The SCSI host number is the first field of the single host:channel:target:lun entry that sysfs lists for the
// disk; its usb-storage file names the serial. The listing file is left in place.
const char *get_usb_serial_num(const char *part_name)
{
    static char serial_num[kSerialSize];
    char disk_name[8];
    char cmd[256];
    char path[64];
    char line[128];

    serial_num[0] = '\0';
    // sdb1 stands for the disk sdb
    snprintf(disk_name, sizeof disk_name, "%s", part_name);
    disk_name[3] = '\0';

    snprintf(cmd, sizeof cmd, kListingCommand, disk_name, disk_name);
    run(cmd);

    snprintf(path, sizeof path, kListingFile, disk_name);
    FILE *fp = fopen(path, "r");
    if (!fp)
        return serial_num;
    bool listed = read_line(fp, line, sizeof line);
    fclose(fp);
    const char *bus_num = listed ? host_of_listing(line) : nullptr;
    if (!bus_num)
        return serial_num;

    snprintf(path, sizeof path, kUsbStorageFile, bus_num);
    fp = fopen(path, "r");
    if (!fp)
        return serial_num;  // not a usb-storage disk, the eSATA one for instance
    read_serial(fp, serial_num, sizeof serial_num);
    fclose(fp);
    return serial_num;
}

// "   8        0    7814037 sda" gives sda; the column header and blank lines give nothing.
static bool parse_partition_line(const char *line, char *part_name)
{
    int major = 0, minors = 0;
    unsigned long long capacity = 0;
    return sscanf(line, " %d %d %llu %127[^\n ]", &major, &minors, &capacity, part_name) == 4;
}

// Whole disks have an entry directly under /sys/block; their partitions do not. A path that does not fit is
// no disk at all rather than a shorter name that might exist.
static bool is_whole_disk(const char *part_name)
{
    char path[64];
    int n = snprintf(path, sizeof path, "/sys/block/%s", part_name);
    return n > 0 && (size_t)n < sizeof path && access(path, F_OK) == 0;
}

static const char *last_component(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// A df line names the disk when its filesystem is a device that shares the disk's first three characters
// (/dev/sda1 for sda) and a number follows it. The header's first field, a column title, never does.
static bool df_line_names_disk(const char *line, const char *part_name)
{
    char path_name[100] = {};
    unsigned long long cap = 0;
    return sscanf(line, "%99s %llu", path_name, &cap) == 2 && strncmp(last_component(path_name), part_name, 3) == 0;
}

// The snapshot is reread for every disk.
static bool is_mounted(const char *part_name)
{
    char line[256];
    bool flag = false;

    FILE *fp = fopen(kDfSnapshot, "r");
    if (!fp)
        return false;
    while (read_line(fp, line, sizeof line))
        if (df_line_names_disk(line, part_name))
            flag = true;
    fclose(fp);
    return flag;
}

static bool is_esata_disk(const char *part_name)
{
    return strncmp(config_get("sata_diskname"), part_name, 3) == 0;
}

constexpr size_t kLookupSize = sizeof kVersionLookup + SHELL_QUOTED_SIZE(kSerialSize - 1);

// The version lookup for a serial of up to kSerialSize-1 characters, into cmd of kLookupSize bytes. false for an
// empty serial, which would match every device, and for a command that would not fit: it is never run cut short.
static bool format_version_lookup(char *cmd, const char *serial)
{
    char quoted[SHELL_QUOTED_SIZE(kSerialSize - 1)];
    if (!serial[0] || shell_quote(quoted, sizeof quoted, serial) < 0)
        return false;
    int n = snprintf(cmd, kLookupSize, kVersionLookup, quoted);
    return n > 0 && (size_t)n < kLookupSize;
}

// Leaves the disk's USB version in the version scratch file, or leaves it empty when there is nothing to look up.
static void look_up_usb_version(const char *serial)
{
    char cmd[kLookupSize];
    if (format_version_lookup(cmd, serial)) {
        run(cmd);
        return;
    }
    FILE *fp = fopen(kVersionFile, "w");
    if (fp)
        fclose(fp);
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

int main(int argc, char **)
{
    char line[256];
    char part_name[128];

    run(kDfCommand);
    if (argc != 1) {
        printf("Usage: korvalt\n");
        return -1;
    }

    // cat_file's one buffer is overwritten by the next read: keep only whether there was a count
    bool usb = print_count(cat_file(kUsbCountFile), "USB disk(s)!!!", "0 USB disk !!!");
    bool sata = print_count(cat_file(kSataCountFile), "eSATA disk", "0 eSATA disk");
    if (!usb && !sata)
        return 0;

    FILE *partitions = fopen(kPartitions, "r");
    if (!partitions)
        return 0;
    int num = 0;
    while (read_line(partitions, line, sizeof line)) {
        if (!parse_partition_line(line, part_name) || strncmp(part_name, "sd", 2) != 0)
            continue;
        if (!is_whole_disk(part_name) || !is_mounted(part_name))
            continue;
        // probed before the eSATA check, so the eSATA disk gets its listing file too
        const char *serial = get_usb_serial_num(part_name);
        if (is_esata_disk(part_name))
            continue;
        look_up_usb_version(serial);
        num++;
        printf("USB disk %d, version: USB%s\n", num, cat_file(kVersionFile));
    }
    fclose(partitions);
    return 0;
}
