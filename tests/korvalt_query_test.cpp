// korvalt-query run end to end: the library's operations as a test script on the device sees them.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include <string>
#include <vector>

#include "sim_device.h"

TEST(KorvaltQuery, EveryOperationOnTheDemoDevice)
{
    struct Case {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"wl_channel"}, "6(P) + 10(S)\n"},
        {{"wla_channel"}, "Auto ( 44(P)+48(S) )\n"},
        {{"enable_ap", "bgn"}, "1\n"},
        {{"wl_freq_info", "wla_"}, "44\n"},
        {{"wl_freq_info", "wl_"}, "6\n"},
        {{"wl_mode", "wl_"}, "Up to 450 Mbps\n"},
        {{"wl_mode", "wla_"}, "Up to 1300 Mbps\n"},
        {{"wl_coexist", "wl_"}, "disable\n"},
        {{"wl_coexist", "wla_"}, "enable\n"},
        {{"wl_status", "wla_"}, "1\n"},
        {{"sed_ssid_abg_items", "a\\\"b\\\\\\`c"}, "a\"b`c\n"},
        {{"sed_passphrase_abg_items", "a\\\"b\\`c\\$"}, "a\"b`c\\\n"},
        {{"ssid_abg_msg", "wl_ssid"}, "Factory \"Lab\" `2G`\n"},
        {{"ssid_abg_msg", "no_such_key"}, "\n"},
        {{"passphrase_bg_msg"}, "pa\"ss`wo\\rd\n"},
        {{"passphrase_ag_msg"}, "r\"adius\\\n"},
        {{"get_mac", "lo"}, "00:00:00:00:00:00\n"},
        {{"mac_addr", "eth0"}, "----\n"},
        {{"fw_region"}, "NA\n"},
        {{"language_list"}, "en,de,fr,es,it\n"},
        {{"cat_file", "/tmp/usbdisknum"}, "5\n"},
        {{"cat_file", "/tmp/missing"}, "\n"},
    };
    for (const Case &c : cases) {
        Outcome r = run_demo("KorvaltQueryDemo", c.args, KORVALT_QUERY_BIN);
        EXPECT_EQ(r.status, 0) << c.args[0];
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(r.err, "") << c.args[0];
    }
}

TEST(KorvaltQuery, WrongUseGivesTheUsageAndStatus2)
{
    const std::vector<std::vector<std::string>> uses = {
        {}, {"nosuch"}, {"wl_channel", "extra"}, {"wl_mode"}, {"mac_addr", "eth0", "eth1"}, {"--help"}, {""},
    };
    for (const auto &args : uses) {
        Outcome r = run_demo("KorvaltQueryUsage", args, KORVALT_QUERY_BIN);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("usage: korvalt-query OPERATION [ARG], OPERATION one of: cat_file FILE,", 0), 0u) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line";
        for (const char *op : {"cat_file FILE", "wl_channel", "get_mac IFNAME", "language_list"})
            EXPECT_NE(r.err.find(op), std::string::npos) << op;
    }
}

TEST(KorvaltQuery, MacAddressOfAnInterfaceMadeOnTheDevice)
{
    SimDevice dev;
    Outcome r = dev.run_shell("ip link add k0 type veth peer name k1 && ip link set k0 address 0a:ff:00:11:22:33 &&"
                              " \"$@\" mac_addr k0 && \"$@\" get_mac k1x && \"$@\" mac_addr k1x",
                              KORVALT_QUERY_BIN);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0A:FF:00:11:22:33\n\n----\n");
}

TEST(KorvaltQuery, RadioOffAndSilentTools)
{
    SimDevice dev;
    dev.store("wl_simple_mode", "6");
    dev.store("wla_simple_mode", "9");
    dev.radio("11g", "OFF\n", "6\n");
    dev.radio("11a", "ON\n");
    struct Case {
        const char *op, *out, *stays, *goes;  // the scratch files left and removed in the device's /tmp
    } cases[] = {
        {"wl_channel", "--\n", nullptr, "enable_ap"},
        {"wla_channel", " -- \n", "wl_freq", "enable_ap"},
        {"language_list", "\n", nullptr, "language_list"},
        {"fw_region", "WW\n", nullptr, nullptr},
    };
    for (const Case &c : cases) {
        Outcome r = dev.run({c.op}, KORVALT_QUERY_BIN);
        EXPECT_EQ(r.out, c.out) << c.op;
        EXPECT_EQ(r.err, "") << c.op;
        if (c.stays)
            EXPECT_TRUE(dev.tmp_has(c.stays)) << c.op;
        if (c.goes)
            EXPECT_FALSE(dev.tmp_has(c.goes)) << c.op;
    }
}

static Disk at_speed(Disk disk, const std::string &speed, bool mounted = true)
{
    disk.speed = speed;
    disk.mounted = mounted;
    return disk;
}

