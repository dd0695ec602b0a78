// Port plans as korvalt-ports reads them: whatever a plan holds, the rows it takes name each connector once, and
// each reads back as the same row when written out again as a plan's line.

#include <stdint.h>
#include <stdio.h>

#include "fuzz.h"

#define main korvalt_ports_main
#include "korvalt-ports.cpp"
#undef main

// A row as a plan's line: its label, its names joined by commas, and the three numbers.
static void write_row(const Row &row, char *line, size_t size)
{
    char names[sizeof row.names + kMaxNames] = "", numbers[3][16];
    for (int i = 0; i < row.n_names; i++)
        snprintf(names + strlen(names), sizeof names - strlen(names), "%s%s", i ? "," : "", row.names[i]);
    const long floors[] = {row.speed, row.write, row.read};
    for (int i = 0; i < 3; i++)
        snprintf(numbers[i], sizeof numbers[i], "-");
    for (int i = 0; i < 3; i++)
        if (floors[i] != kUnchecked)
            shown_tenths(floors[i], numbers[i], sizeof numbers[i]);
    snprintf(line, size, "%s\t%s %s %s %s", row.label, names, numbers[0], numbers[1], numbers[2]);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Row rows[kMaxRows], again[1];
    // what is wrong with a plan goes to nowhere, not into the fuzzer's log; the checks' words go to the log
    static FILE *nowhere = fopen("/dev/null", "w"), *log = stderr;
    FILE *fp = open_input(data, size);
    if (!fp)
        return 0;
    plan_path = "fuzz";
    plan_line = 0;
    char line[kLineSize];
    int n = 0, status;
    stderr = nowhere;
    while ((status = next_line(fp, line, sizeof line)) == 1 && (status = parse_row(line, rows, n)) != 2)
        n += status;
    fclose(fp);
    stderr = log;

    CHECK(n <= kMaxRows);
    for (int r = 0; r < n; r++) {
        for (int i = 0; i < rows[r].n_names; i++)
            CHECK(row_naming(rows, n, rows[r].names[i]) == &rows[r]);
        char written[2 * kLineSize];
        write_row(rows[r], written, sizeof written);
        CHECK(parse_row(written, again, 0) == 1);
        CHECK(strcmp(again[0].label, rows[r].label) == 0 && again[0].n_names == rows[r].n_names);
        CHECK(again[0].speed == rows[r].speed && again[0].write == rows[r].write && again[0].read == rows[r].read);
        for (int i = 0; i < rows[r].n_names; i++)
            CHECK(strcmp(again[0].names[i], rows[r].names[i]) == 0);
    }
    return 0;
}
