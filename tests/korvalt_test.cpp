// korvalt run end to end on simulated devices.

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "sim_device.h"

using Entries = std::set<std::string>;

static void counts(SimDevice &dev, const std::string &usb, const std::string &sata)
{
    dev.write("tmp/usbdisknum", usb);
    dev.write("tmp/satadisknum", sata);
}

// Two sticks, a card reader with a card in one of its four slots, and a modem's card slot, whose version lies
// beyond the lookup's window but not beyond the kernel's own answer; the eSATA disk takes no number.
TEST(Demo, ReportsTheMountedUsbDisksAndSkipsTheEsataDisk)
{
    Outcome r = run_demo("Demo");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, read_file(DEMO_DEVICE ".report"));
    EXPECT_EQ(r.err, "");
}

TEST(Usage, AnyArgumentPrintsTheUsageLineAfterTheDfSnapshot)
{
    SimDevice dev;
    counts(dev, "1\n", "0\n");
    dev.add({"sda"});
    for (const auto &args : std::vector<std::vector<std::string>>{{"-h"}, {""}, {"a", "b"}}) {
        Outcome r = dev.run(args);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, "Usage: korvalt\n");
        EXPECT_TRUE(dev.tmp_has("df_usb"));
        EXPECT_FALSE(dev.tmp_has("disk_version"));
    }
}

// The report is what a factory script logs: when it cannot be written the run fails, unless it failed already.
TEST(Status, AReportThatCannotBeWrittenFails)
{
    struct Case {
        std::string program;
        std::vector<std::string> args;
        const char *status;
    } cases[] = {
        {KORVALT_BIN, {}, "1\n"},
        {KORVALT_BIN, {"-x"}, "255\n"},
        {KORVALT_QUERY_BIN, {"fw_region"}, "1\n"},
        {KORVALT_QUERY_BIN, {"no_such_operation"}, "2\n"},
        {KORVALT_PORTS_BIN, {"/tmp/plan"}, "3\n"},
        {KORVALT_PORTS_BIN, {"--write-plan"}, "3\n"},
        {KORVALT_PORTS_BIN, {"/tmp/no-plan"}, "2\n"},
    };
    for (const Case &c : cases) {
        SimDevice dev;
        counts(dev, "1\n", "");
        dev.add({"sda"});
        dev.write("tmp/plan", "usb 1-1 480 - -\n");
        EXPECT_EQ(dev.run_shell("\"$@\" >/dev/full 2>/dev/null; echo $?", c.program, c.args).out, c.status)
            << c.program << " " << c.args.size();
    }
}

TEST(Counts, MissingCountFilesEndTheRunWithoutReadingThePartitionTable)
{
    SimDevice dev;
    dev.add({"sda"});
    Outcome r = dev.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0 USB disk !!!\n0 eSATA disk\n");
    EXPECT_EQ(dev.tmp_entries(), (Entries{"df_usb"}));
}

TEST(Counts, CountTextsAreCutAtTheLineEnd)
{
    struct Case {
        const char *usb, *sata, *out;
    } cases[] = {
        {"2\r\n", "1\r\n", "2 USB disk(s)!!!\n1 eSATA disk\n"},
        {"0", "", "0 USB disk(s)!!!\n0 eSATA disk\n"},
        {"", "3\nsecond line\n", "0 USB disk !!!\n3 eSATA disk\n"},
        {"\n", "\r\n", "0 USB disk !!!\n0 eSATA disk\n"},
    };
    for (const Case &c : cases) {
        SimDevice dev;
        counts(dev, c.usb, c.sata);
        Outcome r = dev.run();
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.out) << "usb count " << c.usb;
    }
}

TEST(Counts, AZeroCountIsACountAndTheScanRuns)
{
    SimDevice dev;
    counts(dev, "0\n", "0\n");
    dev.add({"sda", "0", "S1", "2.00"});
    EXPECT_EQ(dev.run().out, "0 USB disk(s)!!!\n0 eSATA disk\nUSB disk 1, version: USB2.00\n");
}

