// The device's disks: which there are, which are mounted, what each sits on. korvalt's report and the library's
// disk_ports both stand on this.

#include "disks.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string_view>

#include "trust.h"
#include "util.h"

// "   8        0    7814037 sda" gives sda; the column header and blank lines give nothing.
static bool parse_partition_line(const char *line, char *part_name)
{
    int major = 0, minors = 0;
    unsigned long long capacity = 0;
    return sscanf(line, " %d %d %llu %127[^\n ]", &major, &minors, &capacity, part_name) == 4;
}

// Whole disks have an entry directly under /sys/block; their partitions do not, nor does a name with a slash.
// A path that does not fit is no disk at all rather than a shorter name that might exist.
static bool is_whole_disk(const char *part_name)
{
    char path[64];
    int n = snprintf(path, sizeof path, "/sys/block/%s", part_name);
    return n > 0 && (size_t)n < sizeof path && strrchr(path, '/') == path + 10 && access(path, F_OK) == 0;
}

bool open_disks(DiskWalk &walk)
{
    walk.partitions = open_for_reading("/proc/partitions");
    return walk.partitions != nullptr;
}

const char *next_disk(DiskWalk &walk)
{
    while (read_line(walk.partitions, walk.line, sizeof walk.line))
        if (parse_partition_line(walk.line, walk.name) && strncmp(walk.name, "sd", 2) == 0 &&
            is_whole_disk(walk.name))
            return walk.name;
    fclose(walk.partitions);
    walk.partitions = nullptr;
    return nullptr;
}

