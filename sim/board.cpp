#include "board.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;

// The board's controllers: the EHCI's bus 1, and the xHCI's USB 2 bus 2 with its SuperSpeed bus 3.
static const std::string kDevices = "sys/devices/", kEhci = kDevices + "pci0000:00/0000:00:1d.7",
                         kXhci = kDevices + "pci0000:00/0000:00:14.0", kAhci = "pci0000:00/0000:00:1f.2";

static std::string root_hub(int bus)
{
    return (bus == 1 ? kEhci : kXhci) + "/usb" + std::to_string(bus);
}

static bool super_speed_version(const Disk &d)
{
    return d.version.rfind("3", 0) == 0;
}

// Whether the disk's USB device sits on the SuperSpeed bus: on a connector given, its link at 5000 Mbit/s or more;
// on a port of its own, a version 3 device, whatever its speed file says.
static bool on_super_speed(const Disk &d)
{
    return d.connector.empty() || d.speed.empty() ? super_speed_version(d) : std::atof(d.speed.c_str()) >= 5000;
}

void start_board(Board &board, const std::string &dir)
{
    board = Board{};
    board.dir = dir;
    fs::remove_all(dir);
    for (const char *folder : {"proc", "sys/block", "tmp"})
        fs::create_directories(dir + "/" + folder);
}

void put_file(Board &board, const std::string &path, const std::string &text, bool kept)
{
    if (!kept && board.kept.count(path))
        return;
    fs::path p = fs::path(board.dir) / path;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
    if (kept)
        board.kept[path] = text;
}

