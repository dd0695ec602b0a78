// Simulated devices for end-to-end tests: a device description built in a folder of the build tree, and a run of
// a real program on it inside the sandbox (sim/korvalt-sim).
#ifndef KORVALT_TESTS_SIM_DEVICE_H
#define KORVALT_TESTS_SIM_DEVICE_H

#include <map>
#include <set>
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
};

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

class SimDevice {
  public:
    // A fresh description, named after the running test unless a name is given.
    explicit SimDevice(std::string name = "");

    void add(const Disk &disk);
    // Whole files, relative to the description (proc/partitions, tmp/usbdisknum, df, store, ...). A file written
    // this way is kept as it is instead of being made from the disks.
    void write(const std::string &path, const std::string &text);
    void store(const std::string &key, const std::string &value);
    // What "wlan radio BAND --status" and "... --channel" print; null: nothing.
    void radio(const std::string &band, const char *status, const char *channel = nullptr);
    void extra_partitions(const std::string &lines) { extra_partitions_ += lines; }

    // Runs program (korvalt by default) with args on the device.
    Outcome run(const std::vector<std::string> &args = {}, const std::string &program = KORVALT_BIN);
    // Runs a shell script on the device, with the words that run program and then args as its "$@".
    Outcome run_shell(const std::string &script, const std::string &program,
                      const std::vector<std::string> &args = {});

    // The device's /tmp after the last run.
    std::string tmp_path(const std::string &name) const { return root_ + "/run/tmp/" + name; }
    std::string tmp(const std::string &name) const;
    bool tmp_has(const std::string &name) const;
    std::set<std::string> tmp_entries() const;
    // What the run changed on the device outside /tmp: the paths of /proc, /sys, the store and the tools' answers
    // that differ from the description.
    std::vector<std::string> changed_outside_tmp() const;

    const std::string &description() const { return dir_; }
    // The sysfs folder of an added disk's USB device (sys/devices/.../usb1/1-2), or of the ATA port a disk not on USB
    // sits on (sys/devices/.../ata2), relative to the description.
    const std::string &usb_device(const std::string &disk) const { return usb_devices_.at(disk); }

  private:
    void put(const std::string &path, const std::string &text, bool keep);
    void render();

    std::string root_;
    std::string dir_;
    std::vector<Disk> disks_;
    std::map<std::string, std::string> written_;
    std::string store_;
    std::string extra_partitions_;
    std::map<std::string, std::string> usb_devices_;
};

std::string read_file(const std::string &path);
// korvalt-ports' lines and messages with their MB/s, which vary from run to run, as "#.#": the WRITE and READ fields
// of a line, and "at 12.5 MB/s".
std::string figures_masked(const std::string &text);
// The words that run program on the device: korvalt, korvalt-query and korvalt-ports of a cross build come with
// their runner.
std::vector<std::string> command_of(const std::string &program);
// Runs program on the device described in dir, with its work folder named work_name.
Outcome run_description(const std::string &dir, const std::string &work_name, const std::vector<std::string> &args,
                        const std::string &program);
// Runs program (korvalt by default) on the demo device that ships with the project.
Outcome run_demo(const std::string &work_name, const std::vector<std::string> &args = {},
                 const std::string &program = KORVALT_BIN);

#endif
