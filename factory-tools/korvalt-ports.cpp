// korvalt-ports: a verdict for each connector of the board's port plan, from the disks the kernel shows on it.
//
// Usage: korvalt-ports PLAN [MIB]
//        korvalt-ports --write-plan
//
// PLAN has a row per connector, "LABEL CONNECTOR SPEED WRITE READ", blanks or tabs between the fields and "#" to the
// end of a line a comment. CONNECTOR is a name that disk_ports gives ("1-1.2", "ata1"), or several joined by
// commas: one port under each name the kernel may give it (an EHCI's port and the same port on its companion
// controller). SPEED is the least link speed in Mbit/s, WRITE and READ the least MB/s of the data check, each a
// number with at most one decimal, or "-": not checked. MIB (1 to 256, 8 by default) is the data check's size.
//
// For each row, in the plan's order, a line per disk on its connector (a reader's slots share one), or one line
// when there is none:
//     LABEL CONNECTOR DISK SPEED WRITE READ VERDICT
// "-" for what there is not; VERDICT "pass" or "fail:REASON", the first check that failed. Then a line for each disk
// on a connector that no row names (label "-", verdict "extra", no failure), and "ports: P of N pass". What made a
// row fail goes to standard error too. Status 0 when every row passes, 1 when one fails, 2 for a wrong call or plan
// (found before anything is looked at), 3 when the lines cannot be written.
//
// --write-plan prints a plan of the disks plugged in now, a row per connector at the speed its link reached.
//
// Only the plan and the kernel's /proc and /sys are read, and no process is started: a port test must not hang on a
// stale mount, as df would.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string_view>

#include "disks.h"
#include "trust.h"
#include "util.h"

using std::string_view;

constexpr int kMaxRows = 32;
constexpr int kMaxNames = 4;       // the names of one connector: its own and its companion controllers'
constexpr size_t kLineSize = 256;  // a plan's line, comment and all
constexpr size_t kMaxDisks = 96;   // more than the ports and hubs of any board hold
constexpr long kUnchecked = -1;

// A row of the plan. Speeds and rates are held in tenths (1.5 Mbit/s is 15): the programs use no floating point.
struct Row {
    int line;
    char label[25];
    char names[kMaxNames][sizeof DiskPort::connector];
    int n_names;
    long speed, write, read;
};

// A disk's verdict, the first of this order that failed: found on the connector, its link's speed, and then the data
// check's (its filesystem, room for the file, writing, reading back, comparing, the deadline, the two rates).
enum Verdict {
    kPass, kNoDisk, kSpeed, kUnmounted, kReadOnly, kNoSpace, kWriteError, kReadError, kMismatch, kTimeout,
    kSlowWrite, kSlowRead,
};
static const char *const kVerdictNames[] = {
    "pass", "no-disk", "speed", "unmounted", "read-only", "no-space", "write-error", "read-error", "mismatch",
    "timeout", "slow-write", "slow-read",
};

static const char *plan_path;
static int plan_line;

// What is wrong with the plan, at the line being read: on standard error, and status 2.
__attribute__((format(printf, 1, 2))) static int bad_plan(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fprintf(stderr, "korvalt-ports: %s:%d: ", plan_path, plan_line);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    return 2;
}

static int usage()
{
    fputs("usage: korvalt-ports PLAN [MIB] | korvalt-ports --write-plan\n", stderr);
    return 2;
}

// A field of the plan as a message may show it: 40 characters at most, anything but printable ASCII as "?".
static const char *printable(string_view field)
{
    static char shown[44];
    size_t n = 0;
    for (; n < field.size() && n < 40; n++)
        shown[n] = field[n] > ' ' && field[n] < 0x7f ? field[n] : '?';
    snprintf(shown + n, sizeof shown - n, "%s", field.size() > 40 ? "..." : "");
    return shown;
}

// The first n characters of text, or all of it: substr, but without the C++ run-time's exception.
static string_view first(string_view text, size_t n)
{
    return string_view(text.data(), n < text.size() ? n : text.size());
}

// A connector as disk_ports names one: "B-P", "B-P.Q..." or "ataN".
static bool is_connector_name(string_view name)
{
    size_t dash = name.find('-');
    string_view ports = name;
    ports.remove_prefix(dash != string_view::npos ? dash + 1 : name.rfind("ata", 0) == 0 ? 3 : name.size());
    if (name.size() >= sizeof DiskPort::connector)
        return false;
    if (dash == string_view::npos)
        return dotted_numbers(ports) == 1;
    return dotted_numbers(first(name, dash)) == 1 && dotted_numbers(ports) > 0;
}