// A hub port of the simulated xHCI (its folder made), as a peer link from a root port of its SuperSpeed bus names it.
static std::string hub_port(SimDevice &dev, const std::string &port)
{
    dev.write("sys/devices/pci0000:00/0000:00:14.0/" + port + "/connect_type", "hotplug\n");
    return "../../../" + port;
}

static Disk on_ata(const std::string &name, const std::string &host, const std::string &sata_spd = "")
{
    Disk disk{name, host, "", ""};
    disk.usb = false;
    disk.speed = sata_spd;
    return disk;
}

// The disks of a board's lines, as sim/make-device reads them.
static std::vector<Disk> from_board(const std::string &lines)
{
    std::istringstream in(lines);
    std::vector<Disk> disks;
    std::string wrong = read_board(in, disks);
    EXPECT_EQ(wrong, "");
    return disks;
}

// A board's line that is wrong is told, with its number where the line alone is wrong.
TEST(SimBoard, AWrongLineIsTold)
{
    std::string many;
    for (int i = 1; i <= 27; i++)
        many += "2-" + std::to_string(i) + " stick 480 2.00 rw\n";
    const std::pair<std::string, const char *> cases[] = {
        {"1-1 stick 480 2.00\n",
         "line 1: CONNECTOR KIND SPEED VERSION MOUNT [SERIAL [IDVENDOR [IDPRODUCT [MODEL]]]] wanted"},
        {"# sticks\n1-1 disk 480 2.00 rw\n", "line 2: kind disk: stick, slot or esata"},
        {"1-1 stick 480 2.00 rw\n1-1 slot 480 2.00 rw\n",
         "line 2: connector 1-1 holds a disk already; only a card reader's slots share one"},
        {"1-1 stick 400 2.00 rw\n", "line 1: speed 400: 1.5, 12, 480, 5000, 10000 or 20000"},
        {"ata1 esata 3.0 - rw\n", "line 1: speed 3.0: 1500, 3000 or 6000"},
        {"1-1 stick 480 2 rw\n", "line 1: version 2: as the kernel gives it (2.00, 3.10)"},
        {"1-1 stick 480 2.00 yes\n", "line 1: mount yes: rw, ro or none"},
        {"1-1 stick 480 2.00 rw S1 781\n", "line 1: idVendor and idProduct are four hexadecimal digits"},
        {"1-1 slot 480 2.00 rw\n1-1 slot 480 2.00 rw\n1-1 stick 480 2.00 rw\n",
         "line 3: connector 1-1 holds a disk already; only a card reader's slots share one"},
        {many, "line 27: at most 26 disks"},
        {"1-2 stick 5000 3.00 rw\n", "connector 1-2: the EHCI's bus 1 has no SuperSpeed"},
        {"3-1 stick 5000 3.00 rw\n",
         "connector 3-1: a USB connector is 1-PORT[.PORT...] (the EHCI) or 2-... (the xHCI)"},
        {"1-3 esata 3000 - rw\n", "connector 1-3: an eSATA connector is ataN"},
    };
    for (const auto &[lines, wrong] : cases) {
        std::istringstream in(lines);
        Board board;
        EXPECT_EQ(make_board(board, in, std::string(WORK_ROOT) + "/SimBoard"), wrong) << lines;
    }
}

// A board from its lines, as sim/make-device writes it: korvalt counts and numbers its USB disks, the store names
// the eSATA disk, and disk_ports finds each on its connector.
TEST(SimBoard, MakeDeviceWritesABoardThatEveryProgramSeesAlike)
{
    std::string dir = std::string(WORK_ROOT) + "/MakeDevice", board = dir + ".board", sim = SIM_LAUNCHER;
    std::filesystem::create_directories(WORK_ROOT);
    std::ofstream(board) << "1-2 stick 480 2.00 rw\nata1 esata 3000 - rw\n2-1 stick 5000 3.00 none\n";
    std::string make = sim.substr(0, sim.rfind('/')) + "/make-device '" + board + "' '" + dir + "'";
    ASSERT_EQ(std::system(make.c_str()), 0);
    EXPECT_EQ(run_description(dir, "MakeDeviceRun", {}, KORVALT_BIN).out,
              "2 USB disk(s)!!!\n1 eSATA disk\nUSB disk 1, version: USB2.00\n");
    EXPECT_EQ(run_description(dir, "MakeDeviceRun", {"disk_ports"}, KORVALT_QUERY_BIN).out,
              "usb 1-2 sda 480 USB2.00 mounted\nusb 2-1 sdc 5000 USB3.00 unmounted\nsata ata1 sdb 3000 - mounted\n");
}

// The disks of a case, then what the case changes of the files the kernel would show.
static void add_disks(SimDevice &dev, const std::vector<Disk> &disks, const std::function<void(SimDevice &)> &change)
{
    for (const Disk &disk : disks)
        dev.add(disk);
    if (change)
        change(dev);
}

