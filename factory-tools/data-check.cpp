// The data check, in three parts: the disk's mount, found without touching another filesystem; the child that
// writes the stick and reads it back; and the parent, which holds the child to its deadline and makes sure that
// nothing of the run stays on the stick whatever ends it.

#include "data-check.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "disks.h"
#include "trust.h"
#include "util.h"

constexpr size_t kBlock = 512;
constexpr size_t kChunk = 256 * 1024;  // the one buffer, and every request but the last
constexpr char kMagic[8] = {'K', 'V', 'P', 'O', 'R', 'T', 'S', '1'};
constexpr char kFilePrefix[] = ".korvalt-ports-";
constexpr int kMaxDevices = 16;  // a disk and its partitions

// The clock in microseconds, in 32 bits that wrap every 71 minutes: a difference of two is right for anything
// shorter, and the longest check (256 MiB, a deadline of 32 minutes) stays well within that. A 32-bit device divides
// them without a 64-bit division routine.
uint32_t now_us()
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

// ---- The disk's mount

// A mount of the disk: its folder, its device, and whether it is read-only.
struct Mount {
    char dir[PATH_MAX];
    dev_t dev;
    bool read_only;
};

// The disk's mount the check uses; the parent's cleaner finds the check's file through it too.
static Mount mount;

// A device number as the C library encodes it (its makedev, which it inlines only where it does not optimise for
// size, and then costs an import).
static dev_t device(unsigned major, unsigned minor)
{
    return (dev_t)(major & 0xfffff000u) << 32 | (dev_t)(minor & 0xffffff00u) << 12 | (major & 0xfffu) << 8 |
           (minor & 0xffu);
}

// "maj:min" as a device number; false for anything else.
static bool device_number(const char *text, dev_t &dev)
{
    unsigned major, minor;
    char rest;
    bool ok = sscanf(text, "%u:%u%c", &major, &minor, &rest) == 2;
    dev = device(major, minor);
    return ok;
}

// The device numbers of the disk and of its partitions (/sys/block/sdX/dev, sdXN/dev); how many.
static int devices_of(const char *disk, dev_t *devs)
{
    char path[320];
    int n = 0;
    snprintf(path, sizeof path, "/sys/block/%s", disk);
    DIR *d = opendir(path);
    // "." stands for the disk itself
    while (struct dirent *e = d && n < kMaxDevices ? readdir(d) : nullptr)
        if ((strcmp(e->d_name, ".") == 0 || strncmp(e->d_name, disk, strlen(disk)) == 0) &&
            snprintf(path, sizeof path, "/sys/block/%s/%s/dev", disk, e->d_name) < (int)sizeof path)
            n += device_number(cat_file(path), devs[n]);
    if (d)
        closedir(d);
    return n;
}

static bool is_octal(char c)
{
    return c >= '0' && c <= '7';
}

// A mount table field with the kernel's octal escapes ("\040" for a blank) decoded into out; false when it does not
// fit. The C library's reader would decode none on uClibc, and split long lines.
static bool decode_field(const char *field, char *out, size_t size)
{
    size_t n = 0;
    for (const char *at = field; *at; at++) {
        char c = *at;
        if (c == '\\' && is_octal(at[1]) && is_octal(at[2]) && is_octal(at[3])) {
            c = (char)((at[1] - '0') * 64 + (at[2] - '0') * 8 + (at[3] - '0'));
            at += 3;
        }
        if (n + 1 >= size || c == '\0')
            return false;
        out[n++] = c;
    }
    out[n] = '\0';
    return n > 0;
}

static bool has_option(const char *options, const char *option)
{
    size_t n = strlen(option);
    for (const char *at = options;; at++) {
        size_t len = strcspn(at, ",");
        if (len == n && strncmp(at, option, n) == 0)
            return true;
        at += len;
        if (!*at)
            return false;
    }
}

// A line of the mount table: the device mounted, the folder of it that is mounted, where (both escaped as the
// kernel writes them), and whether the mount or the filesystem is read-only.
struct MountLine {
    dev_t dev;
    const char *root, *dir;
    bool read_only;
};

