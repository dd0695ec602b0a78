#include "sim_device.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;

std::string figures_masked(const std::string &text)
{
    static const std::regex line("(\\S+ \\S+ \\S+ \\S+ )(\\S+) (\\S+)( pass| extra| fail:\\S+)"),
        figure("[0-9]+\\.[0-9]"), rate("at [0-9]+\\.[0-9] MB/s");
    std::istringstream lines(text);
    std::string masked;
    std::smatch m;
    for (std::string l; std::getline(lines, l);) {
        auto mask = [](const std::string &field) { return std::regex_match(field, figure) ? "#.#" : field; };
        if (std::regex_match(l, m, line))
            l = m.str(1) + mask(m.str(2)) + " " + mask(m.str(3)) + m.str(4);
        masked += std::regex_replace(l, rate, "at #.# MB/s") + "\n";
    }
    return masked;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

static std::string quote(const std::string &word)
{
    std::string q = "'";
    for (char c : word)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

static std::string test_name()
{
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char &c : name)
        if (c == '/')
            c = '_';
    return name;
}

std::vector<std::string> command_of(const std::string &program)
{
    std::vector<std::string> words;
    if (program == KORVALT_BIN || program == KORVALT_QUERY_BIN || program == KORVALT_PORTS_BIN) {
        std::istringstream runner(KORVALT_RUNNER);
        for (std::string w; runner >> w;)
            words.push_back(w);
    }
    words.push_back(program);
    return words;
}

// Runs program on the description dir, with WORK under root; the sandbox's status and both outputs come back.
static Outcome run_in_sandbox(const std::string &dir, const std::string &root, const std::string &program,
                          const std::vector<std::string> &args)
{
    std::string cmd = "KORVALT_SIM_USERLAND=" KORVALT_USERLAND " " + quote(SIM_LAUNCHER) + " " + quote(dir) + " " +
                      quote(root + "/run") + " --";
    for (const auto &w : command_of(program))
        cmd += " " + quote(w);
    for (const auto &a : args)
        cmd += " " + quote(a);
    cmd += " >" + quote(root + "/stdout") + " 2>" + quote(root + "/stderr");
    int status = std::system(cmd.c_str());
    Outcome r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = read_file(root + "/stdout");
    r.err = read_file(root + "/stderr");
    if (r.status == 125)
        ADD_FAILURE() << "the sandbox did not start: " << r.err;
    return r;
}

SimDevice::SimDevice(std::string name)
{
    root_ = std::string(WORK_ROOT) + "/" + (name.empty() ? test_name() : name);
    dir_ = root_ + "/device";
    fs::remove_all(root_);
    fs::create_directories(dir_ + "/proc");
    fs::create_directories(dir_ + "/sys/block");
    fs::create_directories(dir_ + "/tmp");
}

void SimDevice::put(const std::string &path, const std::string &text, bool keep)
{
    if (!keep && written_.count(path))
        return;
    fs::path p = fs::path(dir_) / path;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
    if (keep)
        written_[path] = text;
}

void SimDevice::write(const std::string &path, const std::string &text)
{
    put(path, text, true);
}

static std::string usb_storage_file(const Disk &d)
{
    return "   Host scsi" + d.host + ": usb-storage\n"
           "       Vendor: Generic\n"
           "      Product: " + d.product + "\n"
           "Serial Number: " + d.serial + "\n"
           "     Protocol: Transparent SCSI\n"
           "    Transport: Bulk\n"
           "       Quirks:\n";
}

static bool super_speed(const Disk &d)
{
    return d.version.rfind("3", 0) == 0;
}

// The disk's own files are made now, so a test may change them; the lists that name every disk are made at the
// run. sysfs has the kernel's shape: /sys/block/sdX links to the disk at the end of its device path (controller,
// USB device, interface, SCSI host, target and device; an ATA port for a disk not on USB, whose link the ata_link
// class names), and the disk's device link leads back up to its SCSI device. The USB devices are numbered as the
// device list numbers them, each on a root port of its own: of the EHCI's bus 1, or of the xHCI's SuperSpeed bus 3
// for a version 3 device, whose port's peer is the same port of the xHCI's USB 2 bus 2.
void SimDevice::add(const Disk &d)
{
    int number = 1;
    for (const Disk &other : disks_)
        number += other.usb;
    disks_.push_back(d);

    const std::string n = std::to_string(number), devices = "sys/devices/",
                      ehci = devices + "pci0000:00/0000:00:1d.7", xhci = devices + "pci0000:00/0000:00:14.0";
    for (const auto &[hub, bus, speed] : {std::array<std::string, 3>{ehci + "/usb1", "1", "480"},
                                          {xhci + "/usb2", "2", "480"}, {xhci + "/usb3", "3", "5000"}})
        for (const auto &[file, text] : {std::pair<std::string, std::string>{"busnum", bus}, {"speed", speed},
                                         {"devnum", "1"}, {"devpath", "0"}})
            put(hub + "/" + file, text + "\n", false);

    std::string scsi = d.host + ":0:0:0", bus = super_speed(d) ? "3" : "1", port = bus + "-" + n;
    std::string above;  // the disk's path in sys/devices down to its SCSI host
    if (d.usb) {
        std::string hub = (super_speed(d) ? xhci : ehci) + "/usb" + bus, usb = hub + "/" + port;
        above = usb.substr(devices.size()) + "/" + port + ":1.0";
        usb_devices_[d.name] = usb;
        std::string padded = std::string(d.version.size() < 5 ? 5 - d.version.size() : 0, ' ') + d.version;
        if (d.version_file)
            put(usb + "/version", padded + "\n", false);
        put(usb + "/busnum", bus + "\n", false);
        put(usb + "/devnum", std::to_string(number + 3) + "\n", false);
        put(usb + "/devpath", n + "\n", false);
        put(usb + "/speed", (d.speed.empty() ? super_speed(d) ? "5000" : "480" : d.speed) + "\n", false);
        if (d.serial != "None")
            put(usb + "/serial", d.serial + "\n", false);
        put("proc/scsi/usb-storage/" + d.host, usb_storage_file(d), false);
        std::string own_port = bus + "-0:1.0/usb" + bus + "-port" + n;
        put(hub + "/" + own_port + "/connect_type", "hotplug\n", false);
        fs::create_symlink("../" + own_port, dir_ + "/" + usb + "/port");
        if (super_speed(d)) {
            put(xhci + "/usb2/2-0:1.0/usb2-port" + n + "/connect_type", "hotplug\n", false);
            fs::create_symlink("../../../usb2/2-0:1.0/usb2-port" + n, dir_ + "/" + hub + "/" + own_port + "/peer");
        }
    } else {
        std::string ata = std::to_string(disks_.size()), port_dir = "pci0000:00/0000:00:1f.2/ata" + ata;
        above = port_dir;
        usb_devices_[d.name] = devices + port_dir;
        std::string link = port_dir + "/link" + ata + "/ata_link/link" + ata;
        put(devices + link + "/sata_spd", (d.speed.empty() ? "3.0 Gbps" : d.speed) + "\n", false);
        fs::create_directories(dir_ + "/sys/class/ata_link");
        fs::create_symlink("../../devices/" + link, dir_ + "/sys/class/ata_link/link" + ata);
    }
    std::string device = devices + above + "/host" + d.host + "/target" + d.host + ":0:0/" + scsi;
    put(device + "/scsi_device/" + scsi + "/uevent", "DRIVER=sd\n", false);
    put(device + "/vendor", d.usb ? "Generic \n" : "ATA     \n", false);

    std::string block = d.block_folder ? "sys/block/" + d.name : device + "/block/" + d.name;
    for (int p = 1; p <= d.partitions; p++)
        put(block + "/" + d.name + std::to_string(p) + "/partition", std::to_string(p) + "\n", false);
    // its first partition is what the device's /mnt holds, as the mount table says (korvalt-sim numbers it)
    if (d.mounted && d.partitions > 0) {
        put(block + "/" + d.name + "1/dev", "@mnt@\n", false);
        fs::create_directories(dir_ + "/mnt/" + d.name + "1");
    }
    fs::create_directories(dir_ + "/" + block);
    std::string up = d.block_folder ? "../../" + device.substr(4) : "../../../" + scsi;
    fs::create_symlink(up, dir_ + "/" + block + "/device");
    if (!d.block_folder)
        fs::create_symlink("../" + block.substr(4), dir_ + "/sys/block/" + d.name);
}

void SimDevice::store(const std::string &key, const std::string &value)
{
    store_ += key + "=" + value + "\n";
}

void SimDevice::radio(const std::string &band, const char *status, const char *channel)
{
    if (status)
        write("radio/" + band + "/status", status);
    if (channel)
        write("radio/" + band + "/channel", channel);
}

static std::string device_list_entry(const Disk &d, int number)
{
    bool super = super_speed(d);
    return "\nT:  Bus=0" + std::string(super ? "3" : "1") + " Lev=02 Prnt=02 Port=0" + std::to_string(number % 10) +
           " Cnt=01 Dev#=  " + std::to_string(number + 3) + (super ? " Spd=5000" : " Spd=480 ") + " MxCh= 0\n"
           "D:  Ver= " + d.version + " Cls=00(>ifc ) Sub=00 Prot=00 MxPS=64 #Cfgs=  1\n"
           "P:  Vendor=0781 ProdID=5567 Rev= 1.00\n"
           "S:  Manufacturer=Generic\n"
           "S:  Product=" + d.product.substr(0, 100) + "\n" +
           // the kernel lists at most 100 bytes of a string, and no serial line for a stick without one
           (d.serial == "None" ? "" : "S:  SerialNumber=" + d.serial.substr(0, 100) + "\n") +
           "C:* #Ifs= 1 Cfg#= 1 Atr=80 MxPwr=200mA\n"
           "I:* If#= 0 Alt= 0 #EPs= 2 Cls=08(stor.) Sub=06 Prot=50 Driver=usb-storage\n"
           "E:  Ad=81(I) Atr=02(Bulk) MxPS= 512 Ivl=0ms\n"
           "E:  Ad=02(O) Atr=02(Bulk) MxPS= 512 Ivl=0ms\n";
}

// A hub and a keyboard come first, so a lookup that matches too much shows their lines.
static const char kUsbHubAndKeyboard[] =
    "T:  Bus=01 Lev=00 Prnt=00 Port=00 Cnt=00 Dev#=  1 Spd=480  MxCh= 2\n"
    "B:  Alloc=  0/800 us ( 0%), #Int=  1, #Iso=  0\n"
    "D:  Ver= 2.00 Cls=09(hub  ) Sub=00 Prot=01 MxPS=64 #Cfgs=  1\n"
    "P:  Vendor=1d6b ProdID=0002 Rev= 3.10\n"
    "S:  Manufacturer=Linux 3.10.14 ehci_hcd\n"
    "S:  Product=EHCI Host Controller\n"
    "S:  SerialNumber=ehci-platform\n"
    "C:* #Ifs= 1 Cfg#= 1 Atr=e0 MxPwr=  0mA\n"
    "I:* If#= 0 Alt= 0 #EPs= 1 Cls=09(hub  ) Sub=00 Prot=00 Driver=hub\n"
    "E:  Ad=81(I) Atr=03(Int.) MxPS=   4 Ivl=256ms\n"
    "\n"
    "T:  Bus=01 Lev=01 Prnt=01 Port=00 Cnt=01 Dev#=  2 Spd=1.5  MxCh= 0\n"
    "D:  Ver= 1.10 Cls=00(>ifc ) Sub=00 Prot=00 MxPS= 8 #Cfgs=  1\n"
    "P:  Vendor=046d ProdID=c31c Rev=64.00\n"
    "S:  Manufacturer=Logitech\n"
    "S:  Product=USB Keyboard\n"
    "C:* #Ifs= 1 Cfg#= 1 Atr=a0 MxPwr= 90mA\n"
    "I:* If#= 0 Alt= 0 #EPs= 1 Cls=03(HID  ) Sub=01 Prot=01 Driver=usbhid\n"
    "E:  Ad=81(I) Atr=03(Int.) MxPS=   8 Ivl=10ms\n";

// The kernel lists one bus whole, then the next: super-speed sticks come after this root hub of their own bus.
static const char kSuperSpeedRootHub[] =
    "\nT:  Bus=03 Lev=00 Prnt=00 Port=00 Cnt=00 Dev#=  1 Spd=5000 MxCh= 1\n"
    "B:  Alloc=  0/800 us ( 0%), #Int=  0, #Iso=  0\n"
    "D:  Ver= 3.00 Cls=09(hub  ) Sub=00 Prot=03 MxPS= 9 #Cfgs=  1\n"
    "P:  Vendor=1d6b ProdID=0003 Rev= 3.10\n"
    "S:  Manufacturer=Linux 3.10.14 xhci-hcd\n"
    "S:  Product=xHCI Host Controller\n"
    "S:  SerialNumber=xhci-hcd\n"
    "C:* #Ifs= 1 Cfg#= 1 Atr=e0 MxPwr=  0mA\n"
    "I:* If#= 0 Alt= 0 #EPs= 1 Cls=09(hub  ) Sub=00 Prot=00 Driver=hub\n"
    "E:  Ad=81(I) Atr=03(Int.) MxPS=   4 Ivl=256ms\n";

// A row of the partition table, as the kernel prints it.
static std::string partition_row(int minor, unsigned long long blocks, const std::string &name)
{
    char row[64];
    snprintf(row, sizeof row, "%4d  %7d %10llu ", 8, minor, blocks);
    return row + name + "\n";
}

void SimDevice::render()
{
    std::string partitions = "major minor  #blocks  name\n\n";
    std::string usb = kUsbHubAndKeyboard, super_speed_bus;
    std::string df = "Filesystem           1K-blocks      Used Available Use% Mounted on\n"
                     "/dev/root                13312     13312         0 100% /\n"
                     "tmpfs                    63236       428     62808   1% /tmp\n";
    // no /proc, /sys or /tmp: in the sandbox they lie on the filesystem of /mnt
    std::string mounts = "/dev/root / squashfs ro,relatime 0 0\n";
    int minor = 0, number = 0;
    for (const Disk &d : disks_) {
        partitions += partition_row(minor, 7818240, d.name);
        for (int p = 1; p <= d.partitions; p++)
            partitions += partition_row(minor + p, 3909120, d.name + std::to_string(p));
        if (d.mounted) {
            df += "/dev/" + d.name + "1              7690432   1203456   6486976  16% /mnt/" + d.name + "1\n";
            mounts += "/dev/" + d.name + "1 /mnt/" + d.name + "1 ext2 rw,relatime 0 0\n";
        }
        if (d.usb)
            (super_speed(d) ? super_speed_bus : usb) += device_list_entry(d, ++number);
        minor += 16;
    }
    if (!super_speed_bus.empty())
        usb += kSuperSpeedRootHub + super_speed_bus;
    put("proc/partitions", partitions + extra_partitions_, false);
    put("proc/bus/usb/devices", usb, false);
    put("df", df, false);
    put("proc/mounts", mounts, false);
    put("store", store_, false);
}

Outcome SimDevice::run(const std::vector<std::string> &args, const std::string &program)
{
    render();
    return run_in_sandbox(dir_, root_, program, args);
}

Outcome SimDevice::run_shell(const std::string &script, const std::string &program,
                             const std::vector<std::string> &args)
{
    std::vector<std::string> words = {"-c", script, "sh"};
    for (const std::string &word : command_of(program))
        words.push_back(word);
    words.insert(words.end(), args.begin(), args.end());
    return run(words, "/bin/sh");
}

std::string SimDevice::tmp(const std::string &name) const
{
    return read_file(tmp_path(name));
}

bool SimDevice::tmp_has(const std::string &name) const
{
    return fs::exists(tmp_path(name));
}

std::set<std::string> SimDevice::tmp_entries() const
{
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(root_ + "/run/tmp"))
        names.insert(e.path().filename().string());
    return names;
}

