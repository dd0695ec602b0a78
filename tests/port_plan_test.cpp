// The port plan's grammar: the rows of a good plan, and for a bad one where and what; the strings of a port's record.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "json.h"
#include "port-plan.h"

namespace fs = std::filesystem;

struct Read {
    int status, rows;
    std::string err;
};

static Read read_plan_at(const std::string &path, Row *rows)
{
    char *text = nullptr;
    size_t size = 0;
    FILE *err = open_memstream(&text, &size);
    Read r{};
    r.status = read_plan(path.c_str(), rows, r.rows, err);
    fclose(err);
    r.err = std::string(text, size);
    free(text);
    return r;
}

static std::string plan_file(const std::string &content)
{
    std::string dir = std::string(WORK_ROOT) + "/plan";
    fs::create_directories(dir);
    std::ofstream(dir + "/plan", std::ios::binary) << content;
    return dir + "/plan";
}

TEST(PortPlan, AWrongPlanSaysWhereAndWhat)
{
    const std::string row = "usb 1-1 480 - -\n", at = "korvalt-ports: PLAN:";
    std::string rows33 = "# label connector speed write read\n";
    for (int i = 1; i <= 33; i++)
        rows33 += "p" + std::to_string(i) + " 1-" + std::to_string(i) + " 480 - -\n";
    const char *label = ": 1 to 24 of A-Za-z0-9._-, the first a letter or digit\n";
    const char *name = ": a name as disk_ports gives it (1-2, 1-1.4, ata1), several joined by commas\n";
    const char *number = ": a number with at most one decimal (480, 1.5), or -\n";
    struct Case {
        const char *what;
        std::string plan, err;
    } cases[] = {
        {"an empty plan", "", "korvalt-ports: PLAN: no rows\n"},
        {"comments and blank lines only", "# label connector\n\n \t\r\n", "korvalt-ports: PLAN: no rows\n"},
        {"a byte-order mark alone", "\xef\xbb\xbf\n", "korvalt-ports: PLAN: no rows\n"},
        {"a byte-order mark on the second line", row + "\xef\xbb\xbfusb2 1-2 480 - -\n", at + "2: label ???usb2" + label},
        {"33 rows", rows33, at + "34: more than 32 rows\n"},
        {"a label of 25 characters", std::string(25, 'a') + " 1-1 480 - -\n", at + "1: label " + std::string(25, 'a') + label},
        {"a label with a slash", "a/b 1-1 480 - -\n", at + "1: label a/b" + label},
        {"a label that starts with -", "# rows\n-a 1-1 480 - -\n", at + "2: label -a" + label},
        {"a label that starts with .", ".a 1-1 480 - -\n", at + "1: label .a" + label},
        // the bytes next to the letters, which folding the case must not let through
        {"a label with @", "a@b 1-1 480 - -\n", at + "1: label a@b" + label},
        {"a label with [", "a[b 1-1 480 - -\n", at + "1: label a[b" + label},
        {"a label with `", "a`b 1-1 480 - -\n", at + "1: label a`b" + label},
        {"a label with {", "a{b 1-1 480 - -\n", at + "1: label a{b" + label},
        {"bytes that are no text, shown as ?", "\x01\xff 1-1 480 - -\n", at + "1: label ??" + label},
        {"a label twice", row + "usb 1-2 480 - -\n", at + "2: label usb is line 1's already\n"},
        {"a connector in two rows", row + "usb2 2-1,1-1 480 - -\n", at + "2: connector 1-1 stands in line 1 already\n"},
        {"a connector twice in a row", "# rows\nusb 1-1.2,1-1.2 480 - -\n", at + "2: connector 1-1.2 twice in this row\n"},
        {"a port path that ends in a dot", "usb 1-1. 480 - -\n", at + "1: connector 1-1." + name},
        {"an empty name between commas", "usb 1-1,,2-1 480 - -\n", at + "1: connector " + name},
        {"a leading zero in a port", "usb 01-1.2 480 - -\n", at + "1: connector 01-1.2" + name},
        {"a leading zero in a hub's port", "usb 3-01 480 - -\n", at + "1: connector 3-01" + name},
        {"a leading zero in an ATA link", "sata ata01 3000 - -\n", at + "1: connector ata01" + name},
        {"bus 0", "usb 0-1 480 - -\n", at + "1: connector 0-1" + name},
        {"port 0", "usb 1-1.0 480 - -\n", at + "1: connector 1-1.0" + name},
        {"ATA link 0", "sata ata0 3000 - -\n", at + "1: connector ata0" + name},
        {"no port", "usb 1- 480 - -\n", at + "1: connector 1-" + name},
        {"five names", "usb 1-1,2-1,3-1,4-1,5-1 480 - -\n", at + "1: more than 4 names for one connector\n"},
        {"a speed of 1.55", "usb 1-1 1.55 - -\n", at + "1: speed 1.55" + number},
        {"a speed of 4.8.0", "usb 1-1 4.8.0 - -\n", at + "1: speed 4.8.0" + number},
        {"a speed of -5", "usb 1-1 -5 - -\n", at + "1: speed -5" + number},
        {"a connector with two dashes", "usb 1-1-2 480 - -\n", at + "1: connector 1-1-2" + name},
        {"a speed with a leading zero", "usb 1-1 0480 - -\n", at + "1: speed 0480" + number},
        {"a whole part of 00", "usb 1-1 480 00.5 -\n", at + "1: write 00.5" + number},
        {"a write rate of abc", "usb 1-1 480 abc -\n", at + "1: write abc" + number},
        {"a read rate of .5", "usb 1-1 480 - .5\n", at + "1: read .5" + number},
        {"a read rate of 5.", "usb 1-1 480 - 5.\n", at + "1: read 5." + number},
        {"eight digits", "usb 1-1 12345678 - -\n", at + "1: speed 12345678" + number},
        {"four fields", "usb 1-1 480 -\n", at + "1: 4 fields, where a row has 5: LABEL CONNECTOR SPEED WRITE READ\n"},
        {"a plan of 1 MB on one line", std::string(1 << 20, 'x') + "\n", at + "1: longer than 255 characters\n"},
        {"binary garbage", std::string("\x7f" "ELF\x01\x02\x01\0\0\0\0 480 - -\n", 19),
         at + "1: a NUL byte: the plan is a text file\n"},
    };
    for (const Case &c : cases) {
        static Row rows[kMaxRows];
        std::string path = plan_file(c.plan), err = c.err;
        for (size_t at = err.find("PLAN"); at != std::string::npos; at = err.find("PLAN"))
            err.replace(at, 4, path);
        Read r = read_plan_at(path, rows);
        EXPECT_EQ(r.status, 2) << c.what;
        EXPECT_EQ(r.err, err) << c.what;
    }
}