static bool is_label(string_view label)
{
    constexpr string_view kLetters = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._-";
    return !label.empty() && label.size() < sizeof Row::label && kLetters.find(label[0]) < 62 &&
           label.find_first_not_of(kLetters) == string_view::npos;
}

// "480", "1.5": at most seven digits and one decimal, into tenths; "-" is kUnchecked. false for anything else.
static bool parse_tenths(string_view text, long &tenths)
{
    if (text == "-") {
        tenths = kUnchecked;
        return true;
    }
    size_t dot = text.find('.');
    int numbers = dotted_numbers(text);
    if (!(numbers == 1 && text.size() <= 7) && !(numbers == 2 && dot <= 7 && dot + 2 == text.size()))
        return false;
    tenths = 0;
    for (char c : text)
        if (c != '.')
            tenths = tenths * 10 + (c - '0');
    if (numbers == 1)
        tenths *= 10;
    return true;
}

// Tenths as text: as the plan writes them ("480", "1.5"), or as a line shows a rate, always with one decimal
// ("12.0"); "-" for none.
static const char *shown_tenths(long tenths, bool rate, char *out, size_t size)
{
    snprintf(out, size, tenths == kUnchecked ? "-" : rate || tenths % 10 ? "%ld.%ld" : "%ld", tenths / 10,
             tenths % 10);
    return out;
}

// The blank-separated fields of text: how many there are, the first max of them in fields.
static int split_fields(string_view text, string_view *fields, int max)
{
    int n = 0;
    for (;;) {
        size_t start = text.find_first_not_of(" \t");
        if (start == string_view::npos)
            return n;
        text.remove_prefix(start);
        size_t end = text.find_first_of(" \t");
        if (n < max)
            fields[n] = first(text, end);
        n++;
        text.remove_prefix(end == string_view::npos ? text.size() : end);
    }
}

// The row that names connector, among the first n rows; null when none does.
static const Row *row_naming(const Row *rows, int n, string_view connector)
{
    for (int r = 0; r < n; r++)
        for (int i = 0; i < rows[r].n_names; i++)
            if (connector == rows[r].names[i])
                return &rows[r];
    return nullptr;
}

// One line of the plan, comment and carriage return cut off, into rows[n]: 1 for a row, 0 for a line without one,
// 2 (said on standard error) for a wrong one.
static int parse_row(string_view text, Row *rows, int n)
{
    text = first(text, text.find('#'));
    string_view f[5];
    int fields = split_fields(text, f, 5);
    if (fields == 0)
        return 0;
    if (fields != 5)
        return bad_plan("%d fields, where a row has 5: LABEL CONNECTOR SPEED WRITE READ", fields);
    if (n == kMaxRows)
        return bad_plan("more than %d rows", kMaxRows);
    Row &row = rows[n];
    row = {};
    row.line = plan_line;
    if (!is_label(f[0]))
        return bad_plan("label %s: 1 to 24 of A-Za-z0-9._-, the first a letter or digit", printable(f[0]));
    for (int r = 0; r < n; r++)
        if (f[0] == rows[r].label)
            return bad_plan("label %s is line %d's already", printable(f[0]), rows[r].line);
    snprintf(row.label, sizeof row.label, "%.*s", (int)f[0].size(), f[0].data());
    for (string_view names = f[1];;) {
        size_t comma = names.find(',');
        string_view name = first(names, comma);
        if (!is_connector_name(name))
            return bad_plan("connector %s: a name as disk_ports gives it (1-2, 1-1.4, ata1), several joined by commas",
                            printable(name));
        const Row *other = row_naming(rows, n + 1, name);
        if (other)
            return bad_plan("connector %s stands in line %d already", printable(name), other->line);
        if (row.n_names == kMaxNames)
            return bad_plan("more than %d names for one connector", kMaxNames);
        snprintf(row.names[row.n_names++], sizeof row.names[0], "%.*s", (int)name.size(), name.data());
        if (comma == string_view::npos)
            break;
        names.remove_prefix(comma + 1);
    }
    const char *what[] = {"speed", "write", "read"};
    long *floors[] = {&row.speed, &row.write, &row.read};
    for (int i = 0; i < 3; i++)
        if (!parse_tenths(f[2 + i], *floors[i]))
            return bad_plan("%s %s: a number with at most one decimal (480, 1.5), or -", what[i], printable(f[2 + i]));
    return 1;
}

