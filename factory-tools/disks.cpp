// The device's disks: which there are, which are mounted, what each sits on. korvalt's report, the library's
// disk_ports and the port test stand on this.

#include "disks.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string_view>
#include <utility>

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
static bool is_whole_disk(const char *disk)
{
    char path[64];
    int n = snprintf(path, sizeof path, "/sys/block/%s", disk);
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
static bool df_line_names_disk(const char *line, const char *disk)
{
    char path_name[100] = {};
    unsigned long long cap = 0;
    return sscanf(line, "%99s %llu", path_name, &cap) == 2 && strncmp(last_component(path_name), disk, 3) == 0;
}

// The snapshot is reread for every disk.
bool is_mounted(const char *disk)
{
    char line[256];
    bool flag = false;

    FILE *fp = open_for_reading(kDfScratch.file);
    if (!fp)
        return false;
    while (read_line(fp, line, sizeof line))
        if (df_line_names_disk(line, disk))
            flag = true;
    fclose(fp);
    return flag;
}

// A sysfs path is followed as the kernel follows it, links and "..", to the folder or file it leads to, which must
// then fit kPathSize bytes: one bound for every path of the walk.
constexpr size_t kPathSize = 160;

static bool fits(int n, size_t size)
{
    return n > 0 && (size_t)n < size;
}

static void cut_last(char *path)
{
    char *slash = strrchr(path, '/');
    *(slash ? slash : path) = '\0';
}

// path becomes what it leads to; false when it leads nowhere (a link to nothing, a loop) or that does not fit.
static bool resolve(char *path, size_t size)
{
    char real[PATH_MAX];
    return realpath(path, real) && fits(snprintf(path, size, "%s", real), size);
}

// The disk's SCSI device folder (.../H:C:T:L): /sys/block/sdX is a link to the disk's folder below it (or a folder
// itself, on old kernels), whose device link leads back up.
static bool scsi_device_of(const char *disk, char *path, size_t size)
{
    return fits(snprintf(path, size, "/sys/block/%s/device", disk), size) && resolve(path, size);
}

static bool has_file(const char *dir, const char *name)
{
    char path[kPathSize];
    return fits(snprintf(path, sizeof path, "%s/%s", dir, name), sizeof path) && access(path, F_OK) == 0;
}

// usb-storage and UAS alike put a disk's SCSI device four levels below its USB device (B-P, B-P:C.I, hostH,
// targetH:C:T). The folder must be a USB device (busnum and devnum): four levels above an ATA disk lies its
// controller.
bool usb_device_of(const char *disk, char *path, size_t size)
{
    if (!scsi_device_of(disk, path, size))
        return false;
    for (int up = 0; up < 4; up++)
        cut_last(path);
    return path[0] && has_file(path, "busnum") && has_file(path, "devnum");
}

// The first line of the file name in the folder dir; "" when there is none.
static const char *file_in(const char *dir, const char *name)
{
    char path[kPathSize];
    return fits(snprintf(path, sizeof path, "%s/%s", dir, name), sizeof path) ? cat_file(path) : "";
}

// The version of the USB device at usb. The kernel prints it as the device list does (" 2.00"). Only a non-empty run
// of digits and dots, blanks around it, is a version; null otherwise.
static const char *version_of(const char *usb)
{
    static char version[16];
    char rest;
    return sscanf(file_in(usb, "version"), " %15[0-9.] %c", version, &rest) == 1 ? version : nullptr;
}

const char *kernel_usb_version(const char *disk)
{
    char usb[kPathSize];
    return usb_device_of(disk, usb, sizeof usb) ? version_of(usb) : nullptr;
}

// disk_ports: which connector each disk is in and what speed its link reached

static bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Both at once: numbers of at most digits digits (counting, when they may not start with 0) joined by single dots.
static int numbers_joined(std::string_view text, size_t digits, bool counting)
{
    int numbers = 0;
    for (;;) {
        size_t n = 0;
        while (n < text.size() && is_digit(text[n]))
            n++;
        if (n == 0 || n > digits || (counting && text[0] == '0'))
            return 0;
        numbers++;
        text.remove_prefix(n);
        if (text.empty())
            return numbers;
        if (text.front() != '.')
            return 0;
        text.remove_prefix(1);
    }
}

int dotted_numbers(std::string_view text)
{
    return numbers_joined(text, text.size(), false);
}

int dotted_numbers(const char *text)
{
    return dotted_numbers(std::string_view(text));
}

int counting_numbers(std::string_view text, size_t digits)
{
    return numbers_joined(text, digits, true);
}

int counting_numbers(const char *text, size_t digits)
{
    return counting_numbers(std::string_view(text), digits);
}

// The blank-separated fields of line, cut apart in place: how many there are, the first max of them in fields.
int split_fields(char *line, char **fields, int max)
{
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    int n = 0;
    for (char *at = line;; n++) {
        while (blank(*at))
            at++;
        if (!*at)
            return n;
        if (n < max)
            fields[n] = at;
        while (*at && !blank(*at))
            at++;
        if (*at)
            *at++ = '\0';
    }
}

// The first line of the file name in dir when it is numbers joined by dots, at most max_numbers of them and shorter
// than size; "" otherwise.
static const char *dotted_file(const char *dir, const char *name, int max_numbers, char *out, size_t size)
{
    std::string_view text = file_in(dir, name);
    int numbers = dotted_numbers(text);
    bool ok = numbers > 0 && numbers <= max_numbers && text.size() < size;
    snprintf(out, size, "%.*s", ok ? (int)text.size() : 0, text.data());
    return out;
}

static bool is_super_speed(const char *speed)
{
    size_t whole = 0;  // the kernel writes no leading zero
    while (is_digit(speed[whole]))
        whole++;
    return whole > 4 || (whole == 4 && speed[0] >= '5');
}

// The bus of the USB 2 root hub (usbB, the one below SuperSpeed) of the controller that the USB device at usb sits
// on; "" when there is none. The controller is the folder above the device's root hub: a controller has one root
// hub per speed class.
static const char *usb2_bus_of(const char *usb, char *bus, size_t size)
{
    char controller[kPathSize];
    snprintf(controller, sizeof controller, "%s", usb);
    const char *name = "";
    while (controller[0] && !(strncmp(name, "usb", 3) == 0 && dotted_numbers(name + 3) == 1)) {
        cut_last(controller);
        name = last_component(controller);
    }
    cut_last(controller);
    bus[0] = '\0';
    DIR *d = controller[0] ? opendir(controller) : nullptr;
    if (!d)
        return bus;
    while (struct dirent *e = readdir(d)) {
        char hub[kPathSize], speed[8];
        if (strncmp(e->d_name, "usb", 3) != 0 || dotted_numbers(e->d_name + 3) != 1 ||
            !fits(snprintf(hub, sizeof hub, "%s/%s", controller, e->d_name), sizeof hub) ||
            !dotted_file(hub, "speed", 2, speed, sizeof speed)[0] || is_super_speed(speed))
            continue;
        if (dotted_file(hub, "busnum", 1, bus, size)[0])
            break;
    }
    closedir(d);
    return bus;
}

// The connector that a hub port's folder stands for: the kernel names root port N of bus B "usbB-portN" and port N
// of the hub at B-P.Q "B-P.Q-portN", which give "B-N" and "B-P.Q.N". false for any other name.
static bool connector_of_port(const char *port, char *out, size_t size)
{
    const char *name = last_component(port), *at = strrchr(name, '-');
    if (!at || strncmp(at, "-port", 5) != 0 || dotted_numbers(at + 5) != 1)
        return false;
    int hub = (int)(at - name);
    const char *dash = strchr(name, '-');
    if (strncmp(name, "usb", 3) == 0 && dotted_numbers(std::string_view(name + 3, hub - 3)) == 1)
        return fits(snprintf(out, size, "%.*s-%s", hub - 3, name + 3, at + 5), size);
    return dash < at && dotted_numbers(std::string_view(name, dash - name)) == 1 &&
           dotted_numbers(std::string_view(dash + 1, at - dash - 1)) > 0 &&
           fits(snprintf(out, size, "%.*s.%s", hub, name, at + 5), size);
}

// The connector of the USB device at usb, "B-DEVPATH": its own bus and device path; but a device at SuperSpeed or
// faster sits on its controller's SuperSpeed root hub, and its connector is named by its USB 2 side, so that a
// connector keeps one name at any speed. Its hub port's peer (port links since Linux 3.9, peer since 3.16) is that
// USB 2 port, at any depth and whatever its number; without a usable peer, the kernel pairs root ports by number,
// and so does this: the device's own path on the same controller's USB 2 bus. USB 2 ports have peer links too,
// pointing the other way: a device below SuperSpeed keeps its own bus.
static void usb_connector(const char *usb, const char *speed, char *out, size_t size)
{
    char bus[10], devpath[32], peer[kPathSize];
    out[0] = '\0';
    if (is_super_speed(speed) && fits(snprintf(peer, sizeof peer, "%s/port/peer", usb), sizeof peer) &&
        resolve(peer, sizeof peer) && connector_of_port(peer, out, size))
        return;
    if (!dotted_file(usb, "devpath", 7, devpath, sizeof devpath)[0])
        return;
    if (!is_super_speed(speed) || !usb2_bus_of(usb, bus, sizeof bus)[0])
        dotted_file(usb, "busnum", 1, bus, sizeof bus);
    if (bus[0] && !fits(snprintf(out, size, "%s-%s", bus, devpath), size))
        out[0] = '\0';
}

static bool usb_port(DiskPort &p)
{
    char usb[kPathSize];
    if (!usb_device_of(p.disk, usb, sizeof usb))
        return false;
    p.kind = DISK_USB;
    dotted_file(usb, "speed", 2, p.speed, sizeof p.speed);
    usb_connector(usb, p.speed, p.connector, sizeof p.connector);
    const char *version = version_of(usb);
    snprintf(p.version, sizeof p.version, "%s", version ? version : "");
    return true;
}

// "1.5 Gbps", "3.0 Gbps", "6.0 Gbps" give 1500, 3000, 6000; "<unknown>" and anything else, "".
static void sata_speed(const char *path, char *out, size_t size)
{
    const char *text = cat_file(path);
    unsigned gbps = 0, tenth = 0;
    int end = 0;
    out[0] = '\0';
    if (is_digit(text[0]) && sscanf(text, "%2u.%1u Gbps%n", &gbps, &tenth, &end) == 2 && end > 0 && !text[end])
        snprintf(out, size, "%u", gbps * 1000 + tenth * 100);
}

// The ATA port a disk sits on: N of the ataN folder three levels above its SCSI device H:C:T:L, whose channel C
// names the port multiplier's link the disk is behind. false when there is no such folder (kernels before 2.6.37).
static bool ata_port_of(const char *disk, unsigned &port, unsigned &channel)
{
    char path[kPathSize], rest;
    unsigned host = 0, target = 0, lun = 0;
    if (!scsi_device_of(disk, path, sizeof path) ||
        sscanf(last_component(path), "%u:%u:%u:%u%c", &host, &channel, &target, &lun, &rest) != 4)
        return false;
    for (int up = 0; up < 3; up++)  // targetH:C:T, hostH, ataN
        cut_last(path);
    const char *ata = last_component(path);
    return strncmp(ata, "ata", 3) == 0 && is_digit(ata[3]) && sscanf(ata + 3, "%u%c", &port, &rest) == 1;
}

// A disk on an ATA port; false for one that is not. libata names every disk's vendor "ATA", which tells such a disk
// where the kernel has no ATA port folder yet: its connector is then unknown.
static bool sata_port(DiskPort &p)
{
    char path[kPathSize];
    unsigned port = 0, channel = 0;
    p.kind = DISK_SATA;
    if (!ata_port_of(p.disk, port, channel)) {
        snprintf(path, sizeof path, "/sys/block/%s/device/vendor", p.disk);
        const char *vendor = cat_file(path);
        return strncmp(vendor, "ATA", 3) == 0 && (!vendor[3] || vendor[3] == ' ');
    }
    snprintf(p.connector, sizeof p.connector, "ata%u", port);
    // behind a port multiplier the disk's link is linkN.M, M its SCSI channel
    snprintf(path, sizeof path, "/sys/class/ata_link/link%u.%u/sata_spd", port, channel);
    if (access(path, F_OK) != 0)
        snprintf(path, sizeof path, "/sys/class/ata_link/link%u/sata_spd", port);
    sata_speed(path, p.speed, sizeof p.speed);
    return true;
}

// The kernel names its SCSI disks sd and letters; any other name would not be one field of a line.
static bool is_sd_name(const char *disk)
{
    if (strncmp(disk, "sd", 2) != 0 || !disk[2])
        return false;
    for (const char *c = disk + 2; *c; c++)
        if (*c < 'a' || *c > 'z')
            return false;
    return true;
}

// The next number of a connector ("3-1.2", "ata1"), into n; false at its end.
static bool next_number(const char *&at, unsigned long &n)
{
    while (*at && !is_digit(*at))
        at++;
    if (!*at)
        return false;
    for (n = 0; is_digit(*at); at++)
        n = n * 10 + (*at - '0');
    return true;
}

// The order of list_disk_ports, said in disks.h.
static bool comes_before(const DiskPort &a, const DiskPort &b)
{
    if (a.kind != b.kind)
        return a.kind == DISK_USB;
    if (!a.connector[0] != !b.connector[0])
        return b.connector[0] == '\0';
    const char *at_a = a.connector, *at_b = b.connector;
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
    size_t len_a = strlen(a.disk), len_b = strlen(b.disk);
    return len_a != len_b ? len_a < len_b : strcmp(a.disk, b.disk) < 0;
}

// Puts p in its place among the n sorted ports; when all max are taken, the last of the order is left out.
static size_t insert_port(DiskPort *ports, size_t n, size_t max, const DiskPort &p)
{
    size_t at = n;
    while (at > 0 && comes_before(p, ports[at - 1]))
        at--;
    if (at == max)
        return n;
    if (n == max)
        n--;
    ports[n] = p;
    for (size_t i = n; i > at; i--)
        std::swap(ports[i], ports[i - 1]);
    return n + 1;
}

size_t list_disk_ports(DiskPort *ports, size_t max)
{
    size_t n = 0;
    DiskWalk walk;
    if (!open_disks(walk))
        return 0;
    while (const char *disk = next_disk(walk)) {
        DiskPort p = {};
        if (!is_sd_name(disk) || !fits(snprintf(p.disk, sizeof p.disk, "%s", disk), sizeof p.disk))
            continue;
        if (usb_port(p) || sata_port(p))
            n = insert_port(ports, n, max, p);
    }
    return n;
}

// "usb B-DEVPATH sdX SPEED USBx.yy STATE" or "sata ataN sdX SPEED - STATE", "-" for what is unknown; the state
// is the df snapshot's.
static bool format_port(char *line, size_t size, const DiskPort &p)
{
    const char *usb = p.kind == DISK_USB && p.version[0] ? "USB" : "-";
    return fits(snprintf(line, size, "%s %s %s %s %s%s %s\n", p.kind == DISK_USB ? "usb" : "sata",
                         p.connector[0] ? p.connector : "-", p.disk, p.speed[0] ? p.speed : "-", usb,
                         p.kind == DISK_USB ? p.version : "", is_mounted(p.disk) ? "mounted" : "unmounted"),
                size);
}

// One static text holds the lines for korvalt-query and the library's callers: 2,048 bytes take 60-odd lines, more
// disks than the device's ports and hubs can hold. Lines that do not fit are left out whole, from the end of the
// order: the text is the longest run of whole lines from its start. A line is at least 22 bytes, so no more than
// 93 fit, and the first kMaxPorts of the order are all that can.
constexpr size_t kMaxPorts = 96;

const char *disk_ports(void)
{
    static char text[2048];
    static DiskPort ports[kMaxPorts];
    size_t used = 0;

    text[0] = '\0';
    scratch_lock();
    // the same snapshot as korvalt's, made anew: a tool that reads it after korvalt sees this run's (kept for the
    // device's callers: docs/developing.md)
    run_into(kDfScratch.command, kDfScratch.file);
    size_t n = list_disk_ports(ports, kMaxPorts);
    for (size_t i = 0; i < n && format_port(text + used, sizeof text - used, ports[i]); i++)
        used += strlen(text + used);
    scratch_unlock();
    text[used] = '\0';
    return text;
}
