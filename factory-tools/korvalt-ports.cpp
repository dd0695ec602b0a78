// korvalt-ports: a verdict for each connector of the board's port plan, from the disks the kernel shows on it.
//
// Usage: korvalt-ports [--wait S] [--parallel] [--json] PLAN [MIB]
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
// "-" for what there is not; VERDICT "pass" or "fail:REASON", the first check that failed ("stick": the stick's own
// USB version says it cannot reach the row's speed; replace it). A disk whose link failed runs no data check. Then a
// line for each disk on a connector that no row names (label "-", verdict "extra", no failure), and "ports: P of N
// pass". What made a line fail goes to standard error just before it, and each line is written as soon as it is
// known. Status 0 when every row passes, 1 when one fails, 2 for a wrong call or plan (found before anything is
// looked at), 3 when the lines cannot be written: the run then stops before the next data check (with --parallel,
// the checks under way are stopped).
//
// --parallel: disks on different controllers (a USB host controller, the ATA host) are checked at once, those on
// one controller one after another; the lines still come in the plan's order.
//
// --json: standard output carries JSON Lines instead, a record for each line and then one of the run: a line's
// fields, its reasons, the row's floors, the disk's identity as the kernel gives it (a stick's idVendor, idProduct,
// serial and version, an ATA disk's model) and its data check's time; the run's passed rows, rows, MiB and seconds.
//
// --wait S (0 to 600): before any check, wait until every row has a disk (a reader's slot with a card is enough) and
// each such disk a mounted filesystem, or until S seconds have passed; then check what is there.
//
// --write-plan prints a plan of the disks plugged in now, a row per connector at the speed its link reached.
//
// What it reads: the plan, the kernel's /proc and /sys. What it does to the sticks is the data check's
// (data-check.h): for each planned disk a child process writes a file on the disk's filesystem, reads it back and
// removes it, within a deadline. SIGINT, SIGTERM, SIGHUP and SIGPIPE end the run (SIGPIPE with status 3) once the
// checks under way have removed their files; a signal the caller ignores stays ignored. No program is run: a port test
// must not hang on a stale mount, as df would.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "data-check.h"
#include "disks.h"
#include "json.h"
#include "port-plan.h"
#include "util.h"

constexpr size_t kMaxDisks = 96;  // more than the ports and hubs of any board hold
static_assert(kNameSize == sizeof DiskPort::connector, "a plan names connectors as disk_ports does");

// A disk's verdict, the first of this order that failed: found on the connector, a stick that can reach the row's
// speed, its link's speed, the data check's (its filesystem, room for the file, writing, reading back, comparing, the
// deadline), then the two rates.
enum Verdict {
    kPass, kNoDisk, kStick, kSpeed, kUnmounted, kReadOnly, kNoSpace, kWriteError, kReadError, kMismatch, kTimeout,
    kSlowWrite, kSlowRead,
};
static const char kVerdictNames[][12] = {
    "pass", "no-disk", "stick", "speed", "unmounted", "read-only", "no-space", "write-error", "read-error", "mismatch",
    "timeout", "slow-write", "slow-read",
};
// The data check's failures stand in the order of its own, after the link's speed
static_assert(kUnmounted - kSpeed == kDataUnmounted && kTimeout - kSpeed == kDataTimeout, "the data check's order");

static int usage()
{
    fputs("usage: korvalt-ports [--wait S] [--parallel] [--json] PLAN [MIB] | korvalt-ports --write-plan\n", stderr);
    return 2;
}

// Whether the lines so far have reached standard output: each is flushed as it is written, so that a station sees
// the run progress and a run whose reader went away stops before the next data check.
static bool written()
{
    return fflush(stdout) == 0 && !ferror(stdout);
}

// What a line found, said just before it (the data check's messages, then the verdict's): one buffer for every line.
static DataResult got;
static bool as_json;     // the lines as JSON records
static uint32_t started; // the run's start, on the check's clock

// The tenths of a second since since, on the check's clock.
static long tenths_since(uint32_t since)
{
    return (long)((now_us() - since + 50000) / 100000);
}

// Whether a rate of the data check reaches the row's floor. What was found goes to standard error when it does not:
// "writes at 3.5 MB/s, 5 wanted". A rate is unknown only when the data check has said why already.
static bool reaches(const char *label, long rate, long floor, const char *what)
{
    char wanted[16], found[16];
    if (floor == kUnchecked || rate >= floor)
        return true;
    if (rate != kUnchecked)
        add_message(got, label, "%s at %s MB/s, %s wanted", what, shown_tenths(rate, true, found, sizeof found),
                    shown_tenths(floor, false, wanted, sizeof wanted));
    return false;
}

