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

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>

#include "disks.h"

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

// Tenths as the plan writes them: "480", "1.5".
static const char *shown_tenths(long tenths, char *out, size_t size)
{
    snprintf(out, size, tenths % 10 ? "%ld.%ld" : "%ld", tenths / 10, tenths % 10);
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

// A disk's line: for the row that names its connector, with the verdict, and what failed on standard error; for
// no row (null), an extra disk.
static Verdict check_disk(const Row *row, const DiskPort &p)
{
    Verdict verdict = kPass;
    long speed = kUnchecked;
    char wanted[16], reached[16];
    if (row && row->speed != kUnchecked && (!parse_tenths(p.speed, speed) || speed < row->speed)) {
        verdict = kSpeed;
        shown_tenths(row->speed, wanted, sizeof wanted);
        if (speed == kUnchecked)
            fprintf(stderr, "%s %s: link speed unknown, %s wanted\n", row->label, p.connector, wanted);
        else
            fprintf(stderr, "%s %s: link at %s Mbit/s, %s wanted\n", row->label, p.connector,
                    shown_tenths(speed, reached, sizeof reached), wanted);
    }
    printf("%s %s %s %s - - %s%s\n", row ? row->label : "-", p.connector[0] ? p.connector : "-", p.disk,
           p.speed[0] ? p.speed : "-", verdict == kPass ? "" : "fail:", row ? kVerdictNames[verdict] : "extra");
    return verdict;
}

// The verdicts of the plan's rows on the disks found; true when every row passes.
static bool check_ports(const Row *rows, int n_rows, const DiskPort *ports, size_t n_ports)
{
    int passed = 0;
    for (const Row *row = rows; row < rows + n_rows; row++) {
        bool found = false, pass = true;
        for (size_t i = 0; i < n_ports; i++)
            if (row_naming(row, 1, ports[i].connector)) {
                found = true;
                pass = check_disk(row, ports[i]) == kPass && pass;
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
            check_disk(nullptr, ports[i]);
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

// MIB, the data check's size: 1 to 256.
static bool is_mib(const char *text)
{
    size_t digits = strspn(text, "0123456789");
    return digits > 0 && digits <= 3 && !text[digits] && atoi(text) >= 1 && atoi(text) <= 256;
}

int main(int argc, char **argv)
{
    static Row rows[kMaxRows];
    static DiskPort ports[kMaxDisks];
    int n_rows = 0;

    // a reader that went away is a failed write (status 3), not a silent death
    signal(SIGPIPE, SIG_IGN);
    bool writing_plan = argc == 2 && strcmp(argv[1], "--write-plan") == 0;
    if (!writing_plan) {
        if (argc < 2 || argc > 3 || argv[1][0] == '-')
            return usage();
        if (argc == 3 && !is_mib(argv[2])) {
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
        pass = check_ports(rows, n_rows, ports, n_ports);
    if (fflush(stdout) != 0 || ferror(stdout))
        return 3;
    return pass ? 0 : 1;
}