Outcome run_description(const std::string &dir, const std::string &work_name, const std::vector<std::string> &args,
                        const std::string &program)
{
    std::string root = std::string(WORK_ROOT) + "/" + work_name;
    fs::remove_all(root);
    fs::create_directories(root);
    return run_in_sandbox(dir, root, program, args);
}

Outcome run_demo(const std::string &work_name, const std::vector<std::string> &args, const std::string &program)
{
    return run_description(DEMO_DEVICE, work_name, args, program);
}

// Every file, folder and link below dir by relative path, with what it holds.
static std::map<std::string, std::string> tree(const std::string &dir)
{
    std::map<std::string, std::string> entries;
    if (!fs::exists(dir))
        return entries;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
        std::string rel = fs::relative(it->path(), dir).string();
        if (it->is_symlink())
            entries[rel] = "link " + fs::read_symlink(it->path()).string();
        else if (it->is_directory())
            entries[rel] = "folder";
        else
            entries[rel] = read_file(it->path().string());
    }
    return entries;
}

std::vector<std::string> SimDevice::changed_outside_tmp() const
{
    std::vector<std::string> changed;
    for (const char *part : {"proc", "sys", "radio", "artmtd"}) {
        auto before = tree(dir_ + "/" + part);
        auto after = tree(root_ + "/run/" + part);
        // the sandbox's own way to the real procfs, for the sanitizers
        for (const char *own : {".real", "self", "thread-self"})
            if (std::string(part) == "proc")
                after.erase(own);
        // the sandbox numbers a mounted partition as the folders of its /mnt are numbered
        for (const auto &[path, content] : after)
            if (!before.count(path) || (before[path] != content && before[path].rfind("@mnt", 0) != 0))
                changed.push_back(std::string(part) + "/" + path);
        for (const auto &[path, content] : before)
            if (!after.count(path))
                changed.push_back(std::string(part) + "/" + path + " (gone)");
    }
    for (const char *file : {"df", "store"})
        if (read_file(dir_ + "/" + file) != read_file(root_ + "/run/" + file))
            changed.push_back(file);
    return changed;
}