// The next line of the plan into line, its newline and a carriage return before it cut off. 1 for a line, 0 at the
// end of the plan, 2 (said on standard error) for a line too long, a NUL byte or a failed read.
static int next_line(FILE *fp, char *line, size_t size)
{
    size_t n = 0;
    int c;
    plan_line++;
    while ((c = getc(fp)) != EOF && c != '\n') {
        if (c == '\0')
            return bad_plan("a NUL byte: the plan is a text file");
        if (n + 1 == size)
            return bad_plan("longer than %d characters", (int)size - 1);
        line[n++] = (char)c;
    }
    if (ferror(fp))
        return bad_plan("cannot be read: %s", strerror(errno));
    if (c == EOF && n == 0)
        return 0;
    if (n > 0 && line[n - 1] == '\r')
        n--;
    line[n] = '\0';
    return 1;
}

// The plan's rows into rows, n their number: 0, or 2 when the plan cannot be read or is wrong (said on standard
// error). It is opened without waiting, so that a FIFO or a device in its place is refused, never waited for.
static int read_plan(const char *path, Row *rows, int &n)
{
    plan_path = path;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        fprintf(stderr, "korvalt-ports: %s: %s\n", path, fd < 0 ? strerror(errno) : "not a regular file");
        if (fd >= 0)
            close(fd);
        return 2;
    }
    FILE *fp = fdopen(fd, "r");
    if (!fp) {
        close(fd);
        return bad_plan("cannot be read: %s", strerror(errno));
    }
    char line[kLineSize];
    int status;
    n = 0;
    while ((status = next_line(fp, line, sizeof line)) == 1 && (status = parse_row(line, rows, n)) != 2)
        n += status;
    fclose(fp);
    if (status == 0 && n == 0) {
        fprintf(stderr, "korvalt-ports: %s: no rows\n", path);
        return 2;
    }
    return status;
}

// The data check: MIB written into a file of its own on the disk's mounted filesystem, timed to the end of fsync,
// read back from the stick itself (not from the page cache), timed, compared and removed. It runs in a child process
// per disk, whose figures reach the parent as they come: a stick that hangs in the kernel costs its deadline, and a
// WRITE measured before a stuck read is kept.

constexpr size_t kBlock = 512;
constexpr size_t kChunk = 256 * 1024;  // the one buffer, and every request but the last
constexpr char kMagic[8] = {'K', 'V', 'P', 'O', 'R', 'T', 'S', '1'};
constexpr char kFilePrefix[] = ".korvalt-ports-";
constexpr int kMaxDevices = 16;  // a disk and its partitions

// What the child tells the parent: a rate ('W', 'R': MB/s in tenths) or the first failure ('V').
struct Message {
    int kind;
    long value;
};

// What a disk's data check found: the rates in tenths of MB/s (kUnchecked: none) and its first failure.
struct Figures {
    long write, read;
    Verdict verdict;
};

static void send(int out, int kind, long value)
{
    Message m = {kind, value};
    if (write(out, &m, sizeof m) != sizeof m)
        _exit(1);
}

// The clock in microseconds, in 32 bits that wrap every 71 minutes: a difference of two is right for anything
// shorter, and the longest check (256 MiB, a deadline of 32 minutes) stays well within that. A 32-bit device divides
// them without a 64-bit division routine.
static uint32_t now_us()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint32_t)t.tv_sec * 1000000u + (uint32_t)t.tv_nsec / 1000u;
}

// bytes (256 MiB at most) in us (within a deadline, 32 minutes at most) as tenths of MB/s (10^6 bytes a second),
// rounded to the nearest: the line shows, and the floor is held to, the figure of the rate measured
static long rate(uint32_t bytes, uint32_t us)
{
    return (long)((bytes * 10u + us / 2) / (us ? us : 1));
}

// "maj:min" of a sysfs dev file, into devs[n]; the new count.
static int add_device(const char *path, dev_t *devs, int n)
{
    unsigned major = 0, minor = 0;
    char rest;
    if (n < kMaxDevices && sscanf(cat_file(path), "%u:%u%c", &major, &minor, &rest) == 2)
        devs[n++] = makedev(major, minor);
    return n;
}