TEST(Scan, OnlyMountedWholeSdDisksAreReported)
{
    SimDevice dev;
    counts(dev, "2\n", "0\n");
    dev.add({"sda", "0", "AAA111", "2.00", true, true, 2});
    dev.add({"sdb", "1", "BBB222", "3.00", false});
    dev.add({"sdc", "2", "CCC333", "1.10"});
    // a CD drive and a flash partition that df names and sysfs lists are still not disks of ours
    dev.extra_partitions("  11        0    1048575 sr0\n  31        3        128 mtdblock3\n");
    dev.write("sys/block/sr0/device/scsi_device/5:0:0:0/uevent", "DRIVER=sr\n");
    dev.write("sys/block/mtdblock3/uevent", "DEVNAME=mtdblock3\n");
    dev.write("df", "Filesystem 1K-blocks Used Available Use% Mounted on\n"
                    "/dev/sda1 100 1 99 1% /mnt/sda1\n"
                    "/dev/sr0 100 1 99 1% /mnt/cdrom\n"
                    "/dev/mtdblock3 128 40 88 31% /tmp/factory\n"
                    "/dev/sdc2 100 1 99 1% /mnt/sdc2\n");
    Outcome r = dev.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "2 USB disk(s)!!!\n0 eSATA disk\n"
                     "USB disk 1, version: USB2.00\n"
                     "USB disk 2, version: USB1.10\n");
    EXPECT_EQ(r.err, "");
    // partitions and the unmounted disk are never probed
    EXPECT_EQ(dev.tmp_entries(), (Entries{"df_usb", "disk_version", "sda_info_tmp", "sdc_info_tmp",
                                          "usbdisknum", "satadisknum"}));
}

TEST(Scan, TheEsataDiskIsProbedButTakesNoNumber)
{
    SimDevice dev;
    counts(dev, "2\n", "1\n");
    dev.add({"sda", "0", "AAA111", "2.00"});
    dev.add({"sdb", "1", "", "", true, false});
    dev.add({"sdc", "2", "CCC333", "3.00"});
    dev.store("sata_diskname", "sdb");
    Outcome r = dev.run();
    EXPECT_EQ(r.out, "2 USB disk(s)!!!\n1 eSATA disk\n"
                     "USB disk 1, version: USB2.00\n"
                     "USB disk 2, version: USB3.00\n");
    EXPECT_TRUE(dev.tmp_has("sdb_info_tmp"));
    EXPECT_EQ(dev.tmp("sdb_info_tmp"), "1:0:0:0\n");
    EXPECT_EQ(dev.tmp("disk_version"), "3.00\n");
}

TEST(Scan, TheEsataNameIsComparedOnItsFirstThreeCharacters)
{
    struct Case {
        const char *sata_diskname, *out;
    } cases[] = {
        {"sdb1", "USB disk 1, version: USB2.00\n"},
        {"sdbxyz", "USB disk 1, version: USB2.00\n"},
        {"", "USB disk 1, version: USB2.00\nUSB disk 2, version: USB3.00\n"},
        {"sd", "USB disk 1, version: USB2.00\nUSB disk 2, version: USB3.00\n"},
        {"sdc", "USB disk 1, version: USB2.00\nUSB disk 2, version: USB3.00\n"},
    };
    for (const Case &c : cases) {
        SimDevice dev;
        counts(dev, "2\n", "1\n");
        dev.add({"sda", "0", "AAA111", "2.00"});
        dev.add({"sdb", "1", "BBB222", "3.00"});
        dev.store("sata_diskname", c.sata_diskname);
        EXPECT_EQ(dev.run().out, std::string("2 USB disk(s)!!!\n1 eSATA disk\n") + c.out)
            << "sata_diskname " << c.sata_diskname;
    }
}

TEST(Scan, DfLinesMarkADiskByTheirDevicesFirstThreeCharacters)
{
    struct Case {
        const char *df_line;
        bool mounted;
    } cases[] = {
        {"/dev/sda1 100 1 99 1% /mnt/sda1\n", true},
        {"/dev/sda 100 1 99 1% /mnt/sda\n", true},
        {"sda3 100 1 99 1% /mnt/x\n", true},
        {"/dev/mapper/sdaX 5\n", true},
        {"/dev/sdb1 100 1 99 1% /mnt/sdb1\n", false},
        {"/dev/sda1\n", false},                          // no number: not a filesystem line
        {"/dev/sda1 used 1 99 1% /mnt/sda1\n", false},
        {"/mnt/sda1 tmpfs 100 1 99 1%\n", false},
        // BusyBox df puts a name of over 20 characters on a line of its own: such a disk counts as not mounted
        {"/dev/mapper/sda1-encrypted-data\n                       7690432   1203456   6486976  16% /mnt/data\n",
         false},
    };
    for (const Case &c : cases) {
        SimDevice dev;
        counts(dev, "1\n", "");
        dev.add({"sda", "0", "AAA111", "2.00"});
        dev.write("df", std::string("Filesystem 1K-blocks Used Available Use% Mounted on\n") + c.df_line);
        std::string report = c.mounted ? "USB disk 1, version: USB2.00\n" : "";
        EXPECT_EQ(dev.run().out, "1 USB disk(s)!!!\n0 eSATA disk\n" + report) << c.df_line;
    }
}