static const char *last_component(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// A df line names the disk when its filesystem is a device that shares the disk's first three characters
// (/dev/sda1 for sda) and a number follows it. The header's first field, a column title, never does. Past sdz,
// sdaa1 mounted counts sda as mounted too (kept for the device's callers: docs/developing.md).
static bool df_line_names_disk(const char *line, const char *part_name)
{
    char path_name[100] = {};
    unsigned long long cap = 0;
    return sscanf(line, "%99s %llu", path_name, &cap) == 2 && strncmp(last_component(path_name), part_name, 3) == 0;
}

// The snapshot is reread for every disk.
bool is_mounted(const char *part_name)
{
    char line[256];
    bool flag = false;

    FILE *fp = open_for_reading(kDfSnapshot);
    if (!fp)
        return false;
    while (read_line(fp, line, sizeof line))
        if (df_line_names_disk(line, part_name))
            flag = true;
    fclose(fp);
    return flag;
}

// /sys/block/sdX/device leads to .../B-P/B-P:C.I/hostH/targetH:C:T/H:C:T:L for usb-storage and UAS alike, and so
// does it on old kernels whose /sys/block/sdX is a folder rather than a link; the kernel resolves ".." after the
// link. The folder must be a USB device (busnum and devnum): four levels above an ATA disk lies its controller.
bool usb_device_has(char *path, size_t size, const char *part_name, const char *file)
{
    for (const char *own : {"busnum", "devnum", file}) {
        int n = snprintf(path, size, "/sys/block/%s/device/../../../../%s", part_name, own);
        if (n <= 0 || (size_t)n >= size || access(path, F_OK) != 0)
            return false;
    }
    return true;
}

// The kernel prints the version as the device list does (" 2.00"). Only a non-empty run of digits and dots, blanks
// around it, is a version.
const char *kernel_usb_version(const char *part_name)
{
    static char version[16];
    char path[96], rest;
    if (!usb_device_has(path, sizeof path, part_name, "version"))
        return nullptr;
    return sscanf(cat_file(path), " %15[0-9.] %c", version, &rest) == 1 ? version : nullptr;
}

// disk_ports: which connector each disk is in and what speed its link reached

constexpr size_t kPortLineSize = 160;
constexpr size_t kPathSize = 160;

static bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Numbers joined by single dots, as the kernel writes a speed ("1.5") or a device path ("1.4.2"): how many numbers,
// 0 when the text is anything else.
static int dotted_numbers(std::string_view text)
{
    int numbers = 0;
    for (;;) {
        size_t digits = 0;
        while (digits < text.size() && is_digit(text[digits]))
            digits++;
        if (digits == 0)
            return 0;
        numbers++;
        text.remove_prefix(digits);
        if (text.empty())
            return numbers;
        if (text.front() != '.')
            return 0;
        text.remove_prefix(1);
    }
}

// The first line of a sysfs file when it is numbers joined by dots, at most max_numbers of them and shorter than
// size; "" otherwise.
static const char *dotted_file(const char *path, int max_numbers, char *out, size_t size)
{
    std::string_view text = cat_file(path);
    int numbers = dotted_numbers(text);
    bool fits = numbers > 0 && numbers <= max_numbers && text.size() < size;
    snprintf(out, size, "%.*s", fits ? (int)text.size() : 0, text.data());
    return out;
}

// A bus number; 0 (which no bus has) when the file holds no number.
static unsigned bus_file(const char *path)
{
    char digits[10];
    return (unsigned)atoi(dotted_file(path, 1, digits, sizeof digits));
}

// The speed, in Mbit/s, of a USB device or root hub ("480", "1.5"); "" when the kernel gives none.
static const char *speed_file(const char *path, char *out, size_t size)
{
    return dotted_file(path, 2, out, size);
}

static bool is_super_speed(const char *speed)
{
    return speed[0] && atoi(speed) >= 5000;
}

// dir/name/file into path; false when it does not fit.
static bool join_path(char *path, size_t size, const char *dir, const char *name, const char *file)
{
    int n = snprintf(path, size, "%s/%s/%s", dir, name, file);
    return n > 0 && (size_t)n < size;
}

// The bus of the USB 2 root hub of the controller whose folder is dir, the one below SuperSpeed; 0 when there is
// none. A controller has one root hub per speed class, named usbB.
static unsigned usb2_root_hub(const char *dir)
{
    unsigned bus = 0;
    DIR *d = opendir(dir);
    if (!d)
        return 0;
    while (struct dirent *e = readdir(d)) {
        char path[kPathSize], speed[8];
        if (strncmp(e->d_name, "usb", 3) != 0 || dotted_numbers(e->d_name + 3) != 1 ||
            !join_path(path, sizeof path, dir, e->d_name, "speed") || !speed_file(path, speed, sizeof speed)[0] ||
            is_super_speed(speed) || !join_path(path, sizeof path, dir, e->d_name, "busnum"))
            continue;
        bus = bus_file(path);
        break;
    }
    closedir(d);
    return bus;
}

// The bus that names the connector of a disk's USB device: its own, but for a device at SuperSpeed or faster,
// which sits on its controller's SuperSpeed root hub, the bus of the same controller's USB 2 root hub, whose
// connectors those are, so that a connector keeps one name at any speed. The port's peer on the USB 2 side tells it
// at any depth (port links since Linux 3.9, peer since 3.16); older kernels pair root ports by number, as the kernel
// does when firmware says nothing, and so does this: the controller's root hub below SuperSpeed. USB 2 ports have
// peer links too, pointing the other way: a device below SuperSpeed keeps its own bus.
static unsigned connector_bus(const char *disk, const char *speed, int depth)
{
    char path[kPathSize];
    unsigned own = usb_device_has(path, sizeof path, disk, "busnum") ? bus_file(path) : 0;
    if (!is_super_speed(speed))
        return own;
    if (usb_device_has(path, sizeof path, disk, "port/peer/../../busnum"))
        if (unsigned peer = bus_file(path))
            return peer;
    // the controller lies above the root hub, one level up per number of the device path
    char up[32];
    snprintf(up, sizeof up, "%.*s", 3 * (depth + 1) - 1, "../../../../../../../..");
    unsigned usb2 = usb_device_has(path, sizeof path, disk, up) ? usb2_root_hub(path) : 0;
    return usb2 ? usb2 : own;
}

// "usb B-DEVPATH sdX SPEED USBx.yy STATE" for a disk on USB; false for one that is not.
static bool usb_port_line(char *line, size_t size, const char *disk, const char *state)
{
    char path[kPathSize], devpath[32], speed[8] = "", connector[48] = "-";
    if (!usb_device_has(path, sizeof path, disk, "devpath"))
        return false;
    int depth = dotted_numbers(dotted_file(path, 7, devpath, sizeof devpath));
    if (usb_device_has(path, sizeof path, disk, "speed"))
        speed_file(path, speed, sizeof speed);
    unsigned bus = connector_bus(disk, speed, depth);
    if (bus && depth)
        snprintf(connector, sizeof connector, "%u-%s", bus, devpath);
    const char *version = kernel_usb_version(disk);
    int n = snprintf(line, size, "usb %s %s %s %s%s %s\n", connector, disk, speed[0] ? speed : "-",
                     version ? "USB" : "-", version ? version : "", state);
    return n > 0 && (size_t)n < size;
}

// The ATA port a disk sits on: N of the ataN folder three levels above its SCSI device H:C:T:L, whose channel C
// names the port multiplier's link the disk is behind. false when there is no such folder (kernels before 2.6.37).
static bool ata_port_of(const char *disk, unsigned &port, unsigned &channel)
{
    char link[80], real[PATH_MAX];
    snprintf(link, sizeof link, "/sys/block/%s/device", disk);
    if (!realpath(link, real))
        return false;
    char *name[4];  // .../ataN/hostH/targetH:C:T/H:C:T:L, from the end
    for (char *&n : name) {
        char *slash = strrchr(real, '/');
        if (!slash)
            return false;
        *slash = '\0';
        n = slash + 1;
    }
    unsigned host = 0, target = 0, lun = 0;
    char rest;
    return sscanf(name[0], "%u:%u:%u:%u%c", &host, &channel, &target, &lun, &rest) == 4 &&
           strncmp(name[3], "ata", 3) == 0 && is_digit(name[3][3]) && sscanf(name[3] + 3, "%u%c", &port, &rest) == 1;
}

// "1.5 Gbps", "3.0 Gbps", "6.0 Gbps" give 1500, 3000, 6000; "<unknown>" and anything else, "".
static const char *sata_speed(const char *path, char *out, size_t size)
{
    const char *text = cat_file(path);
    unsigned gbps = 0, tenth = 0;
    int end = 0;
    out[0] = '\0';
    if (is_digit(text[0]) && sscanf(text, "%2u.%1u Gbps%n", &gbps, &tenth, &end) == 2 && end > 0 && !text[end])
        snprintf(out, size, "%u", gbps * 1000 + tenth * 100);
    return out;
}

// "sata ataN sdX SPEED - STATE" for a disk on an ATA port; false for one that is not. libata names every disk's
// vendor "ATA", which tells such a disk where the kernel has no ATA port folder yet: its connector is then "-".
static bool sata_port_line(char *line, size_t size, const char *disk, const char *state)
{
    char path[kPathSize], connector[16] = "-", speed[8] = "";
    unsigned port = 0, channel = 0;
    if (ata_port_of(disk, port, channel)) {
        snprintf(connector, sizeof connector, "ata%u", port);
        // behind a port multiplier the disk's link is linkN.M, M its SCSI channel
        snprintf(path, sizeof path, "/sys/class/ata_link/link%u.%u/sata_spd", port, channel);
        if (access(path, F_OK) != 0)
            snprintf(path, sizeof path, "/sys/class/ata_link/link%u/sata_spd", port);
        sata_speed(path, speed, sizeof speed);
    } else {
        snprintf(path, sizeof path, "/sys/block/%s/device/vendor", disk);
        const char *vendor = cat_file(path);
        if (strncmp(vendor, "ATA", 3) != 0 || (vendor[3] && vendor[3] != ' '))
            return false;
    }
    int n = snprintf(line, size, "sata %s %s %s - %s\n", connector, disk, speed[0] ? speed : "-", state);
    return n > 0 && (size_t)n < size;
}

// The kernel names its SCSI disks sd and letters; any other name would not be one field of a line.
static bool is_sd_name(const char *disk)
{
    return strncmp(disk, "sd", 2) == 0 && disk[2] && strspn(disk + 2, "abcdefghijklmnopqrstuvwxyz") == strlen(disk + 2);
}

static std::string_view first_line(const char *text)
{
    return std::string_view(text, strcspn(text, "\n"));
}

// The next blank-separated field of a line.
static std::string_view next_field(std::string_view &line)
{
    size_t end = line.find(' ');
    std::string_view field = line.substr(0, end);
    line.remove_prefix(end == std::string_view::npos ? line.size() : end + 1);
    return field;
}

// The next number of a connector, "3-1.2" or "ata1"; false at its end.
static bool next_number(std::string_view &connector, unsigned long &n)
{
    while (!connector.empty() && !is_digit(connector.front()))
        connector.remove_prefix(1);
    if (connector.empty())
        return false;
    for (n = 0; !connector.empty() && is_digit(connector.front()); connector.remove_prefix(1))
        n = n > (ULONG_MAX - 9) / 10 ? ULONG_MAX : n * 10 + (unsigned long)(connector.front() - '0');
    return true;
}

// The order of disk_ports' lines: usb before sata; connectors by their numbers as numbers ("3-2" before "3-10",
// "3-1" before "3-1.1"), one without a name last; then the disk's name, shorter first (the slots of a reader).
static bool comes_before(std::string_view a, std::string_view b)
{
    std::string_view kind_a = next_field(a), kind_b = next_field(b);
    if (kind_a != kind_b)
        return kind_a == "usb";
    std::string_view at_a = next_field(a), at_b = next_field(b);
    if ((at_a == "-") != (at_b == "-"))
        return at_b == "-";
    for (;;) {
        unsigned long n_a = 0, n_b = 0;
        bool more_a = next_number(at_a, n_a), more_b = next_number(at_b, n_b);
        if (!more_a || !more_b) {
            if (more_a != more_b)
                return more_b;
            break;
        }
        if (n_a != n_b)
            return n_a < n_b;
    }
    std::string_view disk_a = next_field(a), disk_b = next_field(b);
    if (disk_a.size() != disk_b.size())
        return disk_a.size() < disk_b.size();
    return disk_a < disk_b;
}

// The lines so far, in order, in a buffer of size bytes. A line that does not fit is left out whole from the end
// of the order, and so is every line after it: cut holds the first line left out.
struct PortList {
    char *text;
    size_t size;
    size_t used;
    char cut[kPortLineSize];
};

static void insert_line(PortList &list, const char *line)
{
    size_t len = strlen(line);
    if (list.cut[0] && !comes_before(first_line(line), first_line(list.cut)))
        return;
    size_t at = 0;
    while (at < list.used && !comes_before(first_line(line), first_line(list.text + at)))
        at += first_line(list.text + at).size() + 1;
    while (list.used + len >= list.size) {
        if (at == list.used) {
            snprintf(list.cut, sizeof list.cut, "%s", line);
            return;
        }
        size_t last = list.used - 1;
        while (last > 0 && list.text[last - 1] != '\n')
            last--;
        snprintf(list.cut, sizeof list.cut, "%s", list.text + last);
        list.used = last;
        list.text[last] = '\0';
    }
    memmove(list.text + at + len, list.text + at, list.used - at);
    memcpy(list.text + at, line, len);
    list.used += len;
    list.text[list.used] = '\0';
}

const char *disk_ports(void)
{
    static char ports[2048];
    PortList list = {ports, sizeof ports, 0, ""};
    DiskWalk walk;

    ports[0] = '\0';
    scratch_lock();
    // the same snapshot as korvalt's, made anew: a tool that reads it after korvalt sees this run's (kept for the
    // device's callers: docs/developing.md)
    run_into(kDfCommand, kDfSnapshot);
    if (open_disks(walk)) {
        while (const char *disk = next_disk(walk)) {
            if (!is_sd_name(disk))
                continue;
            char line[kPortLineSize];
            const char *state = is_mounted(disk) ? "mounted" : "unmounted";
            if (usb_port_line(line, sizeof line, disk, state) || sata_port_line(line, sizeof line, disk, state))
                insert_line(list, line);
        }
    }
    scratch_unlock();
    return ports;
}