// The device numbers of the disk and of its partitions (/sys/block/sdX/dev, sdXN/dev).
static int devices_of(const char *disk, dev_t *devs)
{
    char path[320];
    snprintf(path, sizeof path, "/sys/block/%s/dev", disk);
    int n = add_device(path, devs, 0);
    snprintf(path, sizeof path, "/sys/block/%s", disk);
    DIR *d = opendir(path);
    while (struct dirent *e = d ? readdir(d) : nullptr)
        if (strncmp(e->d_name, disk, strlen(disk)) == 0 &&
            snprintf(path, sizeof path, "/sys/block/%s/%s/dev", disk, e->d_name) < (int)sizeof path)
            n = add_device(path, devs, n);
    if (d)
        closedir(d);
    return n;
}

// The next line of the mount table, without its newline; false at its end. A line too long for line comes back
// empty: cut short, it would name another folder.
static bool next_mount_line(FILE *fp, char *line, size_t size)
{
    if (!read_line(fp, line, size))
        return false;
    size_t n = strlen(line);
    if (n > 0 && line[n - 1] == '\n')
        line[n - 1] = '\0';
    else if (n + 1 == size)
        line[0] = '\0';
    return true;
}

static bool is_octal(char c)
{
    return c >= '0' && c <= '7';
}

// A mount table field with the kernel's octal escapes ("\040" for a blank) decoded into out; false when it does not
// fit. The C library's reader would decode none on uClibc, and split long lines.
static bool decode_field(string_view field, char *out, size_t size)
{
    size_t n = 0;
    for (size_t i = 0; i < field.size(); i++) {
        char c = field[i];
        if (c == '\\' && field.size() - i > 3 && is_octal(field[i + 1]) && is_octal(field[i + 2]) &&
            is_octal(field[i + 3])) {
            c = (char)((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        }
        if (n + 1 >= size || c == '\0')
            return false;
        out[n++] = c;
    }
    out[n] = '\0';
    return n > 0;
}

static bool has_option(string_view options, string_view option)
{
    for (;;) {
        size_t comma = options.find(',');
        if (first(options, comma) == option)
            return true;
        if (comma == string_view::npos)
            return false;
        options.remove_prefix(comma + 1);
    }
}

static bool is_one_of(dev_t dev, const dev_t *devs, int n)
{
    for (int i = 0; i < n; i++)
        if (devs[i] == dev)
            return true;
    return false;
}

enum { kNoMount, kReadOnlyMount, kWritableMount };

// The disk's first read-write mount in /proc/mounts, by the device number of its folder (never by name): its folder
// into dir and its device into dev. kReadOnlyMount when all it has are read-only.
static int find_mount(const dev_t *devs, int n_devs, char *dir, size_t size, dev_t &dev)
{
    static char line[4352];
    int found = kNoMount;
    FILE *fp = open_for_reading("/proc/mounts");
    while (fp && found != kWritableMount && next_mount_line(fp, line, sizeof line)) {
        string_view f[4];
        struct stat st;
        if (split_fields(line, f, 4) < 4 || !decode_field(f[1], dir, size) || lstat(dir, &st) != 0 ||
            !S_ISDIR(st.st_mode) || !is_one_of(st.st_dev, devs, n_devs))
            continue;
        dev = st.st_dev;
        found = has_option(f[3], "ro") ? kReadOnlyMount : kWritableMount;
    }
    if (fp)
        fclose(fp);
    return found;
}

// Block i of a run: the magic, the run's nonce, its offset in the file (both little-endian), and the rest from a
// generator seeded by both, so that a block read back from the wrong place or from an earlier run differs. The
// generator works in 32-bit words, which a 32-bit device makes several times faster than 64-bit ones.
static void make_block(unsigned char *block, uint64_t nonce, uint64_t offset)
{
    memcpy(block, kMagic, 8);
    for (int b = 0; b < 8; b++) {
        block[8 + b] = (unsigned char)(nonce >> (8 * b));
        block[16 + b] = (unsigned char)(offset >> (8 * b));
    }
    uint64_t seed = nonce ^ (offset * 0x9e3779b97f4a7c15u);
    uint32_t x = (uint32_t)(seed ^ (seed >> 32)) | 1;
    for (size_t at = 24; at < kBlock; at += 4) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        memcpy(block + at, &x, 4);
    }
}

// The check's file while it exists, for the signal that ends the check early.
static int check_dir = -1;
static char check_file[40];

static void remove_file_and_exit(int)
{
    if (check_file[0])
        unlinkat(check_dir, check_file, 0);
    _exit(1);
}

// Files of a run that was cut short (our name, our magic first) are removed; a file of our name without it is not
// ours, and stays. Then the name this run uses: .korvalt-ports-PID, or with -N after it where such a file stands.
static void clear_leftovers(int dir, pid_t run)
{
    int list = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = list >= 0 ? fdopendir(list) : nullptr;
    while (struct dirent *e = d ? readdir(d) : nullptr) {
        if (strncmp(e->d_name, kFilePrefix, sizeof kFilePrefix - 1) != 0 ||
            strspn(e->d_name + sizeof kFilePrefix - 1, "0123456789-") != strlen(e->d_name + sizeof kFilePrefix - 1))
            continue;
        char magic[8] = {};
        struct stat st;
        int fd = openat(dir, e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && read(fd, magic, 8) == 8 &&
            memcmp(magic, kMagic, 8) == 0)
            unlinkat(dir, e->d_name, 0);
        if (fd >= 0)
            close(fd);
    }
    if (d)
        closedir(d);
    else if (list >= 0)
        close(list);
    snprintf(check_file, sizeof check_file, "%s%ld", kFilePrefix, (long)run);
    for (int n = 1; n < 100 && faccessat(dir, check_file, F_OK, AT_SYMLINK_NOFOLLOW) == 0; n++)
        snprintf(check_file, sizeof check_file, "%s%ld-%d", kFilePrefix, (long)run, n);
}

// Writes all of buf; false on an error.
static bool write_all(int fd, const unsigned char *buf, size_t size)
{
    for (size_t done = 0; done < size;) {
        ssize_t n = write(fd, buf + done, size - done);
        if (n <= 0 && errno != EINTR)
            return false;
        done += n > 0 ? n : 0;
    }
    return true;
}

// Whether no page of the file's first size bytes is in the page cache, as mincore sees the file mapped.
static bool none_cached(int fd, size_t size)
{
    long page = sysconf(_SC_PAGESIZE);
    void *map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED)
        return false;
    bool none = true;
    unsigned char pages[64];
    for (size_t at = 0; none && at < size; at += sizeof pages * page) {
        size_t len = size - at < sizeof pages * page ? size - at : sizeof pages * page;
        none = mincore((char *)map + at, len, pages) == 0;
        for (size_t i = 0; none && i < (len + page - 1) / page; i++)
            none = !(pages[i] & 1);
    }
    munmap(map, size);
    return none;
}