// "ID PARENT MAJ:MIN ROOT DIR OPTIONS [TAG...] - TYPE SOURCE FS-OPTIONS", of /proc/self/mountinfo.
static bool parse_mountinfo(char *line, MountLine &m)
{
    constexpr int kMaxFields = 24;
    char *f[kMaxFields];
    int n = split_fields(line, f, kMaxFields), dash = 6;
    while (dash < n && dash < kMaxFields && strcmp(f[dash], "-") != 0)
        dash++;
    if (dash + 3 >= n || dash + 3 >= kMaxFields || !device_number(f[2], m.dev))
        return false;
    m.root = f[3];
    m.dir = f[4];
    m.read_only = has_option(f[5], "ro") || has_option(f[dash + 3], "ro");
    return true;
}

// "SOURCE DIR TYPE OPTIONS ...", of /proc/mounts, where the kernel has no mountinfo: the source's device is that of
// its node under /dev (devtmpfs, which nothing can hold up); a mount point itself is never looked at.
static bool parse_mounts(char *line, MountLine &m)
{
    char source[128], *f[4];
    struct stat st;
    if (split_fields(line, f, 4) < 4 || !decode_field(f[0], source, sizeof source) ||
        strncmp(source, "/dev/", 5) != 0 || fstatat(AT_FDCWD, source, &st, 0) != 0 || !S_ISBLK(st.st_mode))
        return false;
    m.dev = st.st_rdev;
    m.root = "/";
    m.dir = f[1];
    m.read_only = has_option(f[3], "ro");
    return true;
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

// The disk's first read-write mount of a filesystem's root, else its first read-only one, by device number (never
// by a mount point's name or its stat): into mount; false when it has none. A mount that a later one sits on, on
// the same folder, is covered and not the disk's to use.
static bool find_mount(const dev_t *devs, int n_devs)
{
    static char line[4352], chosen[sizeof line];
    bool found = false, info = true;
    mount.read_only = false;
    FILE *fp = open_for_reading("/proc/self/mountinfo");
    if (!fp) {
        info = false;
        fp = open_for_reading("/proc/mounts");
    }
    while (fp && next_mount_line(fp, line, sizeof line)) {
        MountLine m;
        if (!(info ? parse_mountinfo(line, m) : parse_mounts(line, m)))
            continue;
        if (found && strcmp(m.dir, chosen) == 0)
            found = false;
        bool ours = false;
        for (int i = 0; i < n_devs; i++)
            ours = ours || devs[i] == m.dev;
        if (!ours || strcmp(m.root, "/") != 0 || (found && !(mount.read_only && !m.read_only)))
            continue;
        snprintf(chosen, sizeof chosen, "%s", m.dir);
        mount.dev = m.dev;
        mount.read_only = m.read_only;
        found = true;
    }
    if (fp)
        fclose(fp);
    return found && decode_field(chosen, mount.dir, sizeof mount.dir);
}

// ---- The child: the stick written and read back

// What the child found, in a page it shares with the parent, which reads it once the child has ended or been
// killed: the rates, what it said and its verdict (done once given), and the file it made (made once it stands).
struct MadeFile {
    uint64_t dev, ino;
    char name[40];
};
struct Shared {
    DataResult result;
    volatile sig_atomic_t done, made;
    MadeFile file;
};
static Shared *shared;
static const char *check_label;
static DataResult *told;  // where the process's messages go: the caller's result, or the child's in the page

void add_message(DataResult &r, const char *label, const char *format, ...)
{
    char what[200];
    va_list args;
    va_start(args, format);
    vsnprintf(what, sizeof what, format, args);
    va_end(args);
    size_t used = strlen(r.messages);
    snprintf(r.messages + used, sizeof r.messages - used, "%s: %s\n", label, what);
}
// Something the check found, a line of the messages of the process
#define note(...) add_message(*told, check_label, __VA_ARGS__)

static int check_dir = -1;
static char check_file[sizeof MadeFile::name];
static volatile sig_atomic_t created;   // check_file is the file this run made, and stands
static volatile sig_atomic_t creating;  // the create is under way: a signal that ends the check waits for it
static volatile sig_atomic_t stopped;

// Removes the file this run made, if it made one, and syncs the folder, so that the removal is on the stick and
// not only in the page cache when the stick is pulled.
static void remove_own_file()
{
    if (created && unlinkat(check_dir, check_file, 0) == 0) {
        created = 0;
        fsync(check_dir);
    }
}

static void stop_check(int)
{
    stopped = 1;
    if (creating)
        return;
    remove_own_file();
    _exit(1);
}

// Block i of a run: the magic, the run's nonce, its offset in the file (both little-endian, in 8 bytes), and the
// rest from a generator seeded by both, so that a block read back from the wrong place or from an earlier run
// differs. Everything is in 32-bit words, which a 32-bit device makes several times faster, and smaller, than
// 64-bit ones; a file is at most 256 MiB. The timed write makes them: in the CPU's own encoding, never MIPS16e's.
#ifdef KORVALT_MIPS16
__attribute__((nomips16))
#endif
static void make_block(unsigned char *to, uint32_t nonce, uint32_t offset)
{
    auto *block = (unsigned char *)__builtin_assume_aligned(to, 4);  // whole words, as both buffers are
    memcpy(block, kMagic, 8);
    memset(block + 8, 0, 16);
    for (int b = 0; b < 4; b++) {
        block[8 + b] = (unsigned char)(nonce >> (8 * b));
        block[16 + b] = (unsigned char)(offset >> (8 * b));
    }
    uint32_t x = (nonce ^ (offset * 0x9e3779b9u)) | 1;
    for (size_t at = 24; at < kBlock; at += 4) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        memcpy(block + at, &x, 4);
    }
}