TEST(Scan, MissingPartitionTableEndsTheRunAfterTheCounts)
{
    SimDevice dev;
    counts(dev, "1\n", "1\n");
    dev.add({"sda"});
    dev.write("proc/partitions", "");
    std::filesystem::remove(dev.description() + "/proc/partitions");
    Outcome r = dev.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "1 USB disk(s)!!!\n1 eSATA disk\n");
}

// The kernel prints a stick's serial string in both files; the device list line must equal it whole.
TEST(Probe, TheSerialLineNamesTheStickWholeAndTheLastOneStands)
{
    struct Case {
        const char *serial_lines;  // the usb-storage file's serial lines
        const char *serial;        // what the device list names the disk by
        const char *version;
    } cases[] = {
        {"Serial Number: ABC123  \n", "ABC123  ", "2.00"},
        {"Serial Number: ABC123  \n", "ABC123", ""},
        {"Serial Number: \tABC123\t \r\n", "\tABC123\t \r", "2.00"},
        {"Serial Number:ABC123", "ABC123", "2.00"},
        {"Serial Number: ABC\n", "ABC123", ""},
        {"Serial Number: 2.00\n", "ABC123", ""},
        {"Serial Number: None\n", "None", ""},
        {"Serial Number: OLD\nSerial Number: NEW\n", "NEW", "2.00"},
        {"Serial Number: NEW\n  Serial Number: OLD\n", "NEW", "2.00"},
        {"Serial Number: A B\n", "A B", "2.00"},
        {"Serial Number:\n", "ABC123", ""},
        {"Serial Number:   \n", "  ", ""},
        {"serial number: ABC123\n", "ABC123", ""},
    };
    for (const Case &c : cases) {
        SimDevice dev;
        counts(dev, "1\n", "0\n");
        Disk disk{"sda", "0", c.serial, "2.00"};
        disk.version_file = false;  // the lookup's answer stands
        dev.add(disk);
        dev.write("proc/scsi/usb-storage/0", std::string("   Host scsi0: usb-storage\n"
                                                         "     Protocol: Transparent SCSI\n") +
                                                 c.serial_lines);
        Outcome r = dev.run();
        EXPECT_EQ(r.out, std::string("1 USB disk(s)!!!\n0 eSATA disk\nUSB disk 1, version: USB") + c.version +
                             "\n")
            << c.serial_lines;
        EXPECT_EQ(r.err, "");
    }
}

TEST(Probe, TheHostNumberComesFromTheFirst15CharactersOfTheListing)
{
    struct Case {
        const char *host;     // the disk's scsi_device entry is host:0:0:0
        const char *also;     // another usb-storage file that holds the disk's serial, or ""
        const char *version;
    } cases[] = {
        {"0", "", "2.00"},
        {"12", "", "2.00"},
        {"123456789012345", "", "2.00"},
        {"1234567890123456", "", ""},
        {"1234567890123456", "123456789012345", "2.00"},
    };
    for (const Case &c : cases) {
        SimDevice dev;
        counts(dev, "1\n", "0\n");
        Disk disk{"sda", c.host, "ABC123", "2.00"};
        disk.version_file = false;  // the lookup's answer stands
        dev.add(disk);
        if (c.also[0])
            dev.write(std::string("proc/scsi/usb-storage/") + c.also, "Serial Number: ABC123\n");
        Outcome r = dev.run();
        EXPECT_EQ(r.out, std::string("1 USB disk(s)!!!\n0 eSATA disk\nUSB disk 1, version: USB") + c.version +
                             "\n")
            << c.host << " " << c.also;
    }
}

static Disk without_version_file(Disk disk)
{
    disk.version_file = false;
    return disk;
}

static Disk in_block_folder(Disk disk)
{
    disk.block_folder = true;
    return disk;
}