// The file opened for reading so that its data comes from the stick: O_DIRECT where the filesystem takes it; else
// the written pages dropped from the page cache by advice or, failing that, by the kernel's drop_caches, and none of
// them left. direct asks for O_DIRECT first, and tells whether it was taken; why says what failed when neither kept
// the cache out (the file is opened all the same, for the compare).
static int open_uncached(int dir, size_t size, bool &direct, const char *&why)
{
    why = nullptr;
    int fd = direct ? openat(dir, check_file, O_RDONLY | O_DIRECT | O_NOFOLLOW | O_CLOEXEC) : -1;
    direct = fd >= 0;
    if (direct)
        return fd;
    fd = openat(dir, check_file, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return fd;
    int advice = posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    if (advice == 0 && none_cached(fd, size))
        return fd;
    int drop = open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC);
    bool dropped = drop >= 0 && write(drop, "1", 1) == 1;
    if (drop >= 0)
        close(drop);
    if (dropped && none_cached(fd, size))
        return fd;
    why = advice == ENOSYS ? "the kernel has no page cache advice, and the page cache could not be dropped"
                           : "the file's pages stayed in the page cache";
    return fd;
}

// Reads the file back and compares it, block by block: the first failure, or kPass; the rate, unless the page cache
// could not be kept out.
static Verdict read_back(const Row &row, const DiskPort &p, uint32_t size, uint64_t nonce, unsigned char *buf,
                         int out)
{
    bool direct = true;
    const char *why;
    int fd = open_uncached(check_dir, size, direct, why);
    uint32_t us = 0, at = 0, differs = UINT32_MAX;
    unsigned char block[kBlock];
    while (fd >= 0 && at < size) {
        uint32_t start = now_us();
        ssize_t n = read(fd, buf, size - at < kChunk ? size - at : kChunk);
        us += now_us() - start;
        if (n < 0 && errno == EINVAL && direct && at == 0) {
            // the filesystem opened the file for O_DIRECT and refuses its reads: the page cache way
            close(fd);
            direct = false;
            fd = open_uncached(check_dir, size, direct, why);
            continue;
        }
        if (n <= 0) {
            fprintf(stderr, "%s %s: read at byte %llu: %s\n", row.label, p.connector, (unsigned long long)at,
                    n < 0 ? strerror(errno) : "the file ends there");
            close(fd);
            return kReadError;
        }
        for (size_t i = 0; differs == UINT32_MAX && i + kBlock <= (size_t)n; i += kBlock) {
            make_block(block, nonce, at + i);
            if (memcmp(block, buf + i, kBlock) != 0)
                for (size_t b = 0; differs == UINT32_MAX; b++)
                    if (block[b] != buf[i + b])
                        differs = at + i + b;
        }
        at += n;
    }
    if (fd < 0) {
        fprintf(stderr, "%s %s: cannot open the file again: %s\n", row.label, p.connector, strerror(errno));
        return kReadError;
    }
    close(fd);
    if (why)
        fprintf(stderr, "%s %s: READ not measured: %s\n", row.label, p.connector, why);
    else
        send(out, 'R', rate(size, us));
    if (differs != UINT32_MAX) {
        fprintf(stderr, "%s %s: the data read back differs from byte %llu on\n", row.label, p.connector,
                (unsigned long long)differs);
        return kMismatch;
    }
    return kPass;
}