// The USB version a stick needs to link at floor, in hundredths: a SuperSpeed stick whose link is USB 2 reports
// 2.10, so 2.10 is the least for 5000 Mbit/s; 0 where no version can tell.
static unsigned version_needed(long floor)
{
    return floor >= 100000 ? 310 : floor >= 50000 ? 210 : floor >= 4800 ? 200 : 0;
}

// Whether the disk's link reached floor.
static bool reaches_speed(const DiskPort &p, long floor)
{
    long speed = kUnchecked;
    return floor == kUnchecked || (parse_tenths(p.speed, speed) && speed >= floor);
}

// The link's verdict: kPass when it reached the row's speed. Short of it, kStick when the stick's own USB version
// says it never could, so that a wrong stick is not taken for a bad port, else kSpeed, the port's fault. What was
// found goes to standard error, the stick's version with it: "link at 12 Mbit/s, 480 wanted; the stick is USB 2.00".
static Verdict link_verdict(const char *label, const DiskPort &p, long floor)
{
    long speed = kUnchecked;
    if (reaches_speed(p, floor))
        return kPass;
    parse_tenths(p.speed, speed);
    unsigned major = 0, minor = 0;
    bool stick = p.version[0] && sscanf(p.version, "%u.%2u", &major, &minor) >= 1 &&
                 major * 100 + minor < version_needed(floor);
    char wanted[16], found[24] = "speed unknown";
    shown_tenths(floor, false, wanted, sizeof wanted);
    if (speed != kUnchecked)
        snprintf(found, sizeof found, "at %s Mbit/s", p.speed);
    add_message(got, label, "link %s, %s wanted%s%s%s", found, wanted, p.version[0] ? "; the stick is USB " : "",
                p.version, stick ? ", which cannot reach it" : "");
    return stick ? kStick : kSpeed;
}

// Tenths as a record's number, as the text line shows them; null where there are none.
static const char *json_number(char (&out)[16], long tenths, bool rate)
{
    return tenths == kUnchecked ? "null" : shown_tenths(tenths, rate, out, sizeof out);
}

// The first line of the file name in dir as a record's string, as the kernel gives what a stick or a disk says of
// itself: its trailing blanks trimmed, at most 126 bytes, null where there is none.
static const char *json_file(char (&out)[800], const char *dir, const char *name)
{
    static char path[512], text[512];
    bool fits = (size_t)snprintf(path, sizeof path, "%s/%s", dir, name) < sizeof path;
    size_t n = strlen(strcpy(text, fits ? cat_file(path) : ""));
    while (n > 0 && text[n - 1] == ' ')
        text[--n] = '\0';
    return json_string(out, sizeof out, n ? text : nullptr, 126);
}

// A line's JSON record: what the text line says, the reasons said before it, the row's floors, the disk's identity
// as the kernel gives it, and the tenths of a second its data check took (kUnchecked where none ran). Out of line:
// its frame would push its caller's beyond the short offsets too.
__attribute__((noinline)) static void json_line(const Row *row, const char *connector, const DiskPort *p,
                                                Verdict verdict, long took)
{
    // static, so that the frame stays within the short offsets of the device's 16-bit code
    static char reasons[6 * sizeof got.messages], who[4096], dir[512], a[800], b[800], c[800];
    char label[64], place[128], disk[96], version[32];
    char speed_of[16], write_of[16], read_of[16], took_of[16], floor_of[3][16];
    char *r = reasons;
    *r = '\0';
    for (char *line = got.messages, *end; (end = strchr(line, '\n')); line = end + 1) {
        *end = '\0';
        if (line != got.messages)
            *r++ = ',';
        r += strlen(json_string(r, reasons + sizeof reasons - r, line, sizeof got.messages));
        *end = '\n';
    }
    strcpy(who, "null,\"ata\":null");
    if (p && p->kind == DISK_USB) {
        if (!usb_device_of(p->disk, dir, sizeof dir))
            dir[0] = '\0';  // no such files
        snprintf(who, sizeof who, "{\"id_vendor\":%s,\"id_product\":%s,\"serial\":%s,\"version\":%s},\"ata\":null",
                 json_file(a, dir, "idVendor"), json_file(b, dir, "idProduct"), json_file(c, dir, "serial"),
                 json_string(version, sizeof version, p->version[0] ? p->version : nullptr, sizeof p->version));
    } else if (p) {
        snprintf(dir, sizeof dir, "/sys/block/%s/device", p->disk);
        snprintf(who, sizeof who, "null,\"ata\":{\"model\":%s}", json_file(a, dir, "model"));
    }
    long speed = kUnchecked;
    if (p)
        parse_tenths(p->speed, speed);
    printf("{\"label\":%s,\"connector\":%s,\"disk\":%s,\"speed\":%s,\"write\":%s,\"read\":%s,\"verdict\":\"%s\","
           "\"reasons\":[%s],\"floors\":{\"speed\":%s,\"write\":%s,\"read\":%s},\"stick\":%s,\"seconds\":%s}\n",
           json_string(label, sizeof label, row ? row->label : nullptr, sizeof label),
           json_string(place, sizeof place, connector[0] ? connector : nullptr, kNameSize),
           json_string(disk, sizeof disk, p ? p->disk : nullptr, sizeof disk), json_number(speed_of, speed, false),
           json_number(write_of, got.write, true), json_number(read_of, got.read, true),
           row ? kVerdictNames[verdict] : "extra", reasons,
           json_number(floor_of[0], row ? row->speed : kUnchecked, false),
           json_number(floor_of[1], row ? row->write : kUnchecked, false),
           json_number(floor_of[2], row ? row->read : kUnchecked, false), who,
           json_number(took_of, took, true));
}