// The version of a disk is what the kernel says of the disk's USB device; the lookup's answer counts only where the
// kernel has none. Cases where the lookup alone goes wrong, and where the kernel's answer must not be taken.
TEST(Version, TheKernelNamesTheVersionOfEachDisksUsbDevice)
{
    auto remove = [](const std::string &path) {
        return [path](SimDevice &dev) { std::filesystem::remove(dev.description() + "/" + path); };
    };
    struct Case {
        const char *what;
        std::vector<Disk> disks;
        std::function<void(SimDevice &)> change;
        std::vector<std::string> versions;  // each disk's, in the report
    } cases[] = {
        {"one serial on three sticks",
         {{"sda", "0", "BATCH7", "3.00"}, {"sdb", "1", "BATCH7", "2.00"}, {"sdc", "2", "BATCH7", "1.10"}},
         nullptr, {"3.00", "2.00", "1.10"}},
        {"a stick without a serial", {{"sda", "0", "None", "3.00"}}, nullptr, {"3.00"}},
        {"a UAS disk, which has no usb-storage file", {{"sda", "0", "UAS1", "3.00"}},
         remove("proc/scsi/usb-storage/0"), {"3.00"}},
        {"a stick listed before its victim forges the victim's serial line",
         {{"sda", "0", "FORGER", "1.10", true, true, 1, "x\nS:  SerialNumber=VICTIM"}, {"sdb", "1", "VICTIM", "3.00"}},
         nullptr, {"1.10", "3.00"}},
        {"a product name that holds Ver", {{"sda", "0", "S1", "2.00", true, true, 1, "Ver 9.99"}}, nullptr, {"2.00"}},
        {"no USB device list under /proc", {{"sda", "0", "S1", "3.00"}, {"sdb", "1", "S2", "1.10"}},
         remove("proc/bus/usb/devices"), {"3.00", "1.10"}},
        {"old kernels: /sys/block/sdX a folder", {in_block_folder({"sda", "0", "None", "3.00"})}, nullptr, {"3.00"}},
        {"a device without a version file: the lookup's answer",
         {without_version_file({"sda", "0", "S1", "3.00"}), without_version_file({"sdb", "1", "None", "2.00"})},
         nullptr, {"3.00", ""}},
        {"a version file that is no version: the lookup's answer", {{"sda", "0", "S1", "3.00"}},
         [](SimDevice &dev) { dev.write(dev.usb_device("sda") + "/version", " 3.00x\n"); }, {"3.00"}},
        {"a blank version file: the lookup's answer", {{"sda", "0", "S1", "3.00"}},
         [](SimDevice &dev) { dev.write(dev.usb_device("sda") + "/version", " \t\n"); }, {"3.00"}},
        {"a folder without bus and device number is no USB device", {{"sda", "0", "None", "3.00"}},
         [](SimDevice &dev) { std::filesystem::remove(dev.description() + "/" + dev.usb_device("sda") + "/busnum"); },
         {""}},
        {"a SATA disk's controller that holds a version file",
         {{"sda", "0", "S1", "2.00"}, {"sdb", "1", "", "", true, false}},
         [](SimDevice &dev) { dev.write("sys/devices/pci0000:00/0000:00:1f.2/version", " 9.99\n"); },
         {"2.00", ""}},
    };
    for (const Case &c : cases) {
        SimDevice dev;
        counts(dev, std::to_string(c.disks.size()) + "\n", "0\n");
        std::string expected = std::to_string(c.disks.size()) + " USB disk(s)!!!\n0 eSATA disk\n";
        for (const Disk &disk : c.disks)
            dev.add(disk);
        for (size_t i = 0; i < c.versions.size(); i++)
            expected += "USB disk " + std::to_string(i + 1) + ", version: USB" + c.versions[i] + "\n";
        if (c.change)
            c.change(dev);
        Outcome r = dev.run();
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_EQ(r.out, expected) << c.what;
    }
}

TEST(Probe, ADiskWithoutUsbStorageReportsAnEmptyVersion)
{
    SimDevice dev;
    counts(dev, "2\n", "0\n");
    dev.add({"sda", "0", "AAA111", "2.00"});
    dev.add({"sdb", "1", "", "", true, false});
    Outcome r = dev.run();
    EXPECT_EQ(r.out, "2 USB disk(s)!!!\n0 eSATA disk\n"
                     "USB disk 1, version: USB2.00\n"
                     "USB disk 2, version: USB\n");
    // the empty serial looks nothing up: no stale version of the first disk, no grep complaint
    EXPECT_EQ(dev.tmp("disk_version"), "");
    EXPECT_EQ(r.err, "");
}

