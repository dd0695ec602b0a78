// The data check: data written through a port into a stick's filesystem and read back from the stick. This is the
// half of the trust boundary that acts on a stranger's stick as root (trust.h is the other half: the shell and the
// scratch files); whoever reviews what a hostile stick can make korvalt-ports do reads this unit.
//
// What it reads: the disk's and its partitions' "dev" files in /sys/block, the mount table (/proc/self/mountinfo;
// /proc/mounts and the block nodes under /dev where the kernel has no mountinfo). No other mount point is looked at:
// the disk's filesystem is found by its device number, so a stale mount elsewhere cannot hold the check up.
//
// What it does on the stick, in the root folder of the disk's first read-write mount and nowhere else, in a child
// process with a deadline:
//   - opens that folder, confirms it is that device's, and locks it (two runs take turns);
//   - removes the files that a run cut short left there: only a regular file named exactly as a run names its file,
//     looked at without following a link, opened without following one and without waiting, and carrying the
//     check's mark; a device node, a FIFO, a socket or a link is never opened, and a file without the mark stays;
//   - creates its own file exclusively, never over a link or a file that stands there, writes it, syncs it, drops
//     its pages from the page cache, reads it back past the page cache, removes it and syncs the folder.
// Only the file this run created is ever removed, when the check ends, fails, is signalled or passes its deadline.
//
// What it writes elsewhere: "1" into /proc/sys/vm/drop_caches, when the file's pages cannot be dropped by advice.
#ifndef KORVALT_DATA_CHECK_H
#define KORVALT_DATA_CHECK_H

#include <stdint.h>

// The first failure of a data check, in this order.
enum DataVerdict {
    kDataPass, kDataUnmounted, kDataReadOnly, kDataNoSpace, kDataWriteError, kDataReadError, kDataMismatch,
    kDataTimeout,
};

struct DataResult {
    long write, read;     // MB/s in tenths, -1 when not measured
    DataVerdict verdict;
    char messages[768];   // what was found, a line each ("LABEL: ..."), as the check would say it
};

// Adds "LABEL: what" as a line to r's messages, cut where they are full.
__attribute__((format(printf, 3, 4))) void add_message(DataResult &r, const char *label, const char *format, ...);

// Whether a filesystem of the disk ("sda") is mounted, read-only or not, as the check finds its mount.
bool disk_mounted(const char *disk);

// The check's clock: microseconds of the monotonic clock, in 32 bits (they wrap after 71 minutes; differences are
// right within that).
uint32_t now_us();

// Checks the disk ("sda") with mib MiB (1 to 256), within a deadline of 7.5 s a MiB (at least 10 s); label names
// the disk in the messages. Nothing of the check writes to the caller's descriptors.
void check_data(const char *label, const char *disk, long mib, DataResult &result);

// Sets handler for SIGINT, SIGTERM, SIGHUP and SIGPIPE, the signals that end a run, except for those the caller
// ignores (nohup, a shell's background job): they stay ignored.
void catch_ending_signals(void (*handler)(int));

// For a handler of a signal that ends the run: the check under way gets the signal and 2 s to remove its file, then
// SIGKILL, and its file is removed if it still is the one it made. Safe in a signal handler.
void abandon_data_check(int sig);

#endif
