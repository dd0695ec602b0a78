// The factory query library: short display texts about the device for factory tests.
//
// Every text result points into a static buffer of the library, a constant, or the store's own text; it stays valid
// until the operation that filled it runs again. Callers never free or modify it.
#ifndef KORVALT_UTIL_H
#define KORVALT_UTIL_H

#include <stddef.h>
#include <stdio.h>

// The scratch files, their lock and the shell quoting that the library's operations use, for callers that take turns
// with them too.
#include "trust.h"

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

// Configured radio settings. argv is the radio prefix: "wla_" for the 5 GHz radio, anything else for the 2.4 GHz
// one.
const char *wl_mode(const char *argv);
const char *wl_coexist(const char *argv);
int wl_status(const char *argv);

// Network names and pass phrases, from their escaped stored form. ssid_abg_msg's argv is the store key whose value
// it decodes.
const char *sed_ssid_abg_items(const char *sed);
const char *sed_passphrase_abg_items(const char *sed);
const char *ssid_abg_msg(const char *argv);
const char *passphrase_bg_msg(void);
const char *passphrase_ag_msg(void);

// The store keys that korvalt and the library read, the network names that callers ask ssid_abg_msg for among
// them: the index-th one, with *secret non-zero for a pass phrase, WEP key or radius secret; null past the last.
const char *config_key(int index, int *secret);

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

#ifdef __cplusplus
}
#endif

#endif
