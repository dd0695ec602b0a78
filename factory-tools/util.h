// The factory query library: short display texts about the device for factory tests.
//
// Every text result points into a static buffer of the library, a constant, or the store's own text; it stays valid
// until the operation that filled it runs again. Callers never free or modify it.
#ifndef KORVALT_UTIL_H
#define KORVALT_UTIL_H

#include <stddef.h>
#include <stdio.h>

typedef unsigned char uint8;

#ifdef __cplusplus
extern "C" {
#endif

// The first line of a small text file without its line end; "" when the file is missing, unreadable or empty.
// One buffer serves every caller: the next call overwrites the text.
const char *cat_file(const char *name);

// Radio state and channels. band: "bgn" for the 2.4 GHz radio, anything else for the 5 GHz one; pre: "wla_" for
// the 5 GHz radio, anything else for the 2.4 GHz one.
int enable_ap(const char *band);
int wl_freq_info(const char *pre);
const char *wl_channel(void);
const char *wla_channel(void);

// Configured radio settings, by radio prefix.
const char *wl_mode(const char *argv);
const char *wl_coexist(const char *argv);
int wl_status(const char *argv);

// Network names and pass phrases, from their escaped stored form.
const char *sed_ssid_abg_items(const char *sed);
const char *sed_passphrase_abg_items(const char *sed);
const char *ssid_abg_msg(const char *argv);
const char *passphrase_bg_msg(void);
const char *passphrase_ag_msg(void);

// Device identity. get_mac fills eabuf (at least 18 bytes) and returns it.
char *get_mac(const char *ifname, char *eabuf);
const char *mac_addr(const char *ifname);
const char *fw_region(void);
const char *language_list(void);

// Which connector each USB and ATA disk of the partition table is in and what speed its link reached, one line
// each, mounted or not; "" when there is none:
//   usb B-DEVPATH sdX SPEED USBx.yy mounted|unmounted      (SPEED in Mbit/s, as the kernel says it: 480, 1.5)
//   sata ataN sdX SPEED - mounted|unmounted
// A field the kernel gives no answer for is "-". In the order of the connectors: usb lines by bus and port numbers,
// then sata lines by N; lines that do not fit are left out whole from the end. Runs df into the df snapshot.
const char *disk_ports(void);

// Scratch files: the fixed names under /tmp that a command's output is redirected into and read back from.
// Processes take turns with them: a caller holds scratch_lock() from the command to the last read of its output.
// Locks nest within a process; when /tmp cannot be locked the caller goes on unlocked.
void scratch_lock(void);
void scratch_unlock(void);
// Runs cmd, whose redirect writes scratch, on a scratch file made anew. Without cmd, only makes it anew (empty).
// Returns 0, and runs nothing, when the file cannot be made: then what stands there is not to be read.
int run_into(const char *cmd, const char *scratch);
// Opens a file for reading, closed on exec; null unless it is a regular file, and under /tmp unless it is one
// itself rather than a link. Never waits.
FILE *open_for_reading(const char *path);

// Writes word into out as one single-quoted shell word that the shell passes on untouched. Returns the length
// written, or -1 (and "" in out) when it does not fit in size bytes.
int shell_quote(char *out, size_t size, const char *word);

#ifdef __cplusplus
}
#endif

// Room that shell_quote needs for a word of len characters: every quote may become four characters, plus the two
// enclosing quotes and the terminator.
#define SHELL_QUOTED_SIZE(len) (4 * (len) + 3)

#endif
