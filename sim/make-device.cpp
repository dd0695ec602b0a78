// make-device BOARD DIR: writes the device description of a board (see usage below) into DIR, anew.
// make-device N DIR: the same for N mounted sticks behind a hub on the EHCI's root port 1 (the benchmark's devices).
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "board.h"

static const char kUsage[] =
    "usage: make-device BOARD DIR | make-device N(0-26) DIR\n"
    "BOARD has a line per disk, in the order the kernel names them (sda, sdb, ...), \"#\" to the end of a line a\n"
    "comment:\n"
    "  CONNECTOR KIND SPEED VERSION MOUNT [SERIAL [IDVENDOR [IDPRODUCT [MODEL]]]]\n"
    "CONNECTOR as disk_ports names it: 1-PORT[.PORT...] on the EHCI, 2-... on the xHCI (a link at 5000 Mbit/s or\n"
    "more sits on its SuperSpeed bus 3), ataN; KIND stick, slot (a card reader's: its slots share one connector) or\n"
    "esata; SPEED in Mbit/s (1.5, 12, 480, 5000, 10000, 20000; 1500, 3000, 6000 for eSATA); VERSION the USB\n"
    "device's (2.00, 3.10; - for eSATA); MOUNT rw, ro or none; SERIAL (- for none), IDVENDOR, IDPRODUCT (four hex\n"
    "digits) and MODEL (the rest of the line) of the USB device.\n";

int main(int argc, char **argv)
{
    std::string source = argc == 3 ? argv[1] : "";
    bool count = !source.empty() && source.find_first_not_of("0123456789") == std::string::npos;
    int n = count && source.size() <= 2 ? std::stoi(source) : 27;
    if (argc != 3 || (count && n > 26)) {
        std::cerr << kUsage;
        return 2;
    }
    std::stringstream text;
    if (count) {
        for (int i = 0; i < n; i++) {
            char line[64];
            snprintf(line, sizeof line, "1-1.%d stick 480 %s rw BENCH%08d\n", i + 1, i % 2 ? "3.00" : "2.00", i);
            text << line;
        }
    } else {
        std::ifstream in(source);
        if (!in) {
            std::cerr << "make-device: cannot read " << source << "\n";
            return 2;
        }
        text << in.rdbuf();
    }
    Board board;
    std::string wrong = make_board(board, text, argv[2]);
    if (!wrong.empty()) {
        std::cerr << "make-device: " << source << ": " << wrong << "\n";
        return 2;
    }
    return 0;
}