TEST(PortPlan, RowsOfAGoodPlan)
{
    static Row rows[kMaxRows];
    Read r = read_plan_at(plan_file("\xef\xbb\xbf# label\tconnector\tspeed\twrite\tread\r\n"
                                    "usb2\t1-1\t480\t-\t-\r\n\r\n"
                                    "usb3 9-2,2-2 5000 0.5 12.5 # 9-2: a companion's name\n"
                                    "esata ata3 3000 0 9999999.9#at 6 Gbit/s\n"
                                    "kbd 1-10.2.4 1.5 - -\n"
                                    "Rear_USB-2.0 1-3 0 0.0 -\n"),
                          rows);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.rows, 5);
    EXPECT_EQ(r.err, "");
    struct Expected {
        int line;
        std::string label, names;
        long speed, write, read;
    } expected[] = {
        {2, "usb2", "1-1", 4800, kUnchecked, kUnchecked},
        {4, "usb3", "9-2 2-2", 50000, 5, 125},
        {5, "esata", "ata3", 30000, 0, 99999999},
        {6, "kbd", "1-10.2.4", 15, kUnchecked, kUnchecked},
        {7, "Rear_USB-2.0", "1-3", 0, 0, kUnchecked},
    };
    for (int i = 0; i < 5; i++) {
        std::string names;
        for (int n = 0; n < rows[i].n_names; n++)
            names += (n ? " " : "") + std::string(rows[i].names[n]);
        EXPECT_EQ(rows[i].line, expected[i].line);
        EXPECT_EQ(rows[i].label, expected[i].label);
        EXPECT_EQ(names, expected[i].names);
        EXPECT_EQ(rows[i].speed, expected[i].speed) << i;
        EXPECT_EQ(rows[i].write, expected[i].write) << i;
        EXPECT_EQ(rows[i].read, expected[i].read) << i;
    }
    EXPECT_EQ(row_naming(rows, 5, "2-2"), &rows[1]);
    EXPECT_EQ(row_naming(rows, 4, "2-2.1"), nullptr);
}

