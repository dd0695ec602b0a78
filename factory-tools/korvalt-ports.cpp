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
// "-" for what there is not; VERDICT "pass" or "fail:REASON", the first check that failed ("stick": the stick's own
// USB version says it cannot reach the row's speed; replace it). A disk whose link failed runs no data check. Then a
// line for each disk on a connector that no row names (label "-", verdict "extra", no failure), and "ports: P of N
// pass". What made a row fail goes to standard error too. Each line is written as soon as it is known. Status 0 when every row passes,
// 1 when one fails, 2 for a wrong call or plan (found before anything is looked at), 3 when the lines cannot be
// written: the run then stops before the next data check.
//
// --write-plan prints a plan of the disks plugged in now, a row per connector at the speed its link reached.
//
// What it reads: the plan, the kernel's /proc and /sys. What it does to the sticks is the data check's
// (data-check.h): for each planned disk a child process writes a file on the disk's filesystem, reads it back and
// removes it, within a deadline. SIGINT, SIGTERM, SIGHUP and SIGPIPE end the run (SIGPIPE with status 3) once the
// check under way has removed its file; a signal the caller ignores stays ignored. No program is run: a port test
// must not hang on a stale mount, as df would.

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "data-check.h"
#include "disks.h"
#include "port-plan.h"

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
    fputs("usage: korvalt-ports PLAN [MIB] | korvalt-ports --write-plan\n", stderr);
    return 2;
}

// Whether the lines so far have reached standard output: each is flushed as it is written, so that a station sees
// the run progress and a run whose reader went away stops before the next data check.
static bool written()
{
    return fflush(stdout) == 0 && !ferror(stdout);
}

// Whether a rate of the data check reaches the row's floor. What was found goes to standard error when it does not:
// "writes at 3.5 MB/s, 5 wanted". A rate is unknown only when the data check has said why already.
static bool reaches(const char *label, long rate, long floor, const char *what)
{
    char wanted[16], found[16];
    if (floor == kUnchecked || rate >= floor)
        return true;
    if (rate != kUnchecked)
        fprintf(stderr, "%s: %s at %s MB/s, %s wanted\n", label, what, shown_tenths(rate, true, found, sizeof found),
                shown_tenths(floor, false, wanted, sizeof wanted));
    return false;
}

// The USB version a stick needs to link at floor, in hundredths: a SuperSpeed stick whose link is USB 2 reports
// 2.10, so 2.10 is the least for 5000 Mbit/s; 0 where no version can tell.
static unsigned version_needed(long floor)
{
    return floor >= 100000 ? 310 : floor >= 50000 ? 210 : floor >= 4800 ? 200 : 0;
}

// The link's verdict: kPass when it reached the row's speed. Short of it, kStick when the stick's own USB version
// says it never could, so that a wrong stick is not taken for a bad port, else kSpeed, the port's fault. What was
// found goes to standard error, the stick's version with it: "link at 12 Mbit/s, 480 wanted; the stick is USB 2.00".
static Verdict link_verdict(const char *label, const DiskPort &p, long floor)
{
    long speed = kUnchecked;
    if (floor == kUnchecked || (parse_tenths(p.speed, speed) && speed >= floor))
        return kPass;
    unsigned major = 0, minor = 0;
    bool stick = p.version[0] && sscanf(p.version, "%u.%2u", &major, &minor) >= 1 &&
                 major * 100 + minor < version_needed(floor);
    char wanted[16], found[24] = "speed unknown";
    shown_tenths(floor, false, wanted, sizeof wanted);
    if (speed != kUnchecked)
        snprintf(found, sizeof found, "at %s Mbit/s", p.speed);
    fprintf(stderr, "%s: link %s, %s wanted%s%s%s\n", label, found, wanted, p.version[0] ? "; the stick is USB " : "",
            p.version, stick ? ", which cannot reach it" : "");
    return stick ? kStick : kSpeed;
}

// A disk's line: for the row that names its connector, every check and its verdict, the first that failed; for no
// row (null), an extra disk, which nothing is written to.
static Verdict check_disk(const Row *row, const DiskPort &p, long mib)
{
    static DataResult got;
    got.write = got.read = kUnchecked;
    Verdict verdict = kPass;
    char write_rate[24], read_rate[24];
    if (row) {
        char label[sizeof row->label + kNameSize];
        snprintf(label, sizeof label, "%s %s", row->label, p.connector);
        // A link short of its speed has its verdict: a data check would only take the line's time.
        verdict = link_verdict(label, p, row->speed);
        if (verdict == kPass) {
            check_data(label, p.disk, mib, got);
            fputs(got.messages, stderr);
            bool writes = reaches(label, got.write, row->write, "writes");
            bool reads = reaches(label, got.read, row->read, "reads");
            verdict = got.verdict != kDataPass ? Verdict(kSpeed + got.verdict)
                      : !writes                ? kSlowWrite
                      : !reads                 ? kSlowRead
                                               : kPass;
        }
    }
    printf("%s %s %s %s %s %s %s%s\n", row ? row->label : "-", p.connector[0] ? p.connector : "-", p.disk,
           p.speed[0] ? p.speed : "-", shown_tenths(got.write, true, write_rate, sizeof write_rate),
           shown_tenths(got.read, true, read_rate, sizeof read_rate), verdict == kPass ? "" : "fail:",
           row ? kVerdictNames[verdict] : "extra");
    return verdict;
}

// The verdicts of the plan's rows on the disks found: 0 when every row passes, 1 when one fails, 3 when the lines
// could not be written (the checks stop there).
static int check_ports(const Row *rows, int n_rows, const DiskPort *ports, size_t n_ports, long mib)
{
    int passed = 0;
    for (const Row *row = rows; row < rows + n_rows; row++) {
        bool found = false, pass = true;
        for (size_t i = 0; i < n_ports; i++)
            if (row_naming(row, 1, ports[i].connector)) {
                if (!written())
                    return 3;
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
    return !written() ? 3 : passed == n_rows ? 0 : 1;
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

// MIB, the data check's size: 1 to 256, no leading zero; 0 for anything else.
static long mib_of(const char *text)
{
    long tenths = 0;
    return counting_numbers(text, 3) == 1 && parse_tenths(text, tenths) && tenths <= 2560 ? tenths / 10 : 0;
}

// A signal that ends the run: the check under way removes its file first. A reader that went away is a failed
// write (status 3).
static void end_run(int sig)
{
    abandon_data_check(sig);
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
    if (!writing_plan) {
        if (argc < 2 || argc > 3 || argv[1][0] == '-')
            return usage();
        if (argc == 3 && !(mib = mib_of(argv[2]))) {
            fprintf(stderr, "korvalt-ports: MIB %s: a whole number from 1 to 256\n", printable(argv[2]));
            return 2;
        }
        if (int status = read_plan(argv[1], rows, n_rows, stderr))
            return status;
    }
    size_t n_ports = list_disk_ports(ports, kMaxDisks);
    if (!writing_plan)
        return check_ports(rows, n_rows, ports, n_ports, mib);
    write_plan(ports, n_ports);
    return written() ? 0 : 3;
}