// The data check of the disk p, which row names, into r: the tenths of a second it took.
static long run_check(const Row *row, const DiskPort &p, long mib, DataResult &r)
{
    char label[sizeof row->label + kNameSize];
    snprintf(label, sizeof label, "%s %s", row->label, p.connector);
    uint32_t start = now_us();
    check_data(label, p.disk, mib, r);
    return tenths_since(start);
}

// The data checks of a parallel run, in pages its workers share with it, by the disk's place in the list of disks:
// the result, its time, whether it is in, and which worker checks it (its place in workers, from 1; 0 or -1: the
// run itself, as when the worker could not start).
struct Checked {
    DataResult result;
    long took;
    volatile sig_atomic_t done;
    int worker;
};
static Checked *checked;  // null: the run checks each disk itself when it comes to it
static pid_t workers[kMaxDisks];  // 0 once one has ended: its number may go to another process
static int n_workers;

// Whether two disks hang on one controller: USB disks on one bus, as their connectors name it (disk_ports names a
// SuperSpeed disk by its xHCI's USB 2 bus, so that an xHCI is one; an EHCI and its companion controller are two), or
// two ATA disks (a board has one ATA host).
static bool same_controller(const DiskPort &a, const DiskPort &b)
{
    size_t bus = strcspn(a.connector, "-");
    return a.kind == b.kind &&
           (a.kind == DISK_SATA || (a.connector[bus] && strncmp(a.connector, b.connector, bus + 1) == 0));
}

// --parallel: a worker process for each controller checks its disks one after another, so that disks on different
// controllers are checked at once and a bus they share never splits one disk's rate. Each check is the data check's,
// with its deadline and clean-up; the run prints the lines in the plan's order as their checks come in.
static void start_workers(const Row *rows, int n_rows, const DiskPort *ports, size_t n, long mib)
{
    void *pages = mmap(nullptr, n * sizeof *checked, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED)
        return;
    checked = (Checked *)pages;
    // a controller's first disk to check starts its worker, which checks that disk and the controller's later ones
    for (size_t i = 0; i < n; i++) {
        const Row *row = row_naming(rows, n_rows, ports[i].connector);
        if (!row || !reaches_speed(ports[i], row->speed) || checked[i].worker)
            continue;
        pid_t pid = fork();
        if (pid > 0)
            workers[n_workers++] = pid;
        else if (pid == 0)
            n_workers = 0;  // a signal ends this worker's check, not its siblings'
        for (size_t j = i; j < n; j++) {
            row = row_naming(rows, n_rows, ports[j].connector);
            if (!row || !reaches_speed(ports[j], row->speed) || !same_controller(ports[j], ports[i]))
                continue;
            if (pid != 0) {
                checked[j].worker = pid > 0 ? n_workers : -1;
            } else {
                checked[j].took = run_check(row, ports[j], mib, checked[j].result);
                __atomic_store_n(&checked[j].done, 1, __ATOMIC_RELEASE);
            }
        }
        if (pid == 0)
            _exit(0);
    }
}