TEST(Probe, ADiskWithoutScsiEntryReportsAnEmptyVersion)
{
    SimDevice dev;
    counts(dev, "1\n", "0\n");
    dev.add({"sda", "0", "AAA111", "2.00"});
    std::filesystem::remove_all(dev.description() + "/sys/block/sda/device");
    Outcome r = dev.run();
    EXPECT_EQ(r.out, "1 USB disk(s)!!!\n0 eSATA disk\nUSB disk 1, version: USB\n");
    // ls's own complaint reaches stderr, worded as each userland words it
    EXPECT_NE(r.err.find("/sys/block/sda/device/scsi_device/"), std::string::npos) << r.err;
    EXPECT_EQ(dev.tmp("sda_info_tmp"), "");
}

// Serial numbers and the other descriptor strings come from the USB stick itself. Each serial must find its own
// device, and only it, run nothing, and let nothing but a version into the report.
TEST(HostileSerial, FindsExactlyItsOwnDeviceAndRunsNothing)
{
    const std::string specials = "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~";
    std::vector<std::string> serials = {
        "X';touch /tmp/pwned;'", "$(reboot)", "`reboot`", "$(touch /tmp/pwned)", "-v", "--help", "-e", "A.B",
        "AB CD", "[A-Z]*", "\\(a\\|b\\)*", "\\", "'", "\"; reboot; \"", "a|reboot", "x > /tmp/pwned", "*", "~root",
        "${IFS}reboot", "X" + specials + "Y", "-" + specials, "Ver", "2.00", "S:  SerialNumber=", "Flash Disk",
        "None",  // the kernel's word for a stick without a serial, which has no serial line to match
        std::string(113, '\''),  // the longest serial a line holds, quoted at the longest: the command is not cut
    };
    for (char c : specials)
        serials.push_back(std::string("S") + c + "N");
    std::string longest;
    while (longest.size() < 113)
        longest += "Z" + specials;
    serials.push_back(longest.substr(0, 113));

    // Without the kernel's version files the lookup's answer stands; with them the lookup still runs, and still
    // runs nothing, but the kernel names every disk's version, the forger's and the serial-less stick's too.
    for (const std::string &serial : serials)
        for (bool kernel : {false, true}) {
            SimDevice dev;
            counts(dev, "3\n", "0\n");
            auto add = [&](Disk disk) {
                disk.version_file = kernel;
                dev.add(disk);
            };
            // decoys around it: what a loose lookup would find instead. The first names the serial in its product
            // string, the last holds it in its own serial and forges a version line ahead of its own.
            add({"sda", "0", "AxB", "1.10", true, true, 1, serial});
            add({"sdb", "1", serial, "3.00"});
            add({"sdc", "2", "Z" + serial, "2.00", true, true, 1, "x\nD:  Ver= \033[2J\033[1;32mUSB3.00-PASS"});
            dev.write("proc/scsi/usb-storage/1", "   Host scsi1: usb-storage\nSerial Number:" + serial + "\n");
            std::string what = "serial " + serial + (kernel ? " with" : " without") + " the kernel's versions";
            Outcome r = dev.run();
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, "3 USB disk(s)!!!\n0 eSATA disk\n"
                             "USB disk 1, version: USB1.10\n"
                             "USB disk 2, version: USB" + std::string(serial == "None" && !kernel ? "" : "3.00") +
                             "\nUSB disk 3, version: USB" + (kernel ? "2.00" : "") + "\n")
                << what;
            EXPECT_EQ(r.err, "") << what;
            EXPECT_EQ(dev.tmp_entries(), (Entries{"df_usb", "disk_version", "sda_info_tmp", "sdb_info_tmp",
                                                  "sdc_info_tmp", "usbdisknum", "satadisknum"}))
                << what;
            EXPECT_EQ(dev.changed_outside_tmp(), std::vector<std::string>()) << what;
        }
}

TEST(HostileSerial, AnOverlongSerialLineKeepsItsFirst127Characters)
{
    std::string value(200, 'S');
    SimDevice dev;
    counts(dev, "1\n", "0\n");
    dev.add({"sda", "0", value.substr(0, 112), "2.00"});
    dev.write("proc/scsi/usb-storage/0", "Serial Number: " + value + "\n");
    EXPECT_EQ(dev.run().out, "1 USB disk(s)!!!\n0 eSATA disk\nUSB disk 1, version: USB2.00\n");
}

