// The partition table's and df's lines, as korvalt and disk_ports read and parse them, and the order of the disks'
// ports.

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz.h"

#include "disks.cpp"

// A disk's port made of fuzz bytes: usb or sata, a connector of numbers or none, a disk name.
static DiskPort port_of(const uint8_t *&p, const uint8_t *end)
{
    auto take = [&]() { return p < end ? *p++ : 0; };
    DiskPort port = {};
    port.kind = take() & 1 ? DISK_SATA : DISK_USB;
    std::string connector;
    for (unsigned i = 0, numbers = take() % 5; i < numbers; i++)
        connector += (i == 0 ? (port.kind == DISK_SATA ? "ata" : "") : i == 1 ? "-" : ".") +
                     std::to_string(take() % 13 * (take() % 2 ? 1 : 1000000007u));
    snprintf(port.connector, sizeof port.connector, "%s", connector.c_str());
    snprintf(port.disk, sizeof port.disk, "sd%s", std::string(1 + take() % 3, char('a' + take() % 3)).c_str());
    return port;
}

// The order, by a rule of its own: a key that sorts as text. Each number is written in 20 digits after a blank, and
// the name after a tab, which sorts before the blank: a connector sorts before the longer ones it begins.
static std::string order_key(const DiskPort &port)
{
    std::string key = port.kind == DISK_USB ? "0" : "1";
    key += port.connector[0] ? "0" : "1";
    for (const char *at = port.connector; *at;) {
        if (*at < '0' || *at > '9') {
            at++;
            continue;
        }
        char *next = nullptr;
        char number[32];
        snprintf(number, sizeof number, " %020lu", strtoul(at, &next, 10));
        key += number;
        at = next;
    }
    char name[48];
    snprintf(name, sizeof name, "\t%04zu%s", strlen(port.disk), port.disk);
    return key + name;
}

// Ports put in one at a time into room for a few must come out as the first of the whole sorted list, in order.
static void check_port_order(const uint8_t *data, size_t size)
{
    std::vector<DiskPort> all;
    for (const uint8_t *p = data, *end = data + size; p < end && all.size() < 64;)
        all.push_back(port_of(p, end));

    DiskPort kept[8];
    size_t n = 0;
    for (const DiskPort &port : all)
        n = insert_port(kept, n, 8, port);

    std::vector<std::string> keys;
    for (const DiskPort &port : all)
        keys.push_back(order_key(port));
    std::sort(keys.begin(), keys.end());
    CHECK(n == std::min<size_t>(all.size(), 8));
    for (size_t i = 0; i < n; i++)
        CHECK(order_key(kept[i]) == keys[i]);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    check_port_order(data, size);

    FILE *fp = open_input(data, size);
    if (!fp)
        return 0;
    char line[256];
    char part_name[128];
    while (read_line(fp, line, sizeof line)) {
        CHECK(strlen(line) < sizeof line);
        if (parse_partition_line(line, part_name)) {
            CHECK(strlen(part_name) < sizeof part_name && part_name[0]);
            CHECK(!strpbrk(part_name, " \n"));
            df_line_names_disk(line, part_name);
        }
        bool named = df_line_names_disk(line, "sda");
        if (named)
            CHECK(strstr(line, "sda") != nullptr);
    }
    fclose(fp);
    return 0;
}