// The check of one disk, in the child: its verdicts and rates go to out. Nothing is made but the check's file, and
// only in the root folder of a filesystem of this disk's.
static Verdict data_check(const Row &row, const DiskPort &p, long mib, pid_t run, int out)
{
    dev_t devs[kMaxDevices], dev = 0;
    static char dir[PATH_MAX];
    int mount = find_mount(devs, devices_of(p.disk, devs), dir, sizeof dir, dev);
    struct stat st;
    if (mount == kWritableMount) {
        check_dir = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (check_dir < 0 || fstat(check_dir, &st) != 0 || st.st_dev != dev)
            mount = kNoMount;
    }
    if (mount != kWritableMount) {
        fprintf(stderr, "%s %s: %s\n", row.label, p.connector,
                mount == kReadOnlyMount ? "mounted read-only" : "not mounted");
        return mount == kReadOnlyMount ? kReadOnly : kUnmounted;
    }
    // two runs check a mount one after the other; the wait counts against the deadline
    flock(check_dir, LOCK_EX);
    clear_leftovers(check_dir, run);
    uint32_t size = (uint32_t)mib << 20;
    struct statvfs fs;
    if (fstatvfs(check_dir, &fs) != 0 || (uint64_t)fs.f_bavail * fs.f_frsize < size + (1u << 20)) {
        fprintf(stderr, "%s %s: less than %ld MiB free in %s\n", row.label, p.connector, mib + 1, dir);
        return kNoSpace;
    }
    void *memory = nullptr;
    if (posix_memalign(&memory, 4096, kChunk) != 0)
        return kWriteError;
    unsigned char *buf = (unsigned char *)memory;
    uint64_t nonce = (uint64_t)now_us() << 32 | (uint32_t)run;

    int fd = openat(check_dir, check_file, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    // only the moving is timed, not the making: a slow processor must not count against the port
    uint32_t us = 0, at = 0, start;
    for (; fd >= 0 && at < size; at += kChunk) {
        for (size_t i = 0; i < kChunk; i += kBlock)
            make_block(buf + i, nonce, at + i);
        start = now_us();
        bool moved = write_all(fd, buf, size - at < kChunk ? size - at : kChunk);
        us += now_us() - start;
        if (!moved)
            break;
    }
    start = now_us();
    bool written = fd >= 0 && at >= size && fsync(fd) == 0;
    us += now_us() - start;
    if (!written)
        fprintf(stderr, "%s %s: writing %s at byte %llu: %s\n", row.label, p.connector, check_file,
                (unsigned long long)at, strerror(errno));
    if (fd >= 0)
        close(fd);
    Verdict verdict = kWriteError;
    if (written) {
        send(out, 'W', rate(size, us));
        verdict = read_back(row, p, size, nonce, buf, out);
    }
    if (unlinkat(check_dir, check_file, 0) == 0)
        check_file[0] = '\0';
    return verdict;
}

// A process of the run whose data check is under way, for the signals that end the run.
static pid_t checking;

static void end_run(int sig)
{
    if (checking > 0)
        kill(checking, SIGTERM);
    if (sig == SIGPIPE)
        _exit(3);
    signal(sig, SIG_DFL);
    raise(sig);
}

// The data check of one disk in a child process, within its deadline (7.5 s a MiB, at least 10 s): what it sent
// before the deadline, and timeout when it did not finish.
static Figures check_data(const Row &row, const DiskPort &p, long mib)
{
    Figures got = {kUnchecked, kUnchecked, kPass};
    int pipe_fds[2];
    fflush(stdout);
    fflush(stderr);
    pid_t run = getpid(), pid = pipe(pipe_fds) == 0 ? fork() : -1;
    if (pid == 0) {
        close(pipe_fds[0]);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
            signal(sig, remove_file_and_exit);
        send(pipe_fds[1], 'V', data_check(row, p, mib, run, pipe_fds[1]));
        _exit(0);
    }
    if (pid < 0) {
        fprintf(stderr, "%s %s: cannot start the data check: %s\n", row.label, p.connector, strerror(errno));
        got.verdict = kWriteError;
        return got;
    }
    checking = pid;
    close(pipe_fds[1]);
    long deadline_ms = mib * 7500 > 10000 ? mib * 7500 : 10000;
    uint32_t start = now_us(), limit = (uint32_t)deadline_ms * 1000u;
    enum { kWaiting, kFinished, kEnded, kLate } state = kWaiting;
    while (state == kWaiting) {
        uint32_t spent = now_us() - start;
        struct pollfd wait = {pipe_fds[0], POLLIN, 0};
        int ready = spent < limit ? poll(&wait, 1, (int)((limit - spent) / 1000u) + 1) : 0;
        Message m;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            state = kLate;
        else if (ready < 0 || read(pipe_fds[0], &m, sizeof m) != sizeof m)
            state = kEnded;
        else if (m.kind == 'W')
            got.write = m.value;
        else if (m.kind == 'R')
            got.read = m.value;
        else if (m.kind == 'V')
            got.verdict = (Verdict)m.value, state = kFinished;
    }
    close(pipe_fds[0]);
    if (state != kLate) {
        waitpid(pid, nullptr, 0);
        if (state == kEnded) {
            fprintf(stderr, "%s %s: the data check ended without a verdict\n", row.label, p.connector);
            got.verdict = got.write == kUnchecked ? kWriteError : kReadError;
        }
    } else {
        // a child stuck in the kernel ends when the kernel lets it, removing its file then; the next run removes
        // what it could not
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, WNOHANG);
        fprintf(stderr, "%s %s: no answer within %ld s\n", row.label, p.connector, deadline_ms / 1000);
        got.verdict = kTimeout;
    }
    checking = 0;
    return got;
}