// Which connector each disk is in and what speed its link reached, as sysfs says it, whatever the partition table's
// order; the port's peer names a SuperSpeed connector by its USB 2 side, at any kernel's shape. Nothing that
// sysfs holds makes a line that lies: a file that holds no number is no speed, a link that leads nowhere is no peer.
TEST(DiskPorts, ConnectorSpeedVersionAndStateOfEachDisk)
{
    namespace fs = std::filesystem;
    auto port_of = [](SimDevice &dev, const std::string &disk) {
        return dev.description() + "/" + dev.usb_device(disk) + "/port";
    };
    auto peer = [port_of](const std::string &disk, std::function<std::string(SimDevice &)> target) {
        return [=](SimDevice &dev) {
            fs::remove(port_of(dev, disk) + "/peer");
            if (target)
                fs::create_symlink(target(dev), port_of(dev, disk) + "/peer");
        };
    };
    auto reversed_table = [](SimDevice &dev) {
        std::string rows;
        for (char c = 'l'; c >= 'a'; c--)
            rows += std::string("   8 0 7818240 sd") + c + "\n   8 1 7814144 sd" + c + "1\n";
        dev.write("proc/partitions", "major minor  #blocks  name\n\n" + rows);
    };
    std::vector<Disk> twelve;
    std::string by_port;
    for (int i = 0; i < 12; i++) {
        std::string name = std::string("sd") + char('a' + i);
        twelve.push_back({name, std::to_string(i), "S" + std::to_string(i), i == 1 ? "3.00" : "2.00"});
        if (i != 1)
            by_port += "usb 1-" + std::to_string(i + 1) + " " + name + " 480 USB2.00 mounted\n";
    }
    by_port += "usb 2-2 sdb 5000 USB3.00 mounted\n";
    // more sticks than lines fit: the first of the order, whole
    std::vector<Disk> seventy;
    std::string fits;
    bool full = false;
    for (int i = 0; i < 70; i++) {
        std::string name = "sd" + (i < 26 ? "" : std::string(1, char('a' + i / 26 - 1))) + char('a' + i % 26);
        seventy.push_back({name, std::to_string(i), "S" + std::to_string(i)});
        std::string line = "usb 1-" + std::to_string(i + 1) + " " + name + " 480 USB2.00 mounted\n";
        full = full || fits.size() + line.size() >= 2048;
        if (!full)
            fits += line;
    }
    const std::string ss = "usb 2-1 sda 5000 USB3.00 mounted\n";
    struct Case {
        const char *what;
        std::vector<Disk> disks;
        std::function<void(SimDevice &)> change;
        std::string out;
    } cases[] = {
        {"no disk: no output at all", {}, nullptr, ""},
        {"high speed, SuperSpeed on its USB 2 side's bus, an unmounted stick at full speed, the eSATA disk",
         {{"sda"}, {"sdb", "1", "S2", "3.00"}, at_speed({"sdc", "2", "S3"}, "12", false),
          on_ata("sdd", "3", "6.0 Gbps")},
         nullptr,
         "usb 1-1 sda 480 USB2.00 mounted\nusb 1-3 sdc 12 USB2.00 unmounted\nusb 2-2 sdb 5000 USB3.00 mounted\n"
         "sata ata4 sdd 6000 - mounted\n"},
        {"ports by their numbers as numbers, the partition table's order aside", twelve, reversed_table, by_port},
        {"more lines than fit are left out whole, from the end", seventy, nullptr, fits},
        {"no peer link (before Linux 3.16): the controller's USB 2 root hub", {{"sda", "0", "S", "3.00"}},
         peer("sda", nullptr), ss},
        {"a looping peer link", {{"sda", "0", "S", "3.00"}}, peer("sda", [](SimDevice &) { return "peer"; }), ss},
        {"an overlong peer link", {{"sda", "0", "S", "3.00"}},
         peer("sda", [](SimDevice &) { return std::string(4000, 'p'); }), ss},
        {"a peer of another number: the peer port's own name", {{"sda", "0", "S", "3.00"}},
         peer("sda", [](SimDevice &dev) { return hub_port(dev, "usb2/2-0:1.0/usb2-port2"); }),
         "usb 2-2 sda 5000 USB3.00 mounted\n"},
        {"a peer on a hub's port, whose hub holds no bus number", {{"sda", "0", "S", "3.00"}},
         peer("sda",
              [](SimDevice &dev) {
                  dev.write("sys/devices/pci0000:00/0000:00:14.0/usb2/busnum", "two\n");
                  return hub_port(dev, "usb2/2-1/2-1:1.0/2-1-port3");
              }),
         "usb 2-1.3 sda 5000 USB3.00 mounted\n"},
        {"a peer whose name is no port's", {{"sda", "0", "S", "3.00"}},
         peer("sda", [](SimDevice &dev) { return hub_port(dev, "usb2/2-0:1.0/usb2-portx"); }), ss},
        {"a peer that leads nowhere", {{"sda", "0", "S", "3.00"}},
         peer("sda", [](SimDevice &) { return "../../../usb2/2-0:1.0/usb2-port2"; }), ss},
        {"a high-speed stick's port has a peer too, pointing the other way", {{"sda"}},
         peer("sda",
              [](SimDevice &dev) {
                  dev.write("sys/devices/pci0000:00/0000:00:14.0/usb3/3-0:1.0/usb3-port1/connect_type", "\n");
                  return "../../../../0000:00:14.0/usb3/3-0:1.0/usb3-port1";
              }),
         "usb 1-1 sda 480 USB2.00 mounted\n"},
        {"speeds that are no number",
         {at_speed({"sda", "0"}, "fast"), at_speed({"sdb", "1"}, "<unknown>"), at_speed({"sdc", "2"}, "1.5.0"),
          at_speed({"sdd", "3"}, "12345678"), at_speed({"sde", "4"}, "-480"), at_speed({"sdf", "5"}, "1.5"),
          on_ata("sdg", "6", "<unknown>"), on_ata("sdh", "7", "3.0 Gbpsx"), on_ata("sdi", "8", "-1.5 Gbps"),
          on_ata("sdj", "9", "1.5 Gbps")},
         nullptr,
         "usb 1-1 sda - USB2.00 mounted\nusb 1-2 sdb - USB2.00 mounted\nusb 1-3 sdc - USB2.00 mounted\n"
         "usb 1-4 sdd - USB2.00 mounted\nusb 1-5 sde - USB2.00 mounted\nusb 1-6 sdf 1.5 USB2.00 mounted\n"
         "sata ata7 sdg - - mounted\nsata ata8 sdh - - mounted\nsata ata9 sdi - - mounted\n"
         "sata ata10 sdj 1500 - mounted\n"},
        {"device paths and versions that are no number", {{"sda"}, {"sdb", "1"}, {"sdc", "2"}},
         [](SimDevice &dev) {
             dev.write(dev.usb_device("sda") + "/devpath", "1..2\n");
             dev.write(dev.usb_device("sdb") + "/devpath", "1.2.3.4.5.6.7.8\n");
             dev.write(dev.usb_device("sdc") + "/version", "2.00 beta\n");
         },
         "usb 1-3 sdc 480 - mounted\nusb - sda 480 USB2.00 mounted\nusb - sdb 480 USB2.00 mounted\n"},
        {"a board's lines: a SuperSpeed stick behind the xHCI's hub, a reader's two slots, eSATA at 6 Gbit/s",
         from_board("2-1.3 stick 5000 3.10 rw\n1-2 slot 480 2.00 rw\n1-2 slot 480 2.00 none - 05e3 0749 SD\n"
                    "ata2 esata 6000 - rw\n"),
         nullptr,
         "usb 1-2 sdb 480 USB2.00 mounted\nusb 1-2 sdc 480 USB2.00 unmounted\nusb 2-1.3 sda 5000 USB3.10 mounted\n"
         "sata ata2 sdd 6000 - mounted\n"},
        {"disk names that are no sd names", {{"sd;"}, {"sdA", "1"}, {"sdb", "2"}}, nullptr,
         "usb 1-3 sdb 480 USB2.00 mounted\n"},
        {"behind a port multiplier: the disk's own link", {on_ata("sda", "0")},
         [](SimDevice &dev) { dev.write("sys/class/ata_link/link1.0/sata_spd", "1.5 Gbps\n"); },
         "sata ata1 sda 1500 - mounted\n"},
        {"before 2.6.37 no ATA port folder: libata's vendor tells an ATA disk from any other",
         {on_ata("sda", "0"), on_ata("sdb", "1")},
         [](SimDevice &dev) {
             std::string d = dev.description() + "/sys/", controller = "devices/pci0000:00/0000:00:1f.2";
             for (const char *host : {"0", "1"}) {
                 std::string disk = std::string("sd") + char('a' + *host - '0'), scsi = "/host" + std::string(host);
                 fs::rename(dev.description() + "/" + dev.usb_device(disk) + scsi, d + controller + scsi);
                 fs::remove(d + "block/" + disk);
                 fs::create_symlink("../" + controller + scsi + "/target" + host + ":0:0/" + host + ":0:0:0/block/" +
                                        disk,
                                    d + "block/" + disk);
             }
             fs::remove_all(d + "class/ata_link");
             dev.write("sys/devices/pci0000:00/0000:00:1f.2/host1/target1:0:0/1:0:0:0/vendor", "QEMU    \n");
         },
         "sata - sda - - mounted\n"},
    };
    for (const Case &c : cases) {
        SimDevice dev;
        add_disks(dev, c.disks, c.change);
        Outcome r = dev.run({"disk_ports"}, KORVALT_QUERY_BIN);
        EXPECT_EQ(r.status, 0) << c.what << "\n" << r.err;
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.err, "") << c.what;
    }
}

