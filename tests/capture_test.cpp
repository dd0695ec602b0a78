// A unit's state captured with korvalt-capture on a simulated device with BusyBox's tools, and replayed on the
// capture: korvalt and every query that a capture can answer must report what they reported on the unit.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim_device.h"

namespace fs = std::filesystem;

// korvalt's report, the disks that korvalt-ports finds for the demo's plan and the queries' texts, each after a line
// that names it: the public section, or the secret one (the pass phrases, and the values of the secret store keys).
// The MAC address, arbitrary files and the data check (what a stick holds) are no part of a capture.
static const char kReport[] = R"(k=$1 q=$2 section=$3 p=$4 plan=$5
if [ "$section" = public ]; then
  echo "== korvalt"; "$k"; echo "status $?"
  echo "== korvalt-ports"; "$p" "$plan" 2>/dev/null | grep -v "^ports: " | cut -d " " -f 1-4; "$p" --write-plan
  for op in "enable_ap bgn" "enable_ap an" "wl_freq_info wl_" "wl_freq_info wla_" wl_channel wla_channel \
            "wl_mode wl_" "wl_mode wla_" "wl_coexist wl_" "wl_coexist wla_" "wl_status wl_" "wl_status wla_" \
            fw_region language_list disk_ports; do
    echo "== $op"; "$q" $op
  done
else
  for op in passphrase_bg_msg passphrase_ag_msg; do echo "== $op"; "$q" $op; done
fi
"$q" config_keys | while read -r key kind; do
  [ "${kind:-public}" = "$section" ] || continue
  echo "== ssid_abg_msg $key"; "$q" ssid_abg_msg "$key"
done
)";

static std::string report(const std::string &device, const std::string &work, const char *section)
{
    Outcome r = run_description(
        device, work, {"-c", kReport, "sh", KORVALT_BIN, KORVALT_QUERY_BIN, section, KORVALT_PORTS_BIN, DEMO_PLAN},
        "/bin/sh");
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

// What the secret section reads when the store holds none of the secrets: every text empty.
static std::string without_secrets(const std::string &secret_report)
{
    std::istringstream lines(secret_report);
    std::string blanked;
    for (std::string line; std::getline(lines, line);)
        blanked += (line.rfind("== ", 0) == 0 ? line : "") + "\n";
    return blanked;
}

// Captures the device into a folder, or as a tar stream unpacked on this machine, and gives the folder.
static std::string capture(const std::string &device, const std::string &work, bool stream, bool secrets)
{
    std::vector<std::string> args;
    if (secrets)
        args.push_back("--with-secrets");
    args.push_back(stream ? "-" : "/tmp/capture");
    Outcome r = run_description(device, work, args, KORVALT_CAPTURE_BIN);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "") << work;
    std::string root = std::string(WORK_ROOT) + "/" + work;
    if (!stream)
        return root + "/run/tmp/capture";
    std::ofstream(root + "/capture.tgz", std::ios::binary) << r.out;
    fs::create_directories(root + "/unpacked");
    EXPECT_EQ(std::system(("tar -xzf '" + root + "/capture.tgz' -C '" + root + "/unpacked'").c_str()), 0);
    return root + "/unpacked";
}

// A capture holds nothing the unit did not have: each of its kernel and /tmp entries is on the unit, of the same
// type, and a link with the same target.
static void expect_only_what_the_unit_has(const std::string &dir, const std::string &unit)
{
    for (const char *top : {"proc", "sys", "tmp"}) {
        for (auto it = fs::recursive_directory_iterator(dir + "/" + top); it != fs::end(it); ++it) {
            std::string rel = it->path().string().substr(dir.size());
            fs::file_status on_unit = fs::symlink_status(unit + rel);
            EXPECT_EQ(on_unit.type(), it->symlink_status().type()) << rel;
            if (it->is_symlink() && fs::is_symlink(on_unit))
                EXPECT_EQ(fs::read_symlink(unit + rel), fs::read_symlink(it->path())) << rel;
        }
    }
}

