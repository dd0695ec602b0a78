// The port plan of a board: its grammar and its rows. A plan has a row per connector,
// "LABEL CONNECTOR SPEED WRITE READ", blanks or tabs between the fields and "#" to the end of a line a comment.
// Nothing is read but the plan's own file; what is wrong with it is said where and what, on the stream given.
#ifndef KORVALT_PORT_PLAN_H
#define KORVALT_PORT_PLAN_H

#include <stdio.h>

constexpr int kMaxRows = 32;
constexpr int kMaxNames = 4;          // the names of one connector: its own and its companion controllers'
constexpr size_t kNameSize = 48;      // a connector's name, as disk_ports gives it
constexpr long kUnchecked = -1;       // a floor of "-", or a figure that is not known

// A row of the plan. Speeds and rates are held in tenths (1.5 Mbit/s is 15): the programs use no floating point.
struct Row {
    int line;
    char label[25];
    char names[kMaxNames][kNameSize];
    int n_names;
    long speed, write, read;
};

// The plan at path into rows, n their number: 0, or 2 when it cannot be read or is wrong, said on err as
// "korvalt-ports: PATH:LINE: what". It is opened without waiting, so that a FIFO or a device in its place is
// refused, never waited for. A UTF-8 byte-order mark at its start is skipped, as editors write one.
int read_plan(const char *path, Row *rows, int &n, FILE *err);

// "480", "1.5", "0.5": at most seven digits, no leading zero, and one decimal, into tenths; "-" is kUnchecked.
// false for anything else.
bool parse_tenths(const char *text, long &tenths);
// Tenths as text: as the plan writes them ("480", "1.5"), or as a line shows a rate, always with one decimal
// ("12.0"); "-" for kUnchecked.
const char *shown_tenths(long tenths, bool rate, char *out, size_t size);
// A field as a message may show it: 40 characters at most, anything but printable ASCII as "?".
const char *printable(const char *field);
// The row that names connector, among the first n rows; null when none does.
const Row *row_naming(const Row *rows, int n, const char *connector);

#endif