static void put_link(Board &board, const std::string &target, const std::string &path)
{
    fs::create_directories((fs::path(board.dir) / path).parent_path());
    fs::create_symlink(fs::path(target).lexically_relative(fs::path(path).parent_path()),
                       fs::path(board.dir) / path);
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

// A USB device's folder and the folder of the port it is on: the port of its parent hub's interface ("usb1-port2"
// of the root hub, "1-1-port4" of hub 1-1).
struct UsbPlace {
    std::string folder, port;
};

static UsbPlace usb_place(int bus, const std::vector<int> &ports, size_t depth)
{
    std::string b = std::to_string(bus), folder = root_hub(bus), name, port;
    for (size_t i = 0; i < depth; i++) {
        std::string p = std::to_string(ports[i]);
        port = i == 0 ? folder + "/" + b + "-0:1.0/usb" + b + "-port" + p
                      : folder + "/" + name + ":1.0/" + name + "-port" + p;
        name = i == 0 ? b + "-" + p : name + "." + p;
        folder += "/" + name;
    }
    return {folder, port};
}

// A USB device's own files at ports of bus: the hubs above it are made too, each with its port's folder. Without
// device, the hubs and the port alone: the USB 2 side of a SuperSpeed device's port, its peer.
static UsbPlace put_usb_device(Board &board, int bus, const std::vector<int> &ports, const std::string &speed,
                               bool device = true)
{
    for (const auto &[file, text] : {std::pair<std::string, std::string>{"busnum", std::to_string(bus)},
                                     {"speed", bus == 3 ? "5000" : "480"}, {"devnum", "1"}, {"devpath", "0"}})
        put_file(board, root_hub(bus) + "/" + file, text + "\n");
    UsbPlace place;
    for (size_t depth = 1; depth <= ports.size(); depth++) {
        place = usb_place(bus, ports, depth);
        put_file(board, place.port + "/connect_type", "hotplug\n");
        if (!device && depth == ports.size())
            break;
        std::string devpath = place.folder.substr(place.folder.rfind('-') + 1);
        put_file(board, place.folder + "/busnum", std::to_string(bus) + "\n");
        put_file(board, place.folder + "/devpath", devpath + "\n");
        put_file(board, place.folder + "/speed", (depth == ports.size() ? speed : bus == 3 ? "5000" : "480") + "\n");
        if (!fs::is_symlink(fs::path(board.dir) / place.folder / "port"))
            put_link(board, place.port, place.folder + "/port");  // a hub's, made for an earlier device
    }
    return place;
}

static bool parse_usb_connector(const std::string &connector, int &bus, std::vector<int> &ports)
{
    static const std::regex form("([1-9][0-9]?)-([1-9][0-9]?(\\.[1-9][0-9]?){0,4})");
    std::smatch m;
    if (!std::regex_match(connector, m, form))
        return false;
    bus = std::stoi(m.str(1));
    std::istringstream path(m.str(2));
    for (std::string p; std::getline(path, p, '.');)
        ports.push_back(std::stoi(p));
    return true;
}

// sysfs has the kernel's shape: /sys/block/sdX links to the disk at the end of its device path (controller, USB
// device, interface, SCSI host, target and device; an ATA port for a disk not on USB, whose link the ata_link class
// names), and the disk's device link leads back up to its SCSI device. A SuperSpeed device's port has the same port
// of the USB 2 bus as its peer.
std::string add_disk(Board &board, const Disk &disk)
{
    Disk d = disk;
    int usb_number = (int)board.buses.size() + 1, lun = 0;
    std::string above;  // the disk's path in sys/devices down to its SCSI host
    if (d.usb) {
        bool super = on_super_speed(d);
        if (d.connector.empty())
            d.connector = (super ? "2-" : "1-") + std::to_string(usb_number);
        for (const Disk &other : board.disks)
            if (other.usb && other.connector == d.connector) {
                d.host = other.host;  // a card reader's next slot
                lun++;
            }
        int bus;
        std::vector<int> ports;
        if (!parse_usb_connector(d.connector, bus, ports) || bus > 2)
            return "connector " + d.connector +
                   ": a USB connector is 1-PORT[.PORT...] (the EHCI) or 2-... (the xHCI)";
        if (super && bus == 1)
            return "connector " + d.connector + ": the EHCI's bus 1 has no SuperSpeed";
        UsbPlace place = usb_place(super ? 3 : bus, ports, ports.size());
        above = place.folder.substr(kDevices.size()) + "/" + place.folder.substr(place.folder.rfind('/') + 1) +
                ":1.0";
        board.device_folders[d.name] = place.folder;
        if (lun == 0) {
            board.buses[d.name] = super ? 3 : bus;
            put_usb_device(board, super ? 3 : bus, ports, d.speed.empty() ? super ? "5000" : "480" : d.speed);
            if (super)
                put_link(board, put_usb_device(board, 2, ports, "", false).port, place.port + "/peer");
            std::string usb = place.folder, padded = std::string(d.version.size() < 5 ? 5 - d.version.size() : 0,
                                                                 ' ') + d.version;
            if (d.version_file)
                put_file(board, usb + "/version", padded + "\n");
            put_file(board, usb + "/devnum", std::to_string(usb_number + 3) + "\n");
            if (d.serial != "None")
                put_file(board, usb + "/serial", d.serial + "\n");
            put_file(board, usb + "/idVendor", d.vendor_id + "\n");
            put_file(board, usb + "/idProduct", d.product_id + "\n");
            put_file(board, "proc/scsi/usb-storage/" + d.host, usb_storage_file(d));
        }
    } else {
        static const std::regex form("ata([1-9][0-9]?)");
        std::smatch m;
        if (d.connector.empty())
            d.connector = "ata" + std::to_string(board.disks.size() + 1);
        if (!std::regex_match(d.connector, m, form))
            return "connector " + d.connector + ": an eSATA connector is ataN";
        std::string ata = m.str(1), port_dir = kAhci + "/ata" + ata;
        above = port_dir;
        board.device_folders[d.name] = kDevices + port_dir;
        std::string link = port_dir + "/link" + ata + "/ata_link/link" + ata;
        put_file(board, kDevices + link + "/sata_spd", (d.speed.empty() ? "3.0 Gbps" : d.speed) + "\n");
        put_link(board, kDevices + link, "sys/class/ata_link/link" + ata);
    }
    std::string scsi = d.host + ":0:0:" + std::to_string(lun);
    std::string device = kDevices + above + "/host" + d.host + "/target" + d.host + ":0:0/" + scsi;
    put_file(board, device + "/scsi_device/" + scsi + "/uevent", "DRIVER=sd\n");
    put_file(board, device + "/vendor", d.usb ? "Generic \n" : "ATA     \n");
    std::string model = d.product;
    model.resize(std::max<size_t>(model.size(), 16), ' ');  // the kernel pads a SCSI model to 16 characters
    put_file(board, device + "/model", model + "\n");

    std::string block = d.block_folder ? "sys/block/" + d.name : device + "/block/" + d.name;
    for (int p = 1; p <= d.partitions; p++)
        put_file(board, block + "/" + d.name + std::to_string(p) + "/partition", std::to_string(p) + "\n");
    // its first partition is what the device's /mnt holds, as the mount table says (korvalt-sim numbers it)
    if (d.mounted && d.partitions > 0) {
        put_file(board, block + "/" + d.name + "1/dev", "@mnt@\n");
        fs::create_directories(board.dir + "/mnt/" + d.name + "1");
    }
    fs::create_directories(board.dir + "/" + block);
    if (d.block_folder)
        put_link(board, device, block + "/device");
    else
        fs::create_symlink("../../../" + scsi, board.dir + "/" + block + "/device");
    if (!d.block_folder)
        put_link(board, block, "sys/block/" + d.name);
    board.disks.push_back(d);
    return "";
}

static std::string device_list_entry(const Disk &d, int bus, int number)
{
    std::string port = d.connector.substr(d.connector.find_last_of("-.") + 1);
    char t[96];
    snprintf(t, sizeof t, "\nT:  Bus=%02d Lev=%02zu Prnt=01 Port=%02d Cnt=01 Dev#=%3d Spd=%-4s MxCh= 0\n", bus,
             std::count(d.connector.begin(), d.connector.end(), '.') + size_t{1}, std::stoi(port) - 1, number + 3,
             bus == 3 ? "5000" : "480");
    return std::string(t) +
           "D:  Ver= " + d.version + " Cls=00(>ifc ) Sub=00 Prot=00 MxPS=64 #Cfgs=  1\n"
           "P:  Vendor=" + d.vendor_id + " ProdID=" + d.product_id + " Rev= 1.00\n"
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

void write_lists(Board &board)
{
    std::string partitions = "major minor  #blocks  name\n\n", read_only;
    std::map<int, std::string> buses;  // the device list's entries by bus
    std::string df = "Filesystem           1K-blocks      Used Available Use% Mounted on\n"
                     "/dev/root                13312     13312         0 100% /\n"
                     "tmpfs                    63236       428     62808   1% /tmp\n";
    // no /proc, /sys or /tmp: in the sandbox they lie on the filesystem of /mnt
    std::string mounts = "/dev/root / squashfs ro,relatime 0 0\n";
    int minor = 0, number = 0;
    for (const Disk &d : board.disks) {
        partitions += partition_row(minor, 7818240, d.name);
        for (int p = 1; p <= d.partitions; p++)
            partitions += partition_row(minor + p, 3909120, d.name + std::to_string(p));
        if (d.mounted) {
            df += "/dev/" + d.name + "1              7690432   1203456   6486976  16% /mnt/" + d.name + "1\n";
            mounts += "/dev/" + d.name + "1 /mnt/" + d.name + "1 ext2 " + (d.read_only ? "ro" : "rw") +
                      ",relatime 0 0\n";
            if (d.read_only)
                read_only += d.name + "1\n";
        }
        // a card reader's slots share its one entry
        if (board.buses.count(d.name))
            buses[board.buses[d.name]] += device_list_entry(d, board.buses[d.name], ++number);
        minor += 16;
    }
    std::string usb = kUsbHubAndKeyboard;
    for (const auto &[bus, entries] : buses)
        usb += (bus == 3 ? kSuperSpeedRootHub : "") + entries;
    put_file(board, "proc/partitions", partitions + board.extra_partitions);
    put_file(board, "proc/bus/usb/devices", usb);
    put_file(board, "df", df);
    put_file(board, "proc/mounts", mounts);
    put_file(board, "store", board.store);
    if (!read_only.empty())
        put_file(board, "read-only", read_only);
}

std::string read_board(std::istream &in, std::vector<Disk> &disks)
{
    static const std::regex usb_speed("1\\.5|12|480|5000|10000|20000"), sata_speed("1500|3000|6000"),
        version("[1-3]\\.[0-9][0-9]"), hex("[0-9a-f]{4}");
    std::map<std::string, std::string> kinds;  // the kind of disk on each connector so far
    int n = 0;
    for (std::string text; std::getline(in, text);) {
        n++;
        std::istringstream fields(text.substr(0, text.find('#')));
        std::string connector, kind, speed, ver, mount, serial, vendor, product, model;
        if (!(fields >> connector))
            continue;
        std::string where = "line " + std::to_string(n) + ": ";
        if (!(fields >> kind >> speed >> ver >> mount))
            return where + "CONNECTOR KIND SPEED VERSION MOUNT [SERIAL [IDVENDOR [IDPRODUCT [MODEL]]]] wanted";
        fields >> serial >> vendor >> product;
        std::getline(fields >> std::ws, model);
        Disk d;
        d.name = "sd" + std::string(1, char('a' + disks.size()));
        d.host = std::to_string(disks.size());
        d.connector = connector;
        d.usb = kind != "esata";
        if (kind != "stick" && kind != "slot" && kind != "esata")
            return where + "kind " + kind + ": stick, slot or esata";
        if (kinds.count(connector) && (kind != "slot" || kinds[connector] != "slot"))
            return where + "connector " + connector + " holds a disk already; only a card reader's slots share one";
        kinds[connector] = kind;
        if (!std::regex_match(speed, d.usb ? usb_speed : sata_speed))
            return where + "speed " + speed + ": " +
                   (d.usb ? "1.5, 12, 480, 5000, 10000 or 20000" : "1500, 3000 or 6000");
        d.speed = d.usb ? speed : speed.substr(0, 1) + "." + speed.substr(1, 1) + " Gbps";
        if (d.usb && !std::regex_match(ver, version))
            return where + "version " + ver + ": as the kernel gives it (2.00, 3.10)";
        d.version = d.usb ? ver : "";
        if (mount != "rw" && mount != "ro" && mount != "none")
            return where + "mount " + mount + ": rw, ro or none";
        d.mounted = mount != "none";
        d.read_only = mount == "ro";
        char own_serial[16];
        snprintf(own_serial, sizeof own_serial, "KV%08d", n);
        d.serial = serial.empty() ? own_serial : serial == "-" ? "None" : serial;
        if ((!vendor.empty() && !std::regex_match(vendor, hex)) ||
            (!product.empty() && !std::regex_match(product, hex)))
            return where + "idVendor and idProduct are four hexadecimal digits";
        d.vendor_id = vendor.empty() ? d.vendor_id : vendor;
        d.product_id = product.empty() ? d.product_id : product;
        d.product = model.empty() ? d.product : model;
        if (disks.size() == 26)
            return where + "at most 26 disks";
        disks.push_back(d);
    }
    return "";
}

std::string make_board(Board &board, std::istream &in, const std::string &dir)
{
    std::vector<Disk> disks;
    std::string wrong = read_board(in, disks);
    start_board(board, dir);
    int usb = 0, sata = 0;
    for (const Disk &d : disks) {
        if (wrong.empty())
            wrong = add_disk(board, d);
        (d.usb ? usb : sata)++;
        if (!d.usb)
            board.store += "sata_diskname=" + d.name + "\n";
    }
    if (!wrong.empty())
        return wrong;
    put_file(board, "tmp/usbdisknum", std::to_string(usb) + "\n");
    put_file(board, "tmp/satadisknum", std::to_string(sata) + "\n");
    write_lists(board);
    return "";
}