// A wrong call, or a plan that is no plan, stops with status 2 and says where and what; no verdict is printed. The
// plan's grammar has its own unit test.
TEST(KorvaltPorts, AWrongPlanOrCallStopsWithWhereAndWhat)
{
    const std::string row = "usb 1-1 480 - -\n", usage =
        "usage: korvalt-ports [--wait S] [--parallel] [--json] PLAN [MIB] | korvalt-ports --write-plan\n",
        seconds = "a whole number from 0 to 600\n";
    struct Case {
        const char *what;
        std::string plan;
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {"a connector with a leading zero", "usb 01-1 480 - -\n", {"/tmp/plan"},
         "korvalt-ports: /tmp/plan:1: connector 01-1: a name as disk_ports gives it (1-2, 1-1.4, ata1), several "
         "joined by commas\n"},
        {"a FIFO", row, {"/tmp/fifo"}, "korvalt-ports: /tmp/fifo: not a regular file\n"},
        {"MIB 0", row, {"/tmp/plan", "0"}, "korvalt-ports: MIB 0: a whole number from 1 to 256\n"},
        {"MIB 257", row, {"/tmp/plan", "257"}, "korvalt-ports: MIB 257: a whole number from 1 to 256\n"},
        {"MIB 8.5", row, {"/tmp/plan", "8.5"}, "korvalt-ports: MIB 8.5: a whole number from 1 to 256\n"},
        {"MIB 08", row, {"/tmp/plan", "08"}, "korvalt-ports: MIB 08: a whole number from 1 to 256\n"},
        {"--wait 601", row, {"--wait", "601", "/tmp/plan"}, "korvalt-ports: --wait 601: " + seconds},
        {"--wait 1.5", row, {"--wait", "1.5", "/tmp/plan"}, "korvalt-ports: --wait 1.5: " + seconds},
        {"--wait and no plan", row, {"--wait", "5"}, usage},
        {"no plan given", row, {}, usage},
        {"an option", row, {"--plan", "/tmp/plan"}, usage},
        {"--write-plan and more", row, {"--write-plan", "x"}, usage},
    };
    for (const Case &c : cases) {
        SimDevice dev;
        dev.add({"sda"});
        dev.write("tmp/plan", c.plan);
        Outcome r = dev.run_shell("mkfifo /tmp/fifo && exec \"$@\"", KORVALT_PORTS_BIN, c.args);
        EXPECT_EQ(r.status, 2) << c.what;
        EXPECT_EQ(r.out, "") << c.what;
        EXPECT_EQ(r.err, c.err) << c.what;
    }
}