TEST(PortPlan, OnlyARegularFileIsRead)
{
    static Row rows[kMaxRows];
    std::string dir = std::string(WORK_ROOT) + "/plan";
    fs::create_directories(dir);
    fs::remove(dir + "/fifo");
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    for (const auto &[path, why] : {std::pair<std::string, std::string>{dir + "/fifo", "not a regular file"},
                                    {dir, "not a regular file"},
                                    {dir + "/none", "No such file or directory"}}) {
        Read r = read_plan_at(path, rows);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "korvalt-ports: " + path + ": " + why + "\n");
    }
}

// A record's strings, whatever bytes a stick gives: escaped, not UTF-8 as U+FFFD, cut on a character's boundary.
TEST(PortRecord, AStringIsJsonWhateverItsBytes)
{
    const std::string bad = "\"\xef\xbf\xbd";  // a quote, then U+FFFD
    struct Case {
        const char *what, *text;
        size_t most;
        std::string json;
    } cases[] = {
        {"plain text", "SN 0042-x", 126, "\"SN 0042-x\""},
        {"a quote and a backslash", "a\"b\\c", 126, "\"a\\\"b\\\\c\""},
        {"control bytes and DEL", "\x01\n\x1f\x7f", 126, "\"\\u0001\\u000a\\u001f\x7f\""},
        {"two, three and four bytes", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", 126,
         "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
        {"a stray continuation byte", "a\x80", 126, "\"a\xef\xbf\xbd\""},
        {"an overlong slash", "\xc0\xaf", 126, bad + "\xef\xbf\xbd\""},
        {"an overlong three-byte form", "\xe0\x80\xaf", 126, bad + "\xef\xbf\xbd\xef\xbf\xbd\""},
        {"a surrogate", "\xed\xa0\x80", 126, bad + "\xef\xbf\xbd\xef\xbf\xbd\""},
        {"past U+10FFFF", "\xf4\x90\x80\x80", 126, bad + "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
        {"a character cut short at the end", "\xe2\x82", 126, bad + "\xef\xbf\xbd\""},
        {"cut at most bytes", "abcdef", 5, "\"abcde\""},
        {"cut before a character that would pass it", "abc\xe2\x82\xac", 5, "\"abc\""},
        {"U+FFFD counts three", "ab\xff", 4, "\"ab\""},
        {"an escape counts its one byte", "\"\"\"", 2, "\"\\\"\\\"\""},
        {"no text", nullptr, 126, "null"},
    };
    for (const Case &c : cases) {
        char out[800];
        EXPECT_EQ(std::string(json_string(out, sizeof out, c.text, c.most)), c.json) << c.what;
    }
    // a buffer that is full cuts the string on a character's boundary, and closes it
    char out[12];
    EXPECT_EQ(std::string(json_string(out, sizeof out, "ab\x01\xc3\xa9", 126)), "\"ab\\u0001\"");
}