// Who each stick is goes along, so that a replay names it: the identity of every USB and SCSI device the capture
// took, as the unit has it.
static void expect_the_sticks_named(const std::string &dir, const std::string &unit)
{
    int named = 0;
    for (auto it = fs::recursive_directory_iterator(dir + "/sys"); it != fs::end(it); ++it) {
        std::string took = it->path().filename(), folder = it->path().parent_path().string().substr(dir.size());
        std::vector<std::string> identity;
        if (took == "devpath")  // a USB device
            identity = {"idVendor", "idProduct", "serial"};
        else if (took == "vendor")  // a SCSI device
            identity = {"model"};
        for (const std::string &file : identity)
            if (std::string path = folder + "/" + file; fs::exists(unit + path)) {
                EXPECT_EQ(read_file(dir + path), read_file(unit + path)) << path;
                named++;
            }
    }
    EXPECT_GT(named, 0) << dir;
}

static void expect_round_trip(const std::string &device, const std::string &name)
{
    std::string pub = report(device, name + ".unit", "public");
    std::string secret = report(device, name + ".unit", "secret");
    ASSERT_NE(pub.find("== korvalt\n"), std::string::npos) << pub;

    std::string dir = capture(device, name + ".capture", false, false);
    expect_only_what_the_unit_has(dir, device);
    expect_the_sticks_named(dir, device);
    EXPECT_EQ(report(dir, name + ".replay", "public"), pub) << name;
    EXPECT_EQ(report(dir, name + ".replay", "secret"), without_secrets(secret)) << name;
    EXPECT_NE(read_file(dir + "/capture.txt").find("left out: pass phrases, WEP keys and radius secrets"),
              std::string::npos);

    dir = capture(device, name + ".stream", true, true);
    EXPECT_EQ(report(dir, name + ".stream-replay", "public"), pub) << name;
    EXPECT_EQ(report(dir, name + ".stream-replay", "secret"), secret) << name;
}

TEST(Capture, TheDemoDeviceReplaysAsItWas)
{
    expect_round_trip(DEMO_DEVICE, "CaptureDemo");
}

TEST(Capture, AHostileDeviceReplaysAsItWasAndIsLeftUnchanged)
{
    SimDevice dev;
    dev.write("tmp/satadisknum", "1\r\n");
    mkfifo((dev.description() + "/tmp/usbdisknum").c_str(), 0666);  // korvalt reads no FIFO, nor does a capture
    dev.add({"sda", "0", "$(reboot)'`", "2.00"});
    dev.add({"sdb", "1", "-v", "3.00", true, true, 2, std::string(300, 'P')});
    dev.add({"sdc", "2", "", "", true, false});
    dev.add({"sdd", "3", "None", "2.00"});  // only the kernel's own files name its version
    Disk old{"sde", "4", "None", "3.00"};
    old.block_folder = true;  // as old kernels show a disk
    dev.add(old);
    dev.write("proc/scsi/usb-storage/0", "   Host scsi0: usb-storage\nSerial Number: $(reboot)'`\n" +
                                             std::string(2 << 20, 'q') + "\n");
    dev.extra_partitions("   8 0 1 " + std::string(20000, 'x') + "\n");
    dev.store("sata_diskname", "sdc");
    dev.store("wl_sectype", "4");
    dev.store("wl_wpa2_psk", "se\\\"cret");
    dev.store("wl_ssid", "Lab \\\\\\`x\\\\\\`");
    dev.radio("11g", "ON\n", " 11 \n");
    dev.radio("11a", "ON\n");  // its channel, the language list and the region are missing
    dev.run();                 // the device's files are made at a run

    expect_round_trip(dev.description(), "CaptureHostile");

    Outcome r = dev.run({"/tmp/capture"}, KORVALT_CAPTURE_BIN);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(dev.tmp_entries(), (std::set<std::string>{"capture", "usbdisknum", "satadisknum"}));
    EXPECT_EQ(dev.changed_outside_tmp(), std::vector<std::string>());
    std::string notes = read_file(dev.tmp_path("capture/capture.txt"));
    for (const char *note : {"cut at 1048576 bytes: /proc/scsi/usb-storage/0", "not a regular file: /tmp/usbdisknum",
                             "missing: /tmp/firmware_region", "taken: ", "on: Linux"})
        EXPECT_NE(notes.find(note), std::string::npos) << note << " in\n" << notes;
    EXPECT_FALSE(fs::exists(dev.tmp_path("capture/tmp/usbdisknum"))) << "what the unit could not read stays absent";
}
