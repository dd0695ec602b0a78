// The trust boundary: what korvalt and the library hand to the shell and take back from files that anyone, a USB
// stick or another process of the device, may have put there. Whoever reviews what a hostile stick or neighbour
// can do reads this unit and its other half, data-check.h: what the port test opens, creates, removes and reads on
// a stick's filesystem as root. The rest of the programs use nothing else to run a command, read a scratch file or
// touch a stick.
#ifndef KORVALT_TRUST_H
#define KORVALT_TRUST_H

#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
#include <string_view>
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Scratch files: the fixed names under /tmp that a command's output is redirected into and read back from.
// Processes take turns with them: a caller holds scratch_lock() from the command to the last read of its output.
// The lock orders the runs of korvalt and the library, nothing else (it is advisory). Locks nest within a process;
// when /tmp cannot be locked the caller goes on unlocked.
void scratch_lock(void);
void scratch_unlock(void);
// Runs cmd, whose redirect writes scratch, on a scratch file made anew. Without cmd, only makes it anew (empty).
// Returns 0, and runs nothing, when the file cannot be made: then what stands there is not to be read.
int run_into(const char *cmd, const char *scratch);
// Opens a file for reading, closed on exec, never waiting: null unless it is a regular file, and for a path under
// /tmp, unless that path itself is no link.
FILE *open_for_reading(const char *path);

// Writes word into out as one single-quoted shell word that the shell passes on untouched. Returns the length
// written, or -1 (and "" in out) when it does not fit in size bytes.
int shell_quote(char *out, size_t size, const char *word);

#ifdef __cplusplus
}

// Reads one line of at most size-1 characters, newline included; the rest of a longer line is dropped (unlike
// fgets, which cat_file and read_first_line use for the one first line they take). false at the end of the file.
bool read_line(FILE *fp, char *line, size_t size);

// Every command that korvalt and the library run, each with the scratch file that its redirect writes, as one
// entry: the file made anew, locked and read back is the one the command writes (checked below). %s in a command
// takes a word formatted by its caller: an untrusted one always goes through shell_quote first.
//
// What they read back is the scratch files below, the count files /tmp/usbdisknum and /tmp/satadisknum, the region
// file /tmp/firmware_region, the kernel's /proc and /sys, and the store. They make and remove nothing outside /tmp.
struct Scratch {
    const char *command;
    const char *file;
};

// The df snapshot, made anew by every run that reads it (korvalt, disk_ports).
constexpr Scratch kDfScratch = {"df > /tmp/df_usb 2>/dev/null", "/tmp/df_usb"};
// The SCSI entry of a disk, %s its three-character name (quoted, in both places): the serial probe's listing.
constexpr Scratch kListingScratch = {"/bin/ls /sys/block/%s/device/scsi_device/ > /tmp/%s_info_tmp",
                                     "/tmp/%s_info_tmp"};
// The USB version lookup. The serial number is untrusted text from the USB stick itself and this runs as root: its
// device list line goes in as one quoted word (%s), and -x -F -e make grep take it as a whole line, literally, never
// as an option or a regular expression, so no other line of the list (another stick's, or this one's product name)
// can match.
constexpr Scratch kVersionScratch = {
    "/bin/cat /proc/bus/usb/devices | /bin/grep \"Driver=usb-storage\" -B6 | /bin/grep -x -F -e %s -B4"
    " | /bin/grep \"Ver\" | awk '{print $3}' > /tmp/disk_version",
    "/tmp/disk_version"};
// The radios' state and channel (%s: 11g or 11a, a word of the library's own), and the language list.
constexpr Scratch kStatus11gScratch = {"wlan radio 11g --status >/tmp/enable_ap", "/tmp/enable_ap"};
constexpr Scratch kStatus11aScratch = {"wlan radio 11a --status >/tmp/enable_ap", "/tmp/enable_ap"};
constexpr Scratch kChannelScratch = {"wlan radio %s --channel > /tmp/wl_freq", "/tmp/wl_freq"};
constexpr Scratch kLanguageScratch = {"artmtd -r language > /tmp/language_list", "/tmp/language_list"};

// Whether the command's last redirect of its standard output (">FILE" or "> FILE") writes the entry's file.
constexpr bool redirects_into(const Scratch &s)
{
    std::string_view command = s.command, file = s.file;
    size_t at = command.rfind(file);
    if (at == std::string_view::npos || at == 0)
        return false;
    size_t arrow = command[at - 1] == ' ' ? at - 2 : at - 1;
    size_t end = at + file.size();
    return arrow < at && command[arrow] == '>' && (arrow == 0 || command[arrow - 1] == ' ') &&
           (end == command.size() || command[end] == ' ');
}
static_assert(redirects_into(kDfScratch) && redirects_into(kListingScratch) && redirects_into(kVersionScratch) &&
                  redirects_into(kStatus11gScratch) && redirects_into(kStatus11aScratch) &&
                  redirects_into(kChannelScratch) && redirects_into(kLanguageScratch),
              "a scratch command writes a file other than its own");
#endif

// Room that shell_quote needs for a word of len characters: every quote may become four characters, plus the two
// enclosing quotes and the terminator.
#define SHELL_QUOTED_SIZE(len) (4 * (len) + 3)

#endif
