// The port plan's grammar. A plan is typed by hand at a line's bring-up, so a typo must stop the run at its line,
// never pass as a name the kernel does not give: a connector that no disk can ever be found on fails its row
// "no-disk" while the real stick shows up as "extra", and the board is blamed for the plan.

#include "port-plan.h"

#include <errno.h>
#include <stdarg.h>
#include <string.h>

#include "disks.h"
#include "trust.h"

constexpr size_t kLineSize = 256;  // a plan's line, comment and all

// The plan being read, for its messages.
struct Reader {
    const char *path;
    FILE *err;
    int line;
};

// What is wrong with the plan, at the line being read; status 2.
__attribute__((format(printf, 2, 3))) static int bad_plan(Reader &r, const char *format, ...)
{
    char what[160];
    va_list args;
    va_start(args, format);
    vsnprintf(what, sizeof what, format, args);
    va_end(args);
    fprintf(r.err, "korvalt-ports: %s:%d: %s\n", r.path, r.line, what);
    return 2;
}

const char *printable(const char *field)
{
    static char shown[44];
    size_t n = 0;
    for (; field[n] && n < 40; n++)
        shown[n] = field[n] > ' ' && field[n] < 0x7f ? field[n] : '?';
    snprintf(shown + n, sizeof shown - n, "%s", field[n] ? "..." : "");
    return shown;
}

// A connector as the kernel names one, and disk_ports after it: "B-P" or "B-P.Q..." (bus and ports count from 1,
// at most three digits each), or "ataN" (from 1).
static bool is_connector_name(const char *name)
{
    const char *dash = strchr(name, '-');
    if (strlen(name) >= kNameSize)
        return false;
    if (strncmp(name, "ata", 3) == 0)
        return counting_numbers(name + 3, 3) == 1;
    return dash && counting_numbers(std::string_view(name, dash - name), 3) == 1 && counting_numbers(dash + 1, 3) > 0;
}

static bool is_label(const char *label)
{
    size_t n = 0;
    for (char c; (c = label[n]); n++) {
        bool alnum = (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
        if (!alnum && (n == 0 || !strchr("._-", c)))
            return false;
    }
    return n > 0 && n < sizeof Row::label;
}

bool parse_tenths(const char *text, long &tenths)
{
    if (strcmp(text, "-") == 0) {
        tenths = kUnchecked;
        return true;
    }
    // digits, then at most one "." and one digit: "0", "480", "0.5", never "05", ".5" or "5."
    unsigned long value = 0;
    const char *c = text;
    for (; *c >= '0' && *c <= '9'; c++)
        value = value * 10 + (*c - '0');
    size_t digits = c - text;
    bool tenth = c[0] == '.' && c[1] >= '0' && c[1] <= '9' && !c[2];
    if (!digits || digits > 7 || (text[0] == '0' && digits > 1) || (*c && !tenth))
        return false;
    tenths = (long)value * 10 + (tenth ? c[1] - '0' : 0);
    return true;
}

const char *shown_tenths(long tenths, bool rate, char *out, size_t size)
{
    snprintf(out, size, tenths == kUnchecked ? "-" : rate || tenths % 10 ? "%ld.%ld" : "%ld", tenths / 10,
             tenths % 10);
    return out;
}

const Row *row_naming(const Row *rows, int n, const char *connector)
{
    for (int r = 0; r < n; r++)
        for (int i = 0; i < rows[r].n_names; i++)
            if (strcmp(connector, rows[r].names[i]) == 0)
                return &rows[r];
    return nullptr;
}

// One line of the plan, its carriage return cut off, into rows[n]: 1 for a row, 0 for a line without one, 2 (said)
// for a wrong one.
static int parse_row(Reader &r, char *line, Row *rows, int n)
{
    line[strcspn(line, "#")] = '\0';
    char *f[5];
    int fields = split_fields(line, f, 5);
    if (fields == 0)
        return 0;
    if (fields != 5)
        return bad_plan(r, "%d fields, where a row has 5: LABEL CONNECTOR SPEED WRITE READ", fields);
    if (n == kMaxRows)
        return bad_plan(r, "more than %d rows", kMaxRows);
    Row &row = rows[n];
    row = {};
    row.line = r.line;
    if (!is_label(f[0]))
        return bad_plan(r, "label %s: 1 to 24 of A-Za-z0-9._-, the first a letter or digit", printable(f[0]));
    for (int i = 0; i < n; i++)
        if (strcmp(f[0], rows[i].label) == 0)
            return bad_plan(r, "label %s is line %d's already", printable(f[0]), rows[i].line);
    snprintf(row.label, sizeof row.label, "%s", f[0]);
    for (char *name = f[1], *comma; name; name = comma ? comma + 1 : nullptr) {
        if ((comma = strchr(name, ',')))
            *comma = '\0';
        if (!is_connector_name(name))
            return bad_plan(r, "connector %s: a name as disk_ports gives it (1-2, 1-1.4, ata1), several joined by "
                               "commas", printable(name));
        if (row_naming(&row, 1, name))
            return bad_plan(r, "connector %s twice in this row", printable(name));
        if (const Row *other = row_naming(rows, n, name))
            return bad_plan(r, "connector %s stands in line %d already", printable(name), other->line);
        if (row.n_names == kMaxNames)
            return bad_plan(r, "more than %d names for one connector", kMaxNames);
        snprintf(row.names[row.n_names++], sizeof row.names[0], "%s", name);
    }
    static const char kWhat[][6] = {"speed", "write", "read"};
    long *floors[] = {&row.speed, &row.write, &row.read};
    for (int i = 0; i < 3; i++)
        if (!parse_tenths(f[2 + i], *floors[i]))
            return bad_plan(r, "%s %s: a number with at most one decimal (480, 1.5), or -", kWhat[i],
                            printable(f[2 + i]));
    return 1;
}

// The next line of the plan into line, its newline and a carriage return before it cut off. 1 for a line, 0 at the
// end of the plan, 2 (said) for a line too long, a NUL byte or a failed read.
static int next_line(Reader &r, FILE *fp, char *line, size_t size)
{
    size_t n = 0;
    int c;
    r.line++;
    while ((c = getc(fp)) != EOF && c != '\n') {
        if (c == '\0')
            return bad_plan(r, "a NUL byte: the plan is a text file");
        if (n + 1 == size)
            return bad_plan(r, "longer than %d characters", (int)size - 1);
        line[n++] = (char)c;
    }
    if (ferror(fp))
        return bad_plan(r, "cannot be read: %s", strerror(errno));
    if (c == EOF && n == 0)
        return 0;
    if (n > 0 && line[n - 1] == '\r')
        n--;
    line[n] = '\0';
    return 1;
}

int read_plan(const char *path, Row *rows, int &n, FILE *err)
{
    Reader r = {path, err, 0};
    errno = 0;
    FILE *fp = open_for_reading(path);
    if (!fp) {
        fprintf(err, "korvalt-ports: %s: %s\n", path, errno ? strerror(errno) : "not a regular file");
        return 2;
    }
    char line[kLineSize];
    int status;
    n = 0;
    while ((status = next_line(r, fp, line, sizeof line)) == 1) {
        char *text = line;
        if (r.line == 1 && strncmp(text, "\xef\xbb\xbf", 3) == 0)
            text += 3;
        if ((status = parse_row(r, text, rows, n)) == 2)
            break;
        n += status;
    }
    fclose(fp);
    if (status == 0 && n == 0) {
        fprintf(err, "korvalt-ports: %s: no rows\n", path);
        return 2;
    }
    return status;
}
