// korvalt on hostile devices: kernel files with over-long lines, binary garbage, missing and empty files, huge
// tables (the hostile serial numbers are in korvalt_test.cpp), and a hostile neighbour in /tmp. korvalt must never
// crash or hang, run nothing it was not meant to, write nothing but its scratch files, and keep its output lines
// in their form.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>

#include "sim_device.h"

namespace fs = std::filesystem;

// Two count lines, then "USB disk N, version: USB..." numbered from 1.
static void expect_report_form(const Outcome &r, const std::string &what)
{
    EXPECT_EQ(r.status, 0) << what << "\n" << r.err;
    ASSERT_FALSE(r.out.empty()) << what;
    ASSERT_EQ(r.out.back(), '\n') << what;
    std::istringstream lines(r.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_TRUE(line == "0 USB disk !!!" || std::regex_search(line, std::regex(" USB disk\\(s\\)!!!$"))) << what;
    std::getline(lines, line);
    EXPECT_TRUE(line == "0 eSATA disk" || std::regex_search(line, std::regex(" eSATA disk$"))) << what;
    for (int n = 1; std::getline(lines, line); n++)
        EXPECT_EQ(line.rfind("USB disk " + std::to_string(n) + ", version: USB", 0), 0u) << what << ": " << line;
}

// Only the scratch files korvalt names: the df snapshot, the version and one listing per probed disk.
static void expect_only_scratch_files(const SimDevice &dev, const std::set<std::string> &had, const std::string &what)
{
    static const std::regex scratch("df_usb|disk_version|sd._info_tmp");
    for (const std::string &name : dev.tmp_entries())
        EXPECT_TRUE(had.count(name) || std::regex_match(name, scratch)) << what << ": left /tmp/" << name;
    EXPECT_EQ(dev.changed_outside_tmp(), std::vector<std::string>()) << what;
}

static void expect_sound_run(const SimDevice &dev, const Outcome &r, const std::string &what)
{
    expect_report_form(r, what);
    expect_only_scratch_files(dev, {"usbdisknum", "satadisknum"}, what);
}

// disk_ports on the same device: lines of their form, or none, and no file but the df snapshot. And the plan that
// korvalt-ports writes there reads back, every row passing (or there is no connector to write a row for).
static void expect_sound_ports(SimDevice &dev, const std::string &what)
{
    static const std::regex line("(usb ([0-9]+-[0-9]+(\\.[0-9]+)*|-) sd[a-z]+ ([0-9]+(\\.[0-9]+)?|-) (USB[0-9.]+|-)"
                                 "|sata (ata[0-9]+|-) sd[a-z]+ ([0-9]+|-) -) (mounted|unmounted)");
    Outcome r = dev.run({"disk_ports"}, KORVALT_QUERY_BIN);
    EXPECT_EQ(r.status, 0) << what << "\n" << r.err;
    EXPECT_TRUE(r.out.empty() || r.out.back() == '\n') << what;
    std::istringstream lines(r.out);
    for (std::string text; std::getline(lines, text);)
        EXPECT_TRUE(std::regex_match(text, line)) << what << ": " << text;
    expect_only_scratch_files(dev, {"usbdisknum", "satadisknum"}, what + " (disk_ports)");
    r = dev.run_shell("\"$@\" --write-plan >/tmp/plan && exec \"$@\" /tmp/plan 1", KORVALT_PORTS_BIN);
    if (r.status == 2)
        EXPECT_EQ(r.err, "korvalt-ports: /tmp/plan: no rows\n") << what;
    else
        EXPECT_EQ(r.status, 0) << what << "\n" << r.out << r.err;
    expect_only_scratch_files(dev, {"usbdisknum", "satadisknum", "plan"}, what + " (korvalt-ports)");
}

// Deterministic bytes of every value, NUL and newline included.
static std::string garbage(size_t n, unsigned seed)
{
    std::string bytes(n, '\0');
    for (char &c : bytes) {
        seed = seed * 1103515245u + 12345u;
        c = (char)(seed >> 16);
    }
    return bytes;
}

// Where two_disks puts the SuperSpeed stick sdb, on the xHCI's SuperSpeed bus.
static const std::string kXhci = "sys/devices/pci0000:00/0000:00:14.0", kSuperSpeedStick = kXhci + "/usb3/3-2";

static void two_disks(SimDevice &dev)
{
    dev.write("tmp/usbdisknum", "2\n");
    dev.write("tmp/satadisknum", "1\n");
    dev.add({"sda", "0", "FIRST01", "2.00"});
    dev.add({"sdb", "1", "SECOND02", "3.00"});
}

TEST(HostileDevice, OverlongLinesInEveryFile)
{
    const std::string huge(20000, 'x');
    struct Case {
        const char *what;
        std::string path, content, out;
    } cases[] = {
        {"partition line", "proc/partitions",
         "major minor  #blocks  name\n\n   8 0 1 " + huge + "\n   8 0 7818240 sda\n   8 1 7818240 sda1\n"
         "   8 16 7818240 sd" + huge + "\n   8 16 7818240 sdb\n",
         "USB disk 1, version: USB2.00\nUSB disk 2, version: USB3.00\n"},
        {"df line", "df",
         "Filesystem 1K-blocks Used Available Use% Mounted on\n/dev/sda1 1 2 3 4% /mnt/" + huge +
             "\n/dev/" + huge + "sdb1 1 2 3 4% /mnt\n/dev/sdb1 " + huge + "\n/dev/sdb1 1 2 3 4% /mnt/sdb1\n",
         "USB disk 1, version: USB2.00\nUSB disk 2, version: USB3.00\n"},
        {"usb-storage line", "proc/scsi/usb-storage/0",
         "   Host scsi0: usb-storage\n       Vendor: " + huge + "\nSerial Number: FIRST01\n      Product: " + huge,
         "USB disk 1, version: USB2.00\nUSB disk 2, version: USB3.00\n"},
        {"usb device list line", "proc/bus/usb/devices",
         "T:  Bus=01 " + huge + "\nD:  Ver= 2.00 Cls=00\nP:  Vendor=0781 " + huge + "\nS:  Product=" + huge +
             "\nS:  SerialNumber=FIRST01\nC:* #Ifs= 1\nI:* If#= 0 Driver=usb-storage\n",
         "USB disk 1, version: USB2.00\nUSB disk 2, version: USB3.00\n"},
        {"usb count", "tmp/usbdisknum", huge + "\n",
         "USB disk 1, version: USB2.00\nUSB disk 2, version: USB3.00\n"},
        {"esata name", "store", "sata_diskname=" + huge + "\n",
         "USB disk 1, version: USB2.00\nUSB disk 2, version: USB3.00\n"},
    };
    for (const Case &c : cases) {
        SimDevice dev;
        two_disks(dev);
        dev.write(c.path, c.content);
        Outcome r = dev.run();
        expect_sound_run(dev, r, c.what);
        std::string count = c.path == "tmp/usbdisknum" ? std::string(511, 'x') : "2";
        EXPECT_EQ(r.out, count + " USB disk(s)!!!\n1 eSATA disk\n" + c.out) << c.what;
    }
}

TEST(HostileDevice, OverlongAndGarbageScsiEntryNames)
{
    std::string junk = garbage(200, 7);
    for (char &c : junk)
        if (c == '\0' || c == '/')
            c = '_';
    struct Case {
        std::string entry, host, version;  // the disk's scsi_device entry, where its serial is, what it gets
    } cases[] = {
        {std::string(200, '0') + ":0:0:0", "000000000000000", "2.00"},
        {junk, "0", "2.00"},  // no host, no serial: the kernel's answer alone
    };
    for (const Case &c : cases) {
        SimDevice dev;
        two_disks(dev);
        fs::remove_all(dev.description() + "/sys/block/sda/device/scsi_device");
        dev.write("sys/block/sda/device/scsi_device/" + c.entry + "/uevent", "DRIVER=sd\n");
        dev.write("proc/scsi/usb-storage/" + c.host, "Serial Number: FIRST01\n");
        Outcome r = dev.run();
        expect_sound_run(dev, r, c.entry);
        EXPECT_EQ(r.out, "2 USB disk(s)!!!\n1 eSATA disk\nUSB disk 1, version: USB" + c.version +
                             "\nUSB disk 2, version: USB3.00\n");
    }
}

// The userlands differ on garbage the kernel cannot produce: on a NUL byte in the device list GNU grep calls the
// input binary and prints no line of it, BusyBox grep prints the line. Both give a report of the right form.
TEST(HostileDevice, BinaryGarbageInEachFile)
{
    const std::vector<std::string> paths = {
        "proc/partitions", "df", "proc/scsi/usb-storage/0", "proc/bus/usb/devices", "tmp/usbdisknum",
        "tmp/satadisknum", "store", kSuperSpeedStick + "/speed", kSuperSpeedStick + "/devpath",
        kSuperSpeedStick + "/version", kXhci + "/usb2/busnum", kXhci + "/usb2/speed",
    };
    for (const std::string &path : paths) {
        for (unsigned seed : {1u, 2u, 3u}) {
            SimDevice dev;
            two_disks(dev);
            dev.write(path, garbage(path == "store" ? 4096 : 65536, seed));
            Outcome r = dev.run();
            expect_sound_run(dev, r, path + " seed " + std::to_string(seed));
            expect_sound_ports(dev, path + " seed " + std::to_string(seed));
        }
    }
}

TEST(HostileDevice, MissingAndEmptyFiles)
{
    const std::vector<std::string> paths = {
        "proc/partitions", "df", "proc/scsi/usb-storage/0", "proc/scsi/usb-storage", "proc/bus/usb/devices",
        "tmp/usbdisknum", "tmp/satadisknum", "store", "sys/block/sda/device/scsi_device", "sys/block",
        kSuperSpeedStick + "/speed", kSuperSpeedStick + "/devpath", kXhci + "/usb2", kXhci + "/usb3/3-0:1.0",
    };
    for (const std::string &path : paths) {
        for (bool missing : {true, false}) {
            SimDevice dev;
            two_disks(dev);
            std::string full = dev.description() + "/" + path;
            if (!fs::is_directory(full))
                dev.write(path, "");
            if (missing)
                fs::remove_all(full);
            else if (fs::is_directory(full))
                for (const auto &e : fs::directory_iterator(full))
                    fs::remove_all(e.path());
            Outcome r = dev.run();
            std::string what = path + (missing ? " missing" : " empty");
            expect_report_form(r, what);
            expect_only_scratch_files(dev, {"usbdisknum", "satadisknum"}, what);
            expect_sound_ports(dev, what);
        }
    }
}

TEST(HostileDevice, ThousandsOfPartitionsAndDfLines)
{
    SimDevice dev;
    dev.write("tmp/usbdisknum", "16\n");
    std::string expected = "16 USB disk(s)!!!\n0 eSATA disk\n";
    for (int i = 0; i < 16; i++) {
        std::string name = std::string("sd") + char('a' + i);
        dev.add({name, std::to_string(i), "SN" + std::to_string(i), "2.00", true, true, 250});
        expected += "USB disk " + std::to_string(i + 1) + ", version: USB2.00\n";
    }
    std::string partitions;
    for (int i = 0; i < 5000; i++)
        partitions += "  31 " + std::to_string(i % 256) + " 128 mtdblock" + std::to_string(i) + "\n";
    dev.extra_partitions(partitions);
    std::string df = "Filesystem           1K-blocks      Used Available Use% Mounted on\n";
    for (int i = 0; i < 5000; i++)
        df += "tmpfs 63236 428 62808 1% /mnt/ram" + std::to_string(i) + "\n";
    for (int i = 0; i < 16; i++)
        df += std::string("/dev/sd") + char('a' + i) + "1 7690432 1203456 6486976 16% /mnt/usb" +
              std::to_string(i) + "\n";
    dev.write("df", df);
    Outcome r = dev.run();
    EXPECT_EQ(r.out, expected);
    expect_only_scratch_files(dev, {"usbdisknum"}, "thousands of lines");
}

// Every process a run starts is one of the commands korvalt names, however hostile the device; disk_ports runs df
// alone, korvalt-ports nothing. The port test looks at no mount point but its disk's: one that hangs elsewhere
// (a stale network mount) cannot hold it up.
TEST(HostileDevice, RunsOnlyItsOwnCommands)
{
    SimDevice dev;
    dev.write("tmp/usbdisknum", "3\n");
    dev.add({"sda", "0", "$(reboot)`reboot`;reboot", "2.00"});
    dev.add({"sdb", "1", "'; reboot; '", "3.00"});
    dev.add({"sdc", "2", "-f/etc/passwd", "1.10"});
    dev.write("store", "sata_diskname=$(reboot)\n");
    struct Case {
        std::string program, arg, out;
        int programs;  // the program itself and what it starts
    } cases[] = {
        // df through the shell, and per disk the listing (2) and the lookup (6) through the shell
        {KORVALT_BIN, "", "3 USB disk(s)!!!\n0 eSATA disk\nUSB disk 1, version: USB2.00\n"
                         "USB disk 2, version: USB3.00\nUSB disk 3, version: USB1.10\n", 1 + 2 + 3 * 8},
        {KORVALT_QUERY_BIN, "disk_ports", "usb 1-1 sda 480 USB2.00 mounted\nusb 1-3 sdc 480 USB1.10 mounted\n"
                                          "usb 2-2 sdb 5000 USB3.00 mounted\n", 1 + 2},
        {KORVALT_PORTS_BIN, "/tmp/plan", "usb 1-3 sdc 480 #.# #.# pass\n- 1-1 sda 480 - - extra\n"
                                         "- 2-2 sdb 5000 - - extra\nports: 1 of 1 pass\n", 1},
    };
    dev.write("tmp/plan", "usb 1-3 480 - -\n");
    // a device node named as a check's file: the sweep for leftovers looks at it and never opens it
    ASSERT_EQ(mknod((dev.description() + "/mnt/sdc1/.korvalt-ports-9").c_str(), S_IFCHR | 0600, makedev(1, 3)), 0);
    for (const Case &c : cases) {
        std::vector<std::string> args = {"-f", "-qq", "-e", "trace=execve,%file", "-e", "signal=none",
                                         "-o", "/dev/stderr"};
        for (const std::string &word : command_of(c.program))
            args.push_back(word);
        if (!c.arg.empty())
            args.push_back(c.arg);
        Outcome r = dev.run(args, "/usr/bin/strace");
        EXPECT_EQ(figures_masked(r.out), c.out);
        static const std::regex execve("execve\\(\"([^\"]*)\"");
        static const std::regex allowed(".*/(sh|dash|df|ls|cat|grep|awk|mawk|korvalt|korvalt-(query|ports)|qemu-mips)");
        int programs = 0;
        for (auto it = std::sregex_iterator(r.err.begin(), r.err.end(), execve); it != std::sregex_iterator(); ++it) {
            EXPECT_TRUE(std::regex_match((*it)[1].str(), allowed)) << (*it)[1].str();
            programs++;
        }
        EXPECT_EQ(programs, c.programs) << c.program << "\n" << r.err;
        static const std::regex mount_point("\"[^\"]*/mnt/([^/\"]*)");
        std::set<std::string> mounts;
        for (auto it = std::sregex_iterator(r.err.begin(), r.err.end(), mount_point); it != std::sregex_iterator();
             ++it)
            mounts.insert((*it)[1].str());
        EXPECT_EQ(mounts, c.program == KORVALT_PORTS_BIN ? std::set<std::string>{"sdc1"} : std::set<std::string>{})
            << c.program;
        EXPECT_FALSE(std::regex_search(r.err, std::regex("open[^\n]*\\.korvalt-ports-9\""))) << r.err;
        expect_only_scratch_files(dev, {"usbdisknum", "plan"}, "strace");
    }
}

TEST(HostileDevice, DiskNamesGoIntoTheListingAsOneWord)
{
    for (const char *name : {"sd;", "sd|", "sd&", "sd'", "sd`", "sd$", "sd>", "sd*", "sd\\"}) {
        SimDevice dev;
        dev.write("tmp/usbdisknum", "1\n");
        dev.add({name, "0", "NAMED", "2.00"});
        Outcome r = dev.run();
        EXPECT_EQ(r.out, "1 USB disk(s)!!!\n0 eSATA disk\nUSB disk 1, version: USB2.00\n") << name;
        expect_only_scratch_files(dev, {"usbdisknum"}, name);
    }
}

// The listing's /bin/ls, which first names each descriptor it inherited besides standard input, output and error.
static const char kLsNamingInheritedFiles[] =
    "#!/bin/sh\n"
    "for fd in 3 4 5 6 7 8 9; do [ -e /proc/.real/self/fd/$fd ] && echo \"inherited $fd\"; done\n"
    "for entry in \"$1\"*; do echo \"${entry##*/}\"; done\n";

// What any process of the device may leave in its sticky /tmp (links to files it cannot write itself, FIFOs,
// folders, old outputs), and devices whose tools cannot run. Only fresh output of the commands and regular files
// are read, nothing is written through a link, no FIFO is waited on, and no command inherits an open file.
TEST(HostileNeighbour, PlantedFilesAndToolsThatCannotRun)
{
    enum Kind { Link, Fifo, Folder, Old };
    struct Plant {
        const char *path;  // in the device description
        Kind kind;
        const char *content = "";  // where a link leads, what an old file holds
    };
    const std::string counts = "2 USB disk(s)!!!\n1 eSATA disk\n";
    const std::string disks = "USB disk 1, version: USB2.00\nUSB disk 2, version: USB3.00\n";
    const std::string ports = "usb 1-1 sda 480 USB2.00 mounted\nusb 2-2 sdb 5000 USB3.00 mounted\n";
    const std::string unmounted = "usb 1-1 sda 480 USB2.00 unmounted\nusb 2-2 sdb 5000 USB3.00 unmounted\n";
    const char *store = "/var/config/store";
    struct Case {
        std::vector<std::string> query;  // korvalt-query's arguments; korvalt itself when none
        std::vector<Plant> plants;
        const char *tool, *tool_text;  // a tool of /bin replaced on the device, and by what
        std::string out;
    } cases[] = {
        {{}, {{"tmp/df_usb", Link, store}, {"tmp/disk_version", Link, store}, {"tmp/sda_info_tmp", Link, store}},
         nullptr, nullptr, counts + disks},
        {{}, {{"tmp/df_usb", Fifo}, {"tmp/disk_version", Fifo}, {"tmp/sdb_info_tmp", Fifo}}, nullptr, nullptr,
         counts + disks},
        {{}, {{"tmp/usbdisknum", Link, store}}, nullptr, nullptr, "0 USB disk !!!\n1 eSATA disk\n" + disks},
        {{}, {{"tmp/satadisknum", Fifo}}, nullptr, nullptr, "2 USB disk(s)!!!\n0 eSATA disk\n" + disks},
        {{}, {{"tmp/df_usb", Folder}}, nullptr, nullptr, counts},
        {{}, {{"tmp/disk_version", Folder}, {"tmp/sda_info_tmp", Folder}}, nullptr, nullptr, counts + disks},
        {{}, {{"tmp/df_usb", Old, "/dev/sda1 1 1 1 1% /mnt\n"}, {"tmp/sda_info_tmp", Old, "0:0:0:0\n"},
              {"tmp/disk_version", Old, "3.00\n"}},
         "sh", "", counts},
        {{}, {}, "ls", kLsNamingInheritedFiles, counts + disks},
        {{"wla_channel"}, {{"tmp/enable_ap", Link, store}, {"tmp/wl_freq", Fifo}}, nullptr, nullptr,
         "Auto ( 44(P)+48(S) )\n"},
        {{"wla_channel"}, {{"tmp/enable_ap", Old, "ON\n"}, {"tmp/wl_freq", Old, "44\n"}}, "sh", "", " -- \n"},
        {{"wl_freq_info", "wla_"}, {{"tmp/wl_freq", Link, store}}, nullptr, nullptr, "44\n"},
        {{"wl_freq_info", "wla_"}, {{"tmp/wl_freq", Old, "44\n"}}, "sh", "", "0\n"},
        {{"language_list"}, {{"tmp/language_list", Link, store}}, nullptr, nullptr, "en,de\n"},
        {{"language_list"}, {{"tmp/language_list", Fifo}}, nullptr, nullptr, "en,de\n"},
        {{"language_list"}, {{"tmp/language_list", Old, "LANGUAGE: xx\n"}}, "sh", "", "\n"},
        {{"fw_region"}, {{"tmp/firmware_region", Fifo}}, nullptr, nullptr, "WW\n"},
        {{"fw_region"}, {{"tmp/firmware_region", Link, store}}, nullptr, nullptr, "WW\n"},
        {{"cat_file", "/proc/cpuinfo"}, {{"proc/cpuinfo", Link, "partitions"}}, nullptr, nullptr,
         "major minor  #blocks  name\n"},
        {{"disk_ports"}, {{"tmp/df_usb", Link, store}}, nullptr, nullptr, ports},
        {{"disk_ports"}, {{"tmp/df_usb", Fifo}}, nullptr, nullptr, ports},
        {{"disk_ports"}, {{"tmp/df_usb", Folder}}, nullptr, nullptr, unmounted},
        {{"disk_ports"}, {{"tmp/df_usb", Old, "/dev/sda1 1 1 1 1% /mnt\n/dev/sdb1 1 1 1 1% /mnt\n"}}, "sh", "",
         unmounted},
    };
    setenv("KORVALT_SIM_TIMEOUT", "20", 1);  // a run that waits on a FIFO fails sooner
    for (const Case &c : cases) {
        std::string what = (c.query.empty() ? "korvalt" : c.query[0]) + (c.tool ? std::string(" without ") + c.tool : "");
        SimDevice dev;
        two_disks(dev);
        dev.store("wl_wpa2_psk", "secret");  // what a followed link would show or overwrite
        dev.store("wla_simple_mode", "8");
        dev.radio("11a", "ON\n", "44\n");
        dev.write("artmtd/language", "LANGUAGE: en,de\n");
        if (c.tool)
            dev.write(std::string("bin/") + c.tool, c.tool_text);
        for (const Plant &p : c.plants) {
            std::string path = dev.description() + "/" + p.path;
            fs::remove_all(path);
            if (p.kind == Link)
                fs::create_symlink(p.content, path);
            else if (p.kind == Fifo)
                ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
            else if (p.kind == Folder)
                fs::create_directory(path);
            else
                dev.write(p.path, p.content);
            what += std::string(" ") + p.path;
        }
        if (c.tool)
            fs::permissions(dev.description() + "/bin/" + c.tool, fs::perms::owner_all);
        Outcome r = c.query.empty() ? dev.run() : dev.run(c.query, KORVALT_QUERY_BIN);
        EXPECT_EQ(r.status, 0) << what << "\n" << r.err;
        EXPECT_EQ(r.out, c.out) << what;
        EXPECT_EQ(dev.changed_outside_tmp(), std::vector<std::string>()) << what;
    }
}

// Only root may write what korvalt and the library read back, whatever umask they were started with: a neighbour
// that could write a scratch file between the command and the read would forge the report.
TEST(HostileNeighbour, NoOneElseCanWriteTheScratchFiles)
{
    SimDevice dev;
    two_disks(dev);
    dev.radio("11g", "ON\n", "6\n");
    for (const std::string &program : {std::string(KORVALT_BIN), std::string(KORVALT_QUERY_BIN)}) {
        std::vector<std::string> args;
        if (program == KORVALT_QUERY_BIN)
            args.push_back("wl_channel");
        dev.run_shell("umask 0; exec \"$@\"", program, args);
        EXPECT_TRUE(dev.tmp_has(program == KORVALT_BIN ? "disk_version" : "wl_freq")) << program;
        for (const std::string &name : dev.tmp_entries()) {
            if (name == "usbdisknum" || name == "satadisknum")
                continue;
            auto perms = fs::status(dev.tmp_path(name)).permissions();
            EXPECT_EQ(perms & (fs::perms::group_write | fs::perms::others_write), fs::perms::none) << name;
        }
    }
}
