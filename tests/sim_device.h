// Simulated devices for end-to-end tests: a device description built in a folder of the build tree, and a run of
// a real program on it inside the sandbox (sim/korvalt-sim).
#ifndef KORVALT_TESTS_SIM_DEVICE_H
#define KORVALT_TESTS_SIM_DEVICE_H

#include <set>
#include <string>
#include <vector>

#include "board.h"

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
    void extra_partitions(const std::string &lines) { board_.extra_partitions += lines; }

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

    const std::string &description() const { return board_.dir; }
    // The sysfs folder of an added disk's USB device (sys/devices/.../usb1/1-2), or of the ATA port a disk not on USB
    // sits on (sys/devices/.../ata2), relative to the description.
    const std::string &usb_device(const std::string &disk) const { return board_.device_folders.at(disk); }

  private:
    std::string root_;
    Board board_;
};

std::string read_file(const std::string &path);
// korvalt-ports' lines and messages with their MB/s, which vary from run to run, as "#.#": the WRITE and READ fields
// of a line, "at 12.5 MB/s", and a record's "write", "read" and "seconds".
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
