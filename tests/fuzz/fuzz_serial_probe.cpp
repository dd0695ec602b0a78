// The serial probe's reading of the SCSI listing and of the usb-storage file, and the version lookup built from
// whatever serial line it finds.

#include <stdint.h>
#include <string.h>

#include <string>

#include "fuzz.h"

#define main korvalt_main
#include "usb.cpp"
#undef main

// The word the shell makes of a single-quoted text: 'a'\''b' is a'b.
static std::string unquote(const std::string &q)
{
    std::string word;
    bool quoted = false;
    for (size_t i = 0; i < q.size(); i++) {
        if (q[i] == '\'')
            quoted = !quoted;
        else if (quoted)
            word += q[i];
        else if (q[i] == '\\' && i + 1 < q.size() && q[i + 1] == '\'')
            word += q[++i];
        else
            CHECK(!"nothing but escaped quotes outside the quotes");
    }
    CHECK(!quoted);
    return word;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *fp = open_input(data, size);
    if (!fp)
        return 0;
    char line[128];
    if (read_line(fp, line, sizeof line)) {
        const char *host = host_of_listing(line);
        if (host) {
            CHECK(strlen(host) <= 15 && host[0]);
            CHECK(!strpbrk(host, ":\n"));
        }
    }
    fclose(fp);

    fp = open_input(data, size);
    char serial[kSerialSize] = "", listed_serial[kListedLineSize] = "";
    read_serial(fp, serial, sizeof serial, listed_serial);
    fclose(fp);
    size_t n = strlen(serial);
    CHECK(n < kSerialSize - kSerialPrefix.size());
    CHECK(!strpbrk(serial, "\r\n"));
    if (n)
        CHECK(!is_blank(serial[0]) && !is_blank(serial[n - 1]));

    // the device list line: its prefix and at most 100 bytes of the serial string, on one line
    std::string listed = listed_serial;
    if (!listed.empty()) {
        CHECK(listed.rfind("S:  SerialNumber=", 0) == 0);
        CHECK(listed.size() <= 17 + 100);
        CHECK(listed.find('\n') == std::string::npos);
    }

    char cmd[kLookupSize];
    CHECK(format_version_lookup(cmd, serial, listed_serial) == (n > 0 && !listed.empty()));
    if (n && !listed.empty()) {
        // the fixed text around one quoted word, which the shell turns back into the serial line
        static const std::string head =
            "/bin/cat /proc/bus/usb/devices | /bin/grep \"Driver=usb-storage\" -B6 | /bin/grep -x -F -e ";
        static const std::string tail = " -B4 | /bin/grep \"Ver\" | awk '{print $3}' > /tmp/disk_version";
        std::string command = cmd;
        CHECK(command.size() > head.size() + tail.size());
        CHECK(command.compare(0, head.size(), head) == 0);
        CHECK(command.compare(command.size() - tail.size(), tail.size(), tail) == 0);
        CHECK(unquote(command.substr(head.size(), command.size() - head.size() - tail.size())) == listed);
    }
    return 0;
}