// Whether the worker of disk i has its check in, once it has it or has ended.
static bool await_check(size_t i)
{
    pid_t &worker = workers[checked[i].worker - 1];
    for (; !__atomic_load_n(&checked[i].done, __ATOMIC_ACQUIRE) && worker; poll(nullptr, 0, 10))
        if (waitpid(worker, nullptr, WNOHANG) != 0)
            worker = 0;
    return __atomic_load_n(&checked[i].done, __ATOMIC_ACQUIRE);
}

// Ends the workers of a parallel run with sig, each once its check under way has removed its file.
static void stop_workers(int sig)
{
    for (int w = 0; w < n_workers; w++)
        if (workers[w])
            kill(workers[w], sig);
    for (int w = 0; w < n_workers; w++)
        if (workers[w])
            waitpid(workers[w], nullptr, 0);
}

// A disk's line: for the row that names its connector, every check and its verdict, the first that failed; for a
// row without a disk (p null), no-disk; for no row (null), an extra disk, which nothing is written to. i is the
// disk's place in the list of disks. What made it fail goes to standard error just before it.
static Verdict check_disk(const Row *row, const DiskPort *p, size_t i, long mib)
{
    got.write = got.read = kUnchecked;
    got.messages[0] = '\0';
    Verdict verdict = kPass;
    char write_rate[24], read_rate[24];
    long took = kUnchecked;
    const char *connector = p ? p->connector : row->names[0];
    if (row) {
        char label[sizeof row->label + kNameSize];
        snprintf(label, sizeof label, "%s %s", row->label, connector);
        if (!p) {
            add_message(got, label, "no disk");
            verdict = kNoDisk;
        } else {
            // A link short of its speed has its verdict: a data check would only take the line's time.
            verdict = link_verdict(label, *p, row->speed);
        }
        if (verdict == kPass) {
            if (!checked || checked[i].worker <= 0) {
                took = run_check(row, *p, mib, got);
            } else if (await_check(i)) {
                got = checked[i].result;
                took = checked[i].took;
            } else {
                add_message(got, label, "the data check ended without a verdict");
                got.verdict = kDataWriteError;
            }
            bool writes = reaches(label, got.write, row->write, "writes");
            bool reads = reaches(label, got.read, row->read, "reads");
            verdict = got.verdict != kDataPass ? Verdict(kSpeed + got.verdict)
                      : !writes                ? kSlowWrite
                      : !reads                 ? kSlowRead
                                               : kPass;
        }
    }
    fputs(got.messages, stderr);
    if (as_json)
        json_line(row, connector, p, verdict, took);
    else
        printf("%s %s %s %s %s %s %s%s\n", row ? row->label : "-", connector[0] ? connector : "-",
               p ? p->disk : "-", p && p->speed[0] ? p->speed : "-",
               shown_tenths(got.write, true, write_rate, sizeof write_rate),
               shown_tenths(got.read, true, read_rate, sizeof read_rate), verdict == kPass ? "" : "fail:",
               row ? kVerdictNames[verdict] : "extra");
    return verdict;
}

// The verdicts of the plan's rows on the disks found: 0 when every row passes, 1 when one fails, 3 when the lines
// could not be written (the checks stop there). Each line is flushed once it is known, so that its reasons and it
// read in order through 2>&1 and a station sees the run progress.
static int check_ports(const Row *rows, int n_rows, const DiskPort *ports, size_t n_ports, long mib, bool parallel)
{
    int passed = 0;
    if (parallel)
        start_workers(rows, n_rows, ports, n_ports, mib);
    for (const Row *row = rows; row < rows + n_rows; row++) {
        bool found = false, pass = true;
        for (size_t i = 0; i < n_ports; i++)
            if (row_naming(row, 1, ports[i].connector)) {
                found = true;
                pass = check_disk(row, &ports[i], i, mib) == kPass && pass;
                if (!written()) {
                    stop_workers(SIGTERM);
                    return 3;
                }
            }
        if (!found) {
            check_disk(row, nullptr, 0, mib);
            pass = false;
        }
        passed += pass;
    }
    for (size_t i = 0; i < n_ports; i++)
        if (!row_naming(rows, n_rows, ports[i].connector))
            check_disk(nullptr, &ports[i], i, mib);
    if (as_json)
        printf("{\"passed\":%d,\"rows\":%d,\"mib\":%ld,\"seconds\":%ld.%ld}\n", passed, n_rows, mib,
               tenths_since(started) / 10, tenths_since(started) % 10);
    else
        printf("ports: %d of %d pass\n", passed, n_rows);
    return !written() ? 3 : passed == n_rows ? 0 : 1;
}

