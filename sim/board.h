// A simulated board's device description: its disks, and the files of /proc, /sys, /mnt and the tools' answers that
// the kernel and the device would show for them. The tests' fixture and sim/make-device both write boards with it.
#ifndef KORVALT_SIM_BOARD_H
#define KORVALT_SIM_BOARD_H

#include <istream>
#include <map>
#include <string>
#include <vector>

struct Disk {
    std::string name;              // "sda"
    std::string host = "0";        // its SCSI host; the usb-storage file is named after it
    std::string serial = "SERIAL"; // the usb-storage "Serial Number:" value and the device list's SerialNumber
    std::string version = "2.00";  // the device list's "Ver="
    bool mounted = true;           // df and the mount table list its first partition, mounted on /mnt/NAME1
    bool usb = true;               // false: no usb-storage file and no USB device (an eSATA disk)
    int partitions = 1;
    std::string product = "Flash Disk"; // the descriptor's product string, in both files
    bool version_file = true;      // its USB device's "version" in sysfs, as the kernel prints it (" 2.00")
    bool block_folder = false;     // /sys/block/sdX a folder with a device link, as on old kernels, not a link
    std::string speed;             // its USB device's speed file, or its ATA link's sata_spd; "": 480, 5000 for a
                                   // version 3 device, "3.0 Gbps" for a disk not on USB
    // Where it sits, as disk_ports names it: "1-2" (a root port of the EHCI's bus 1), "2-1.4" (port 4 of a hub on
    // root port 1 of the xHCI's USB 2 bus 2; at 5000 Mbit/s or more the device sits on its SuperSpeed bus 3, the
    // port's peer), "ata2". "": a root port of its own, numbered by the order of the USB disks (bus 2 for a
    // version 3 device), or the ATA port numbered by the order of all the disks. A USB disk on the connector of an
    // earlier one is another slot of that card reader: the next LUN of its USB device and SCSI host.
    std::string connector;
    bool read_only = false;        // its first partition is mounted read-only
    std::string vendor_id = "0781", product_id = "5567";
};

struct Board {
    std::string dir;
    std::vector<Disk> disks;
    std::map<std::string, std::string> kept;  // files written whole, which the lists do not replace
    std::string store, extra_partitions;
    std::map<std::string, std::string> device_folders;  // a disk's USB device, or its ATA port, in sysfs
    std::map<std::string, int> buses;  // the bus of each USB device, by the first disk on it
};

// A fresh description in dir, without disks.
void start_board(Board &board, const std::string &dir);
// A file of the description; kept (a file a test wrote whole) stays as it is when the lists are written.
void put_file(Board &board, const std::string &path, const std::string &text, bool kept = false);
// The disk's own files, made at once so that a test may change them; "" when they were made, else what is wrong
// with its connector.
std::string add_disk(Board &board, const Disk &disk);
// The files that list every disk: /proc/partitions, the USB device list, df, the mount table, the store, and the
// folders mounted read-only.
void write_lists(Board &board);

// A board description: a line per disk, "CONNECTOR KIND SPEED VERSION MOUNT [SERIAL [IDVENDOR [IDPRODUCT [MODEL]]]]",
// into disks named sda, sdb, ... in its order; "" or what is wrong, with its line.
std::string read_board(std::istream &in, std::vector<Disk> &disks);
// A board's lines as the whole description of a unit in dir: its disks, the lists, the count files that the
// device's other parts leave and the store's name of its eSATA disk. "" or what is wrong, as read_board or
// add_disk says it.
std::string make_board(Board &board, std::istream &in, const std::string &dir);

#endif