// Whether value, the link's speed or a rate, reaches the row's floor; a figure that is not known misses it. What was
// found goes to standard error when it does not: "link at 12 Mbit/s" ("link speed unknown"), "writes at 3.5 MB/s". A
// rate is unknown only when the data check has said why already.
static bool reaches(const Row &row, const DiskPort &p, long value, long floor, const char *what, bool rate)
{
    char wanted[16], found[16];
    if (floor == kUnchecked || (value != kUnchecked && value >= floor))
        return true;
    if (value == kUnchecked && rate)
        return false;
    shown_tenths(floor, false, wanted, sizeof wanted);
    if (value == kUnchecked)
        fprintf(stderr, "%s %s: link speed unknown, %s wanted\n", row.label, p.connector, wanted);
    else
        fprintf(stderr, "%s %s: %s at %s %s, %s wanted\n", row.label, p.connector, what,
                shown_tenths(value, rate, found, sizeof found),
                rate ? "MB/s" : "Mbit/s", wanted);
    return false;
}

// A disk's line: for the row that names its connector, every check and its verdict, the first that failed; for no
// row (null), an extra disk, which nothing is written to.
static Verdict check_disk(const Row *row, const DiskPort &p, long mib)
{
    Figures got = {kUnchecked, kUnchecked, kPass};
    Verdict verdict = kPass;
    char write_rate[24], read_rate[24];
    if (row) {
        long speed = kUnchecked;
        parse_tenths(p.speed, speed);
        bool fast = reaches(*row, p, speed, row->speed, "link", false);
        got = check_data(*row, p, mib);
        bool writes = reaches(*row, p, got.write, row->write, "writes", true);
        bool reads = reaches(*row, p, got.read, row->read, "reads", true);
        verdict = !fast                 ? kSpeed
                  : got.verdict != kPass ? got.verdict
                  : !writes              ? kSlowWrite
                  : !reads               ? kSlowRead
                                         : kPass;
    }
    printf("%s %s %s %s %s %s %s%s\n", row ? row->label : "-", p.connector[0] ? p.connector : "-", p.disk,
           p.speed[0] ? p.speed : "-", shown_tenths(got.write, true, write_rate, sizeof write_rate),
           shown_tenths(got.read, true, read_rate, sizeof read_rate), verdict == kPass ? "" : "fail:",
           row ? kVerdictNames[verdict] : "extra");
    return verdict;
}