// The names a run of process pid may give its file, every one of them.
static std::vector<std::string> run_names(int pid)
{
    std::vector<std::string> names = {".korvalt-ports-" + std::to_string(pid)};
    for (int n = 1; n <= 99; n++)
        names.push_back(names[0] + "-" + std::to_string(n));
    return names;
}

// A line per disk of each row in the plan's order, one for a row without a disk, then the disks that no row names;
// the verdict is the first check that failed, and what was found goes to standard error.
TEST(KorvaltPorts, AVerdictPerConnectorOfThePlan)
{
    const std::string check = "exec \"$@\" /tmp/plan";
    struct Case {
        const char *what;
        std::vector<Disk> disks;
        std::string plan, script, out, err;
        int status;
        std::function<void(SimDevice &)> change;
        std::set<std::string> left;  // the files under /mnt after the run
    } cases[] = {
        {"tabs, CR LF and comments; a SuperSpeed stick named by its USB 2 side; the eSATA disk",
         {{"sda"}, {"sdb", "1", "S2", "3.00"}, on_ata("sdc", "2", "6.0 Gbps")},
         "# label\tconnector\tspeed\twrite\tread\r\nusb2\t1-1\t480\t-\t-\r\n\r\n"
         "usb3 9-2,2-2 5000 - - # 9-2: a companion's name\nesata ata3 3000 - -#at 6 Gbit/s\n",
         check,
         "usb2 1-1 sda 480 #.# #.# pass\nusb3 2-2 sdb 5000 #.# #.# pass\nesata ata3 sdc 6000 #.# #.# pass\n"
         "ports: 3 of 3 pass\n",
         "", 0},
        {"a stick that fell back to full speed on its second name, an empty port, floors in tenths, no floor",
         {at_speed({"sda"}, "12"), at_speed({"sdb", "1"}, "1.5"), at_speed({"sdc", "2"}, "fast"),
          at_speed({"sde", "4"}, "12")},
         "rear 9-9,1-1 480 - -\nkbd 1-2 1.5 - -\nodd 1-3 1.6 - -\nfront 1-5 480 - -\nany 1-4 - - -\n", check,
         "rear 1-1 sda 12 - - fail:speed\nkbd 1-2 sdb 1.5 #.# #.# pass\nodd 1-3 sdc - - - fail:speed\n"
         "front 1-5 - - - - fail:no-disk\nany 1-4 sde 12 #.# #.# pass\nports: 2 of 5 pass\n",
         "rear 1-1: link at 12 Mbit/s, 480 wanted; the stick is USB 2.00\n"
         "odd 1-3: link speed unknown, 1.6 wanted; the stick is USB 2.00\nfront 1-5: no disk\n", 1},
        {"the stick's own version: 2.00 for 5000, 1.10 for 480 and 3.00 for 10000 cannot reach the speed; a 2.10 "
         "stick at 480 and a disk without a version can, and the port failed; a 2.00 stick linked at 5000 passes",
         from_board("1-1 stick 480 2.00 rw\n1-2 stick 12 1.10 rw\n1-3 stick 480 2.10 rw\n2-4 stick 5000 3.00 rw\n"
                    "2-5 stick 5000 2.00 rw\nata7 esata 3000 - rw\n"),
         "a 1-1 5000 - -\nb 1-2 480 - -\nc 1-3 5000 - -\nd 2-4 10000 - -\ne 2-5 5000 - -\nf ata7 6000 - -\n", check,
         "a 1-1 sda 480 - - fail:stick\nb 1-2 sdb 12 - - fail:stick\nc 1-3 sdc 480 - - fail:speed\n"
         "d 2-4 sdd 5000 - - fail:stick\ne 2-5 sde 5000 #.# #.# pass\nf ata7 sdf 3000 - - fail:speed\n"
         "ports: 1 of 6 pass\n",
         "a 1-1: link at 480 Mbit/s, 5000 wanted; the stick is USB 2.00, which cannot reach it\n"
         "b 1-2: link at 12 Mbit/s, 480 wanted; the stick is USB 1.10, which cannot reach it\n"
         "c 1-3: link at 480 Mbit/s, 5000 wanted; the stick is USB 2.10\n"
         "d 2-4: link at 5000 Mbit/s, 10000 wanted; the stick is USB 3.00, which cannot reach it\n"
         "f ata7: link at 3000 Mbit/s, 6000 wanted\n", 1},
        {"disks that no row names, one on no known connector, are extra and fail nothing",
         {{"sda"}, {"sdb", "1"}, {"sdc", "2"}}, "usb 1-2 480 - -\n", check,
         "usb 1-2 sdb 480 #.# #.# pass\n- 1-1 sda 480 - - extra\n- - sdc 480 - - extra\nports: 1 of 1 pass\n", "",
         0,
         [](SimDevice &dev) { dev.write(dev.usb_device("sdc") + "/devpath", "1..2\n"); }},
        {"a plan of the disks plugged in now, which they then pass",
         {{"sda"}, {"sdb", "1", "S2", "3.00"}, on_ata("sdc", "2")}, "",
         "\"$@\" --write-plan >/tmp/written && cat /tmp/written && exec \"$@\" /tmp/written",
         "# From korvalt-ports --write-plan: name the ports, set the floors, add companion controllers' names.\n"
         "# label                 connector       speed  write  read\n"
         "1-1                     1-1             480    -      -\n"
         "2-2                     2-2             5000   -      -\n"
         "ata3                    ata3            3000   -      -\n"
         "1-1 1-1 sda 480 #.# #.# pass\n2-2 2-2 sdb 5000 #.# #.# pass\nata3 ata3 sdc 3000 #.# #.# pass\n"
         "ports: 3 of 3 pass\n",
         "", 0},
        {"a disk not mounted; floors the stick does not reach", {{"sda", "0", "S", "2.00", false}, {"sdb", "1"}},
         "a 1-1 - - -\nb 1-2 - 9999999 9999999\n", check,
         "a 1-1 sda 480 - - fail:unmounted\nb 1-2 sdb 480 #.# #.# fail:slow-write\nports: 0 of 2 pass\n",
         "a 1-1: not mounted\nb 1-2: writes at #.# MB/s, 9999999 wanted\n"
         "b 1-2: reads at #.# MB/s, 9999999 wanted\n",
         1},
        {"another run holds the mount past the deadline of 1 MiB", {{"sda"}}, "a 1-1 - - -\n",
         "flock /mnt/sda1 sleep 30 & sleep 1; exec \"$@\" /tmp/plan 1",
         "a 1-1 sda 480 - - fail:timeout\nports: 0 of 1 pass\n", "a 1-1: no answer within 10 s\n", 1},
        {"one disk of three mounted read-only: nothing is written on it, the others pass", {{"sda"}, {"sdb", "1"},
         {"sdc", "2"}}, "a 1-1 - - -\nb 1-2 - - -\nc 1-3 - - -\n", check,
         "a 1-1 sda 480 #.# #.# pass\nb 1-2 sdb 480 - - fail:read-only\nc 1-3 sdc 480 #.# #.# pass\n"
         "ports: 2 of 3 pass\n", "b 1-2: mounted read-only\n", 1,
         [](SimDevice &dev) { dev.write("read-only", "sdb1\n"); }},
        {"a stick mounted read-only over another's folder: the other is not mounted there", {{"sda"},
         {"sdb", "1", "S", "2.00", false}}, "a 1-1 - - -\nb 1-2 - - -\n",
         "mount -o ro -t tmpfs none /mnt/sda1 && stat -c %Hd:%Ld /mnt/sda1 >/sys/block/sdb/sdb1/dev && " + check,
         "a 1-1 sda 480 - - fail:unmounted\nb 1-2 sdb 480 - - fail:read-only\nports: 0 of 2 pass\n",
         "a 1-1: not mounted\nb 1-2: mounted read-only\n", 1},
        {"a stick's names: an escaped blank, the run's own name a dangling link, leftovers of odd names, a FIFO; "
         "only a marked file of a run's name goes", {{"sda"}}, "a 1-1 - - -\n",
         "mkfifo \"$f\"79 && { echo x >\"$f\"79 && touch \"$f\"opened; } & exec \"$@\" /tmp/plan",
         "a 1-1 sda 480 #.# #.# pass\nports: 1 of 1 pass\n", "", 0,
         [](SimDevice &dev) {
             dev.write("sys/block/sda/sda1/dev", "@mnt/my disk@\n");
             dev.write("mnt/sda1/.korvalt-ports-77", "KVPORTS1 of a run cut short, on another filesystem");
             dev.write("mnt/my disk/.korvalt-ports-78", "KVPORTS1 of a run cut short");
             dev.write("mnt/my disk/.korvalt-ports-3", "not ours");
             for (const char *odd : {"", "--", "1-2-3", "05", "5-100", "5-0", "5-"})
                 dev.write("mnt/my disk/.korvalt-ports-" + std::string(odd), "KVPORTS1 of no run");
             std::filesystem::create_symlink("gone", dev.description() + "/mnt/my disk/.korvalt-ports-2");
         },
         {"my disk/.korvalt-ports-", "my disk/.korvalt-ports---", "my disk/.korvalt-ports-05",
          "my disk/.korvalt-ports-1-2-3", "my disk/.korvalt-ports-2", "my disk/.korvalt-ports-3",
          "my disk/.korvalt-ports-5-", "my disk/.korvalt-ports-5-0", "my disk/.korvalt-ports-5-100",
          "my disk/.korvalt-ports-79", "sda1/.korvalt-ports-77"}},
        {"every name of the run taken: nothing is written, nothing removed", {{"sda"}}, "a 1-1 - - -\n",
         "exec \"$@\" /tmp/plan", "a 1-1 sda 480 - - fail:write-error\nports: 0 of 1 pass\n",
         "a 1-1: creating .korvalt-ports-2-99: every name of the check's file is taken\n", 1,
         [](SimDevice &dev) {
             for (const std::string &name : run_names(2))
                 dev.write("mnt/sda1/" + name, "not ours");
         },
         [] {
             std::set<std::string> left;
             for (const std::string &name : run_names(2))
                 left.insert("sda1/" + name);
             return left;
         }()},
        {"SIGHUP and SIGINT that the caller ignores stay ignored", {{"sda"}}, "a 1-1 - - -\n",
         "trap '' HUP INT; flock /mnt/sda1 sleep 2 & sleep 0.5; \"$@\" /tmp/plan 1 & sleep 1; kill -HUP $!; "
         "kill -INT $!; wait $!",
         "a 1-1 sda 480 #.# #.# pass\nports: 1 of 1 pass\n", "", 0},
        {"--wait: one stick comes into the partition table and another's filesystem is mounted a second after the "
         "run starts; both pass", {{"sda"}, {"sdb", "1"}}, "a 1-1 - - -\nb 1-2 - - -\n",
         "cp /proc/partitions /tmp/all && grep -v sda /tmp/all >/proc/partitions && "
         "d=$(cat /sys/block/sdb/sdb1/dev) && echo 0:0 >/sys/block/sdb/sdb1/dev || exit 9; "
         "{ sleep 1; cp /tmp/all /proc/partitions; echo \"$d\" >/sys/block/sdb/sdb1/dev; } & exec \"$@\" --wait 20 "
         "/tmp/plan 1",
         "a 1-1 sda 480 #.# #.# pass\nb 1-2 sdb 480 #.# #.# pass\nports: 2 of 2 pass\n", "", 0},
        {"--wait 600 with every disk in place waits not at all; --wait 1 ends with a row whose disk never comes",
         {{"sda"}}, "a 1-1 - - -\n", "\"$@\" --wait 600 /tmp/plan 1 && echo 'b 1-2 - - -' >>/tmp/plan && "
         "exec \"$@\" --wait 1 /tmp/plan 1",
         "a 1-1 sda 480 #.# #.# pass\nports: 1 of 1 pass\na 1-1 sda 480 #.# #.# pass\nb 1-2 - - - - fail:no-disk\n"
         "ports: 1 of 2 pass\n", "b 1-2: no disk\n", 1},
        {"--json: a record a line, then the run's; a hostile serial and an ATA model escaped, cut and made UTF-8",
         {{"sda", "0", "\"\\\x01\xff" + std::string(255, 'x')}, on_ata("sdb", "1"), {"sdc", "2"}},
         "a 1-1 - - -\nb ata2 3000 - 1\nc 1-5 480 - -\n", "exec \"$@\" --json /tmp/plan 1",
         "{\"label\":\"a\",\"connector\":\"1-1\",\"disk\":\"sda\",\"speed\":480,\"write\":#.#,\"read\":#.#,"
         "\"verdict\":\"pass\",\"reasons\":[],\"floors\":{\"speed\":null,\"write\":null,\"read\":null},"
         "\"stick\":{\"id_vendor\":\"0781\",\"id_product\":\"5567\",\"serial\":\"\\\"\\\\\\u0001\xef\xbf\xbd" +
             std::string(120, 'x') + "\",\"version\":\"2.00\"},\"ata\":null,\"seconds\":#.#}\n"
         "{\"label\":\"b\",\"connector\":\"ata2\",\"disk\":\"sdb\",\"speed\":3000,\"write\":#.#,\"read\":#.#,"
         "\"verdict\":\"pass\",\"reasons\":[],\"floors\":{\"speed\":3000,\"write\":null,\"read\":1},"
         "\"stick\":null,\"ata\":{\"model\":\"Q\\\"M\\u001f\"},\"seconds\":#.#}\n"
         "{\"label\":\"c\",\"connector\":\"1-5\",\"disk\":null,\"speed\":null,\"write\":null,\"read\":null,"
         "\"verdict\":\"no-disk\",\"reasons\":[\"c 1-5: no disk\"],\"floors\":{\"speed\":480,\"write\":null,"
         "\"read\":null},\"stick\":null,\"ata\":null,\"seconds\":null}\n"
         "{\"label\":null,\"connector\":\"1-2\",\"disk\":\"sdc\",\"speed\":480,\"write\":null,\"read\":null,"
         "\"verdict\":\"extra\",\"reasons\":[],\"floors\":{\"speed\":null,\"write\":null,\"read\":null},"
         "\"stick\":{\"id_vendor\":\"0781\",\"id_product\":\"5567\",\"serial\":\"SERIAL\",\"version\":\"2.00\"},"
         "\"ata\":null,\"seconds\":null}\n"
         "{\"passed\":2,\"rows\":3,\"mib\":1,\"seconds\":#.#}\n",
         "c 1-5: no disk\n", 1,
         [](SimDevice &dev) { dev.write("sys/block/sdb/device/model", "Q\"M\x1f            \n"); }},
        {"--parallel: two sticks on the EHCI one after the other, the xHCI's stick and the ATA disk beside them: "
         "four checks past their deadlines of 10 s take 20 s",
         {{"sda"}, {"sdb", "1"}, {"sdc", "2", "S3", "3.00"}, on_ata("sdd", "3")},
         "a 1-1 - - -\nb 1-2 - - -\nc 2-3 - - -\nd ata4 - - -\n",
         "for m in sda1 sdb1 sdc1 sdd1; do flock /mnt/$m sleep 40 & done; sleep 0.5; s=$(date +%s); "
         "\"$@\" --parallel /tmp/plan 1; status=$?; took=$(($(date +%s) - s)); "
         "[ $took -ge 18 ] && [ $took -le 26 ] || echo \"took $took s\" >&2; exit $status",
         "a 1-1 sda 480 - - fail:timeout\nb 1-2 sdb 480 - - fail:timeout\nc 2-3 sdc 5000 - - fail:timeout\n"
         "d ata4 sdd 3000 - - fail:timeout\nports: 0 of 4 pass\n",
         "a 1-1: no answer within 10 s\nb 1-2: no answer within 10 s\nc 2-3: no answer within 10 s\n"
         "d ata4: no answer within 10 s\n", 1},
        {"standard output closed: nothing is checked", {{"sda"}}, "a 1-1 - 9999999 -\n", check + " >&-", "", "", 3},
        {"standard output full: the run stops before the next check", {{"sda"}, {"sdb", "1"}},
         "a 1-1 - 9999999 -\nb 1-2 - 9999999 -\n", check + " >/dev/full", "",
         "a 1-1: writes at #.# MB/s, 9999999 wanted\n", 3},
        {"standard input and error closed: no file of the run lands on them", {{"sda", "0", "S", "2.00", false}},
         "a 1-1 - - -\n", check + " <&- 2>&-", "a 1-1 sda 480 - - fail:unmounted\nports: 0 of 1 pass\n", "", 1},
    };
    for (const Case &c : cases) {
        SimDevice dev;
        add_disks(dev, c.disks, c.change);
        dev.write("tmp/plan", c.plan);
        Outcome r = dev.run_shell("f='/mnt/my disk/.korvalt-ports-'; " + c.script, KORVALT_PORTS_BIN);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(figures_masked(r.out), c.out) << c.what;
        EXPECT_EQ(figures_masked(r.err), c.err) << c.what;
        // nothing is left on a disk but what was there and not ours
        std::set<std::string> left;
        const std::string mnt = dev.tmp_path("../mnt/");
        std::error_code ec;  // no disk mounted, no /mnt
        for (const auto &e : std::filesystem::recursive_directory_iterator(mnt, ec))
            if (!e.is_directory() || e.is_symlink())
                left.insert(e.path().string().substr(mnt.size()));
        EXPECT_EQ(left, c.left) << c.what;
    }
}