// Whether every row has a disk (a reader's slot with a card is enough) and each of them a mounted filesystem.
static bool all_in_place(const Row *rows, int n_rows, const DiskPort *ports, size_t n_ports)
{
    for (const Row *row = rows; row < rows + n_rows; row++) {
        bool found = false;
        for (size_t i = 0; i < n_ports; i++)
            if (row_naming(row, 1, ports[i].connector)) {
                found = true;
                if (!disk_mounted(ports[i].disk))
                    return false;
            }
        if (!found)
            return false;
    }
    return true;
}

// A plan of the disks plugged in now: a row per connector, labelled with its name, at the speed its link reached.
// Every connector of disk_ports is a label, at most 23 characters ("255-255.255.255.255.255").
static void write_plan(const DiskPort *ports, size_t n)
{
    fputs("# From korvalt-ports --write-plan: name the ports, set the floors, add companion controllers' names.\n"
          "# label                 connector       speed  write  read\n",
          stdout);
    for (size_t i = 0; i < n; i++)
        if (ports[i].connector[0] && (i == 0 || strcmp(ports[i].connector, ports[i - 1].connector) != 0))
            printf("%-24s%-16s%-7s-      -\n", ports[i].connector, ports[i].connector,
                   ports[i].speed[0] ? ports[i].speed : "-");
}

// A whole number from 1 to most, no leading zero (a count's "0" too, where most allows it); -1 for anything else.
static long whole_number(const char *text, long most)
{
    long tenths = 0;
    if (strcmp(text, "0") == 0)
        return 0;
    return counting_numbers(text, 3) == 1 && parse_tenths(text, tenths) && tenths <= most * 10 ? tenths / 10 : -1;
}

// A signal that ends the run: the check under way, or each worker's, removes its file first. A reader that went away is a failed
// write (status 3).
static void end_run(int sig)
{
    abandon_data_check(sig);
    stop_workers(sig);
    if (sig == SIGPIPE)
        _exit(3);
    signal(sig, SIG_DFL);
    kill(getpid(), sig);
}

int main(int argc, char **argv)
{
    static Row rows[kMaxRows];
    static DiskPort ports[kMaxDisks];
    int n_rows = 0;
    long mib = 8;

    // No line can be written: nothing is checked. A closed standard input or error is /dev/null, so that no file or
    // pipe of the run lands on them, and no message of the run in a pipe of its own.
    struct stat st;
    if (fstat(1, &st) != 0)
        return 3;
    for (int fd : {0, 2})
        if (fstat(fd, &st) != 0 && open("/dev/null", O_RDWR) != fd)
            return 3;
    catch_ending_signals(end_run);
    bool writing_plan = argc == 2 && strcmp(argv[1], "--write-plan") == 0;
    long wait_s = 0;
    int at = 1;
    bool parallel = false;
    started = now_us();
    if (!writing_plan) {
        for (; at < argc && argv[at][0] == '-'; at++)
            if (strcmp(argv[at], "--json") == 0) {
                as_json = true;
            } else if (strcmp(argv[at], "--parallel") == 0) {
                parallel = true;
            } else if (strcmp(argv[at], "--wait") == 0 && at + 1 < argc) {
                if ((wait_s = whole_number(argv[++at], 600)) < 0) {
                    fprintf(stderr, "korvalt-ports: --wait %s: a whole number from 0 to 600\n", printable(argv[at]));
                    return 2;
                }
            } else {
                return usage();
            }
        if (argc - at < 1 || argc - at > 2)
            return usage();
        if (argc - at == 2 && (mib = whole_number(argv[at + 1], 256)) < 1) {
            fprintf(stderr, "korvalt-ports: MIB %s: a whole number from 1 to 256\n", printable(argv[at + 1]));
            return 2;
        }
        if (int status = read_plan(argv[at], rows, n_rows, stderr))
            return status;
    }
    size_t n_ports = list_disk_ports(ports, kMaxDisks);
    // Sticks plugged in a moment ago may still be coming up or being mounted: the kernel's files are read again 10
    // times a second until every row's disks are there and mounted, or the wait is over.
    for (uint32_t start = now_us(); wait_s > 0 && !all_in_place(rows, n_rows, ports, n_ports) &&
                                    now_us() - start < (uint32_t)wait_s * 1000000u;) {
        poll(nullptr, 0, 100);
        n_ports = list_disk_ports(ports, kMaxDisks);
    }
    if (!writing_plan)
        return check_ports(rows, n_rows, ports, n_ports, mib, parallel);
    write_plan(ports, n_ports);
    return written() ? 0 : 3;
}