TEST(HostileSerial, ALongProductNameCannotPoseAsTheSerialLine)
{
    SimDevice dev;
    counts(dev, "1\n", "0\n");
    dev.add({"sda", "0", "REAL", "2.00"});
    dev.add({"sdb", "1", "FAKE", "3.00", false});
    dev.write("proc/scsi/usb-storage/0", "Serial Number: REAL\n"
                                         "      Product: " + std::string(112, 'P') + "Serial Number: FAKE\n");
    EXPECT_EQ(dev.run().out, "1 USB disk(s)!!!\n0 eSATA disk\nUSB disk 1, version: USB2.00\n");
}

TEST(Report, ManyDisksAreNumberedInPartitionTableOrder)
{
    SimDevice dev;
    counts(dev, "16\n", "1\n");
    std::string expected = "16 USB disk(s)!!!\n1 eSATA disk\n";
    int number = 0;
    for (int i = 0; i < 17; i++) {
        std::string name = std::string("sd") + char('a' + i);
        if (i == 5) {
            dev.add({name, std::to_string(i), "", "", true, false});
            continue;
        }
        std::string version = i % 2 ? "3.00" : "2.00";
        dev.add({name, std::to_string(i), "SN" + std::to_string(1000 + i), version});
        expected += "USB disk " + std::to_string(++number) + ", version: USB" + version + "\n";
    }
    dev.store("sata_diskname", "sdf");
    Outcome r = dev.run();
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");
}

// Runs at the same time share the scratch names in /tmp; they take turns, and each report is exact.
TEST(Concurrency, RunsAtTheSameTimeGiveExactReports)
{
    SimDevice dev;
    counts(dev, "8\n", "0\n");
    std::string report = "8 USB disk(s)!!!\n0 eSATA disk\n";
    for (int i = 0; i < 8; i++) {
        std::string version = i % 2 ? "3.00" : "2.00";
        dev.add({std::string("sd") + char('a' + i), std::to_string(i), "SN" + std::to_string(i), version});
        report += "USB disk " + std::to_string(i + 1) + ", version: USB" + version + "\n";
    }
    dev.store("wl_simple_mode", "1");
    dev.store("wla_simple_mode", "3");
    dev.radio("11g", "ON\n", "6\n");
    dev.radio("11a", "OFF\n", "44\n");
    struct Case {
        std::string program, a, b, out;  // two commands, "$@" the program, and what they print together
    } cases[] = {
        {KORVALT_BIN, "\"$@\"", "\"$@\"", report + report},
        {KORVALT_QUERY_BIN, "\"$@\" wl_channel", "\"$@\" wla_channel", "Auto ( 6 )\n -- \n"},
    };
    for (const Case &c : cases) {
        std::string rounds = "for i in 1 2 3 4 5 6 7 8 9 10; do " + c.a + " >/tmp/a & " + c.b +
                             " >/tmp/b; wait; cat /tmp/a /tmp/b; done";
        std::string expected;
        for (int i = 0; i < 10; i++)
            expected += c.out;
        EXPECT_EQ(dev.run_shell(rounds, c.program).out, expected) << c.a << " & " << c.b;
    }
}

// The device a program sees is the described one, and what it writes stays in the device's /tmp.
TEST(Sandbox, TheDeviceReplacesTheHostsProcSysAndTmp)
{
    SimDevice dev;
    dev.write("proc/partitions", "only the device's table\n");
    dev.write("sys/block/sdq/uevent", "DEVNAME=sdq\n");
    dev.store("sata_diskname", "sdq");
    Outcome r = dev.run({"-c", "cat /proc/partitions; ls /sys/block; cat /var/config/store; df | head -1;"
                               " echo left > /tmp/note; touch /etc/korvalt-sim-probe 2>/dev/null || echo ro"},
                        "/bin/sh");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "only the device's table\nsdq\nsata_diskname=sdq\n"
                     "Filesystem           1K-blocks      Used Available Use% Mounted on\nro\n");
    EXPECT_EQ(dev.tmp("note"), "left\n");
}

// A command that is not there exits 127, as sh and env say it, not with bwrap's 1 or the 125 of a broken sandbox.
TEST(Sandbox, ACommandThatIsNotThereExits127)
{
    for (const char *command : {"no-such-command", "build/no-such-program", "/tmp/no-such-program"}) {
        Outcome r = run_demo("NoCommand", {}, command);
        EXPECT_EQ(r.status, 127) << command;
        EXPECT_NE(r.err.find("command not found"), std::string::npos) << command << ": " << r.err;
    }
}