// Whether name is one that a run gives its file: the prefix, a process number, and nothing more or "-N" (1 to 99).
static bool is_run_name(const char *name)
{
    if (strncmp(name, kFilePrefix, sizeof kFilePrefix - 1) != 0)
        return false;
    const char *run = name + sizeof kFilePrefix - 1;
    size_t dash = strcspn(run, "-");
    return counting_numbers(std::string_view(run, dash), 10) == 1 &&
           (!run[dash] || counting_numbers(run + dash + 1, 2) == 1);
}

// The files of runs cut short are removed: regular files of a run's name that carry the mark. A name is looked at
// without following a link and opened only when it is a regular file, so that a device node, a FIFO or a socket
// that a stick holds is never opened; it is removed only when the file opened is the one looked at.
static void clear_leftovers()
{
    int list = openat(check_dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = list >= 0 ? fdopendir(list) : nullptr;
    if (!d && list >= 0)
        close(list);
    while (struct dirent *e = d ? readdir(d) : nullptr) {
        static struct stat named, opened;  // static: a small frame, which 16-bit code reaches with short offsets
        if (!is_run_name(e->d_name) || fstatat(check_dir, e->d_name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(named.st_mode))
            continue;
        char magic[8] = {};
        int fd = openat(check_dir, e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0 && fstat(fd, &opened) == 0 && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino &&
            read(fd, magic, 8) == 8 && memcmp(magic, kMagic, 8) == 0)
            unlinkat(check_dir, e->d_name, 0);
        if (fd >= 0)
            close(fd);
    }
    if (d)
        closedir(d);
}

// The check's file, made exclusively under the first free name of .korvalt-ports-RUN, -RUN-1 ... -RUN-99: whatever
// stands under a name (a file, a folder, a link, dangling or not) takes it. The exclusive create is the one test of
// a name: it never follows a link, where a C library's faccessat may. -1 when none is free or the create fails.
static int create_file(pid_t run)
{
    int fd = -1;
    for (int n = 0; fd < 0 && n < 100; n++) {
        snprintf(check_file, sizeof check_file, n ? "%s%ld-%d" : "%s%ld", kFilePrefix, (long)run, n);
        // a signal that ends the check removes the file exactly when this run has made it
        creating = 1;
        fd = openat(check_dir, check_file, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
        created = fd >= 0;
        creating = 0;
        if (stopped)
            stop_check(0);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    return fd;
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
    static unsigned char pages[(256u << 20) / 4096];  // a byte a page, for the largest file in the least pages
    size_t page = sysconf(_SC_PAGESIZE), n = (size + page - 1) / page;
    void *map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED)
        return false;
    bool none = n <= sizeof pages && mincore(map, size, pages) == 0;
    for (size_t i = 0; none && i < n; i++)
        none = !(pages[i] & 1);
    munmap(map, size);
    return none;
}

// The file opened for reading from the stick: its pages dropped from the page cache by advice or, failing that, by
// the kernel's drop_caches, and no read-ahead, so that each read takes what it asks from the stick while it is timed,
// not in the background while the data is compared. O_DIRECT would promise less: a filesystem may take the flag and
// serve the reads from the cache (ext4 with data=journal), or refuse its reads. why says why the cache could not be
// kept out; the file is opened all the same, for the compare.
static int open_uncached(size_t size, const char *&why)
{
    why = nullptr;
    int fd = openat(check_dir, check_file, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return fd;
    posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    if (none_cached(fd, size))
        return fd;
    int drop = open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC);
    bool dropped = drop >= 0 && write(drop, "1", 1) == 1;
    if (drop >= 0)
        close(drop);
    if (dropped && none_cached(fd, size))
        return fd;
    why = "the file's pages stayed in the page cache";
    return fd;
}

// Reads the file back and compares it, block by block: the first failure, or kDataPass; the rate, unless the page
// cache could not be kept out.
static DataVerdict read_back(uint32_t size, uint32_t nonce, unsigned char *buf)
{
    const char *why;
    int fd = open_uncached(size, why);
    uint32_t us = 0, at = 0, differs = UINT32_MAX;
    alignas(4) unsigned char block[kBlock];
    while (fd >= 0 && at < size) {
        uint32_t start = now_us();
        ssize_t n = read(fd, buf, size - at < kChunk ? size - at : kChunk);
        us += now_us() - start;
        if (n <= 0) {
            note("read at byte %lu: %s", (unsigned long)at, n < 0 ? strerror(errno) : "the file ends there");
            close(fd);
            return kDataReadError;
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
        note("cannot open the file again: %s", strerror(errno));
        return kDataReadError;
    }
    close(fd);
    if (why)
        note("READ not measured: %s", why);
    else
        shared->result.read = rate(size, us);
    if (differs != UINT32_MAX) {
        note("the data read back differs from byte %lu on", (unsigned long)differs);
        return kDataMismatch;
    }
    return kDataPass;
}

// The check itself, in the child: MIB written into a file of its own, timed to the end of fsync, read back, timed,
// compared and removed. Only the moving of the data is timed, not its making: a slow processor must not count
// against the port.
static DataVerdict write_and_read(long mib, pid_t run)
{
    static struct stat st;  // static, as the statfs below: a small frame, which 16-bit code reaches with short offsets
    check_dir = open(mount.dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (check_dir < 0 || fstat(check_dir, &st) != 0 || st.st_dev != mount.dev) {
        note("not mounted");
        return kDataUnmounted;
    }
    // two runs check a mount one after the other; the wait counts against the deadline
    flock(check_dir, LOCK_EX);
    clear_leftovers();
    uint32_t size = (uint32_t)mib << 20;
    // the kernel's own statfs: uClibc's fstatvfs reads the mount table and stats every mount point, which a stale
    // mount elsewhere would hold up
    static struct statfs fs;
    if (fstatfs(check_dir, &fs) != 0 || (uint64_t)fs.f_bavail * fs.f_bsize < size + (1u << 20)) {
        note("less than %ld MiB free in %s", mib + 1, mount.dir);
        return kDataNoSpace;
    }
    // only the child's pages of it are ever touched
    alignas(4) static unsigned char buf[kChunk];
    // runs of one process number differ by their start, and runs that start together by their process number
    uint32_t nonce = now_us() * 2654435761u ^ (uint32_t)run;

    int fd = create_file(run);
    if (fd < 0) {
        note("creating %s: %s", check_file, errno == EEXIST ? "every name of the check's file is taken" :
                                                              strerror(errno));
        return kDataWriteError;
    }
    fstat(fd, &st);
    shared->file.dev = st.st_dev;
    shared->file.ino = st.st_ino;
    memcpy(shared->file.name, check_file, sizeof check_file);
    __atomic_store_n(&shared->made, 1, __ATOMIC_RELEASE);
    uint32_t us = 0, at = 0, start;
    for (; at < size; at += kChunk) {
        for (size_t i = 0; i < kChunk; i += kBlock)
            make_block(buf + i, nonce, at + i);
        start = now_us();
        bool moved = write_all(fd, buf, size - at < kChunk ? size - at : kChunk);
        us += now_us() - start;
        if (!moved)
            break;
    }
    start = now_us();
    bool written = at >= size && fsync(fd) == 0;
    us += now_us() - start;
    if (!written)
        note("writing %s at byte %lu: %s", check_file, (unsigned long)at, strerror(errno));
    close(fd);
    DataVerdict verdict = kDataWriteError;
    if (written) {
        shared->result.write = rate(size, us);
        verdict = read_back(size, nonce, buf);
    }
    remove_own_file();
    return verdict;
}

// ---- The parent: the deadline, and nothing left behind

static pid_t checking;  // the child of the check under way

// Standard input, output and error on /dev/null and no other descriptor of the caller's: a process of the check
// must not hold the caller's pipe open, nor write into it.
static void detach()
{
    for (int fd = 0; fd < 1024; fd++)
        close(fd);
    for (int fd = 0; fd < 3; fd++)
        open("/dev/null", O_RDWR);
}

// Whether pid ended within ms milliseconds (and was reaped), by the clock: a sleep may last longer than asked.
static bool ended_within(pid_t pid, uint32_t ms)
{
    for (uint32_t start = now_us();; poll(nullptr, 0, 10)) {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return true;
        if (now_us() - start >= ms * 1000)
            return false;
    }
}

// The child that did not end in time is killed, and the name of the file it made removed, if it still is that
// file, by a process of its own: with the child stuck in the kernel, the removal may wait for it to end. The run
// waits for that 1 s at most; what the kernel lets happen later happens without it.
static void remove_made_file()
{
    kill(checking, SIGKILL);
    if (!__atomic_load_n(&shared->made, __ATOMIC_ACQUIRE))
        return;
    // the cleaner's own copy: the page may hold the next check's file by the time the kernel lets it go on
    MadeFile made = shared->file;
    pid_t pid = fork();
    if (pid == 0) {
        detach();
        struct stat st;
        int dir = open(mount.dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (dir >= 0 && fstatat(dir, made.name, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == made.dev &&
            st.st_ino == made.ino && unlinkat(dir, made.name, 0) == 0)
            fsync(dir);
        _exit(0);
    }
    if (pid > 0)
        ended_within(pid, 1000);
    shared->made = 0;
}

void catch_ending_signals(void (*handler)(int))
{
    static const unsigned char kEnding[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
    for (int sig : kEnding)
        if (signal(sig, handler) == SIG_IGN)
            signal(sig, SIG_IGN);
}

void abandon_data_check(int sig)
{
    if (checking <= 0)
        return;
    kill(checking, sig);
    if (!ended_within(checking, 2000))
        remove_made_file();
    checking = 0;
}

// The mount it finds stays in mount, where the check takes it.
bool disk_mounted(const char *disk)
{
    dev_t devs[kMaxDevices];
    return find_mount(devs, devices_of(disk, devs));
}

void check_data(const char *label, const char *disk, long mib, DataResult &r)
{
    check_label = label;
    told = &r;
    r.write = r.read = -1;
    r.verdict = kDataPass;
    r.messages[0] = '\0';
    // the children of earlier checks that ended after their deadline
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    bool found = disk_mounted(disk);
    if (!found || mount.read_only) {
        if (found)
            note("mounted read-only");
        else
            note("not mounted");
        r.verdict = found ? kDataReadOnly : kDataUnmounted;
        return;
    }
    if (!shared) {
        void *page = mmap(nullptr, sizeof *shared, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        shared = page != MAP_FAILED ? (Shared *)page : nullptr;
    }
    pid_t run = getpid(), pid = -1;
    if (shared) {
        shared->result = r;
        shared->done = shared->made = 0;
        pid = fork();
    }
    if (pid == 0) {
        detach();
        told = &shared->result;
        catch_ending_signals(stop_check);
        shared->result.verdict = write_and_read(mib, run);
        __atomic_store_n(&shared->done, 1, __ATOMIC_RELEASE);
        _exit(0);
    }
    if (pid < 0) {
        note("cannot start the data check: %s", strerror(errno));
        r.verdict = kDataWriteError;
        return;
    }
    checking = pid;
    long deadline_ms = mib * 7500 > 10000 ? mib * 7500 : 10000;
    bool ended = ended_within(pid, (uint32_t)deadline_ms);
    if (!ended)
        remove_made_file();
    checking = 0;
    r = shared->result;
    if (!ended) {
        note("no answer within %ld s", deadline_ms / 1000);
        r.verdict = kDataTimeout;
    } else if (!shared->done) {
        note("the data check ended without a verdict");
        r.verdict = r.write < 0 ? kDataWriteError : kDataReadError;
    }
}