// The verdicts of the plan's rows on the disks found; true when every row passes.
static bool check_ports(const Row *rows, int n_rows, const DiskPort *ports, size_t n_ports, long mib)
{
    int passed = 0;
    for (const Row *row = rows; row < rows + n_rows; row++) {
        bool found = false, pass = true;
        for (size_t i = 0; i < n_ports; i++)
            if (row_naming(row, 1, ports[i].connector)) {
                found = true;
                pass = check_disk(row, ports[i], mib) == kPass && pass;
            }
        if (!found) {
            printf("%s %s - - - - fail:%s\n", row->label, row->names[0], kVerdictNames[kNoDisk]);
            fprintf(stderr, "%s %s: no disk\n", row->label, row->names[0]);
            pass = false;
        }
        passed += pass;
    }
    for (size_t i = 0; i < n_ports; i++)
        if (!row_naming(rows, n_rows, ports[i].connector))
            check_disk(nullptr, ports[i], mib);
    printf("ports: %d of %d pass\n", passed, n_rows);
    return passed == n_rows;
}

// A plan of the disks plugged in now: a row per connector, labelled with its name, at the speed its link reached.
// Every connector of disk_ports is a label, at most 23 characters ("255-255.255.255.255.255").
static void write_plan(const DiskPort *ports, size_t n)
{
    puts("# A port plan of this unit as korvalt-ports --write-plan found it: a row per connector with a disk, at the\n"
         "# speed its link reached. Name the ports, set the floors, and add a companion controller's name.\n"
         "# label                 connector       speed  write  read");
    for (size_t i = 0; i < n; i++)
        if (ports[i].connector[0] && (i == 0 || strcmp(ports[i].connector, ports[i - 1].connector) != 0))
            printf("%-24s%-16s%-7s%-7s%s\n", ports[i].connector, ports[i].connector,
                   ports[i].speed[0] ? ports[i].speed : "-", "-", "-");
}

// MIB, the data check's size: 1 to 256; 0 for anything else.
static long mib_of(const char *text)
{
    size_t digits = strspn(text, "0123456789");
    return digits > 0 && digits <= 3 && !text[digits] && atoi(text) >= 1 && atoi(text) <= 256 ? atoi(text) : 0;
}

int main(int argc, char **argv)
{
    static Row rows[kMaxRows];
    static DiskPort ports[kMaxDisks];
    int n_rows = 0;
    long mib = 8;

    // a signal ends the check under way, and its file goes; a reader that went away is a failed write (status 3)
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        signal(sig, end_run);
    bool writing_plan = argc == 2 && strcmp(argv[1], "--write-plan") == 0;
    if (!writing_plan) {
        if (argc < 2 || argc > 3 || argv[1][0] == '-')
            return usage();
        if (argc == 3 && !(mib = mib_of(argv[2]))) {
            fprintf(stderr, "korvalt-ports: MIB %s: a whole number from 1 to 256\n", printable(argv[2]));
            return 2;
        }
        if (int status = read_plan(argv[1], rows, n_rows))
            return status;
    }
    size_t n_ports = list_disk_ports(ports, kMaxDisks);
    bool pass = true;
    if (writing_plan)
        write_plan(ports, n_ports);
    else
        pass = check_ports(rows, n_rows, ports, n_ports, mib);
    if (fflush(stdout) != 0 || ferror(stdout))
        return 3;
    return pass ? 0 : 1;
}
