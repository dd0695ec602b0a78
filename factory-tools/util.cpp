// The factory query library.

#include "util.h"

#include <limits.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "config.h"
#include "trust.h"

// The reader for status files: its one shared buffer and its cut at the line end are what the library's callers
// know (read_first_line keeps the line end and fills the caller's buffer; read_line reads a file line by line).
const char *cat_file(const char *name)
{
    static char buf[512];

    buf[0] = '\0';
    FILE *fp = open_for_reading(name);
    if (!fp)
        return buf;
    if (!fgets(buf, sizeof buf, fp))
        buf[0] = '\0';
    fclose(fp);
    buf[strcspn(buf, "\r\n")] = '\0';
    return buf;
}

static void copy_text(char *dst, size_t size, const char *src)
{
    size_t n = strnlen(src, size - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

// An int from a configuration value, as atoi reads it; a number too large for an int reads as 0.
static int config_int(const char *key)
{
    long long value = strtoll(config_get(key), nullptr, 10);
    return value < INT_MIN || value > INT_MAX ? 0 : (int)value;
}

static bool is_5ghz(const char *pre)
{
    return strcmp(pre, "wla_") == 0;
}

// A tool's first line, left in a scratch file by a shell redirect, line end and all, into the caller's buffer: the
// radio and language texts must not take cat_file's shared one from under korvalt's callers. false when there is no
// line to read.
static bool read_first_line(const char *path, char *line, size_t size)
{
    FILE *fp = open_for_reading(path);
    if (!fp)
        return false;
    bool got = fgets(line, (int)size, fp) != nullptr;
    fclose(fp);
    return got;
}

// Radio state and channels

int enable_ap(const char *band)
{
    const Scratch &status = strcmp(band, "bgn") == 0 ? kStatus11gScratch : kStatus11aScratch;
    char line[128];

    scratch_lock();
    bool on = run_into(status.command, status.file) && read_first_line(status.file, line, sizeof line) &&
              strncmp(line, "ON", 2) == 0;
    unlink(status.file);
    scratch_unlock();
    return on ? 1 : 0;
}

// "  36" gives 36. Only spaces may lead; anything else, or a number too large for an int, gives 0.
static int channel_from_line(const char *line)
{
    while (*line == ' ')
        line++;
    int value = 0;
    for (; *line >= '0' && *line <= '9'; line++) {
        int digit = *line - '0';
        if (value > (INT_MAX - digit) / 10)
            return 0;
        value = value * 10 + digit;
    }
    return value;
}

int wl_freq_info(const char *pre)
{
    char cmd[256];
    char line[256];

    snprintf(cmd, sizeof cmd, kChannelScratch.command, is_5ghz(pre) ? "11a" : "11g");
    scratch_lock();
    // the scratch file stays for whoever looks next
    int channel = run_into(cmd, kChannelScratch.file) && read_first_line(kChannelScratch.file, line, sizeof line)
                      ? channel_from_line(line)
                      : 0;
    scratch_unlock();
    return channel;
}

// The 2.4 GHz secondary channel lies 4 above a primary below the threshold, 4 below otherwise.
static int secondary_24ghz(int primary)
{
    int threshold = config_match("hidden_channel_flag", "1") ? 7 : config_match("hidden_channel_flag", "2") ? 8 : 5;
    return primary < threshold ? primary + 4 : primary - 4;
}

static bool reports_two_channels_24ghz(int mode)
{
    return mode == 3 || mode == 5 || mode == 6;
}

const char *wl_channel(void)
{
    static char result[128];

    int mode = config_int("wl_simple_mode");
    int channel = config_int("wl_hidden_channel");  // 0: chosen by the radio
    int c = 0;
    if (enable_ap("bgn") != 1)
        snprintf(result, sizeof result, "--");
    else if (channel != 0 && reports_two_channels_24ghz(mode))
        snprintf(result, sizeof result, "%d(P) + %d(S)", channel, secondary_24ghz(channel));
    else if (channel != 0)
        snprintf(result, sizeof result, "%d", channel);
    else if ((c = wl_freq_info("wl_")) == 0)
        snprintf(result, sizeof result, "--");
    else if (reports_two_channels_24ghz(mode))
        snprintf(result, sizeof result, "Auto ( %d(P)+%d(S) )", c, secondary_24ghz(c));
    else
        snprintf(result, sizeof result, "Auto ( %d )", c);
    return result;
}

// The 5 GHz 40 MHz channel pairs: primary and secondary. A channel without a row has no pair.
struct ChannelPair {
    int primary;
    int secondary;
};

static constexpr ChannelPair kChannelPairs[] = {
    {36, 40},   {40, 36},   {44, 48},   {48, 44},   {52, 56},   {56, 52},   {60, 64},   {64, 60},
    {100, 104}, {104, 100}, {108, 112}, {112, 108}, {116, 120}, {120, 116}, {124, 128}, {128, 124},
    {132, 136}, {136, 132}, {149, 153}, {153, 149}, {157, 161}, {161, 157},
};

static const ChannelPair *channel_pair(int primary)
{
    for (const ChannelPair &pair : kChannelPairs)
        if (pair.primary == primary)
            return &pair;
    return nullptr;
}

const char *wla_channel(void)
{
    static char buf[512];
    static const char kNone[] = " -- ";

    int mode = config_int("wla_simple_mode");
    int channel = config_int("wla_hidden_channel");  // 0: chosen by the radio
    bool paired = mode == 7 || mode == 8 || mode == 9;
    if (enable_ap("an") != 1) {
        copy_text(buf, sizeof buf, kNone);
        return buf;
    }
    int c = channel != 0 ? channel : wl_freq_info("wla_");
    const ChannelPair *pair = channel_pair(c);
    if (c == 0 || (paired && !pair))
        copy_text(buf, sizeof buf, kNone);
    else if (paired)
        snprintf(buf, sizeof buf, channel ? "%d(P)+%d(S)" : "Auto ( %d(P)+%d(S) )", pair->primary, pair->secondary);
    else
        snprintf(buf, sizeof buf, channel ? "%d" : "Auto ( %d )", c);
    return buf;
}

// Configured radio settings

// The highest link rate of each wireless mode. Some models reach a higher one in the same mode.
struct RateLabel {
    const char *mode;
    const char *label;
    const char *model;        // the model with the higher rate, or null
    const char *model_label;
};

static constexpr RateLabel kRateLabels[] = {
    {"3", "Up to 450 Mbps", "TN5180m4", "Up to 600 Mbps"},
    {"5", "Up to 450 Mbps", "TN5180m4", "Up to 600 Mbps"},
    {"6", "Up to 450 Mbps", "TN5180m4", "Up to 600 Mbps"},
    {"2", "Up to 289 Mbps", nullptr, nullptr},
    {"7", "Up to 347 Mbps", nullptr, nullptr},
    {"8", "Up to 800 Mbps", nullptr, nullptr},
    {"9", "Up to 1733 Mbps", "TN2960", "Up to 1300 Mbps"},
};

const char *wl_mode(const char *argv)
{
    const char *mode = config_get(is_5ghz(argv) ? "wla_simple_mode" : "wl_simple_mode");
    for (const RateLabel &row : kRateLabels) {
        if (strcmp(mode, row.mode) != 0)
            continue;
        return row.model && config_match("cgi_module_id", row.model) ? row.model_label : row.label;
    }
    return "Up to 54 Mbps";
}

const char *wl_coexist(const char *argv)
{
    return config_match(is_5ghz(argv) ? "wla_disablecoext" : "wl_disablecoext", "1") ? "disable" : "enable";
}

int wl_status(const char *argv)
{
    return config_match(is_5ghz(argv) ? "endis_wla_radio" : "endis_wl_radio", "1") ? 1 : 0;
}

// Network names and pass phrases

// The store escapes a double quote, a backtick and a backslash with a backslash. The two decoders differ in how
// long an escape is. Both stop at the end of their input: an escape cut short there appends nothing. A decoded
// text is never longer than its input; one longer than the buffer is cut.

// A network name escape is a backslash and a double quote, or a backslash and three more characters, the last of
// which tells a backtick from a backslash (\\\` is a backtick, \\\\ a backslash).
const char *sed_ssid_abg_items(const char *sed)
{
    static char buf[32768];
    size_t n = 0;

    for (const char *p = sed ? sed : ""; *p && n + 1 < sizeof buf;) {
        if (*p != '\\') {
            buf[n++] = *p++;
        } else if (p[1] == '"') {
            buf[n++] = '"';
            p += 2;
        } else if (p[1] && p[2] && p[3]) {
            buf[n++] = p[3] == '`' ? '`' : '\\';
            p += 4;
        } else {
            break;
        }
    }
    buf[n] = '\0';
    return buf;
}

// A pass phrase escape is a backslash and one character: a double quote or a backtick stands for itself, anything
// else for a backslash.
const char *sed_passphrase_abg_items(const char *sed)
{
    static char buf[32768];
    size_t n = 0;

    for (const char *p = sed ? sed : ""; *p && n + 1 < sizeof buf;) {
        if (*p != '\\') {
            buf[n++] = *p++;
        } else if (p[1]) {
            buf[n++] = p[1] == '"' || p[1] == '`' ? p[1] : '\\';
            p += 2;
        } else {
            break;
        }
    }
    buf[n] = '\0';
    return buf;
}

const char *ssid_abg_msg(const char *argv)
{
    const char *value = config_get(argv);
    return value[0] ? sed_ssid_abg_items(value) : value;
}

// What each security type gives back: no secret for an open network, otherwise the secret under the radio's key
// for the type. The radius secret is stored like a network name.
struct SecurityType {
    const char *type;
    const char *wl_key;   // 2.4 GHz radio; null: nothing to give but "none"
    const char *wla_key;  // 5 GHz radio
    const char *(*decode)(const char *);
};

static constexpr SecurityType kSecurityTypes[] = {
    {"1", nullptr, nullptr, nullptr},
    {"2", "wl_key1", "wla_key1", sed_passphrase_abg_items},
    {"3", "wl_wpa1_psk", "wla_wpa1_psk", sed_passphrase_abg_items},
    {"4", "wl_wpa2_psk", "wla_wpa2_psk", sed_passphrase_abg_items},
    {"5", "wl_wpas_psk", "wla_wpas_psk", sed_passphrase_abg_items},
    {"6", "wl_radiusSecret", "wla_radiusSecret", sed_ssid_abg_items},
};

// An unknown security type has no secret: the empty text.
static const char *passphrase_msg(const char *pre)
{
    bool a = is_5ghz(pre);
    for (const SecurityType &row : kSecurityTypes) {
        if (!config_match(a ? "wla_sectype" : "wl_sectype", row.type))
            continue;
        if (!row.decode)
            return "none";
        const char *value = config_get(a ? row.wla_key : row.wl_key);
        return value[0] ? row.decode(value) : value;
    }
    return "";
}

// The store keys that korvalt and the library read, and the network names that callers ask ssid_abg_msg for.
// The secret ones, which a capture of a unit leaves out unless asked, are the security types' keys above.
static constexpr const char *kStoreKeys[] = {
    "sata_diskname",  "cgi_module_id",   "hidden_channel_flag", "wl_simple_mode",     "wla_simple_mode",
    "wl_hidden_channel", "wla_hidden_channel", "wl_disablecoext", "wla_disablecoext", "endis_wl_radio",
    "endis_wla_radio", "wl_ssid",        "wla_ssid",            "wl_sectype",         "wla_sectype",
};

const char *config_key(int index, int *secret)
{
    constexpr int kOpen = sizeof kStoreKeys / sizeof *kStoreKeys;
    *secret = index >= kOpen;
    if (index < kOpen)
        return index >= 0 ? kStoreKeys[index] : nullptr;
    index -= kOpen;
    for (int radio = 0; radio < 2; radio++)
        for (const SecurityType &row : kSecurityTypes)
            if (row.wl_key && index-- == 0)
                return radio ? row.wla_key : row.wl_key;
    return nullptr;
}

const char *passphrase_bg_msg(void)
{
    return passphrase_msg("wl_");
}

const char *passphrase_ag_msg(void)
{
    return passphrase_msg("wla_");
}

// Device identity

// Six bytes as upper-case hexadecimal pairs joined by colons: 00:11:22:AA:BB:CC.
static void ether_etoa(const unsigned char *e, char *a)
{
    static const char hex[] = "0123456789ABCDEF";
    for (int i = 0; i < 6; i++) {
        *a++ = hex[e[i] >> 4];
        *a++ = hex[e[i] & 0x0f];
        *a++ = ':';
    }
    a[-1] = '\0';
}

// A name that does not fit the request with its terminator is refused: cut short, it would name another interface.
char *get_mac(const char *ifname, char *eabuf)
{
    eabuf[0] = '\0';
    size_t len = strnlen(ifname, IFNAMSIZ);
    if (len >= IFNAMSIZ)
        return eabuf;
    int s = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    if (s < 0)
        return eabuf;
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    memcpy(ifr.ifr_name, ifname, len);
    if (ioctl(s, SIOCGIFHWADDR, &ifr) == 0)
        ether_etoa((const unsigned char *)ifr.ifr_hwaddr.sa_data, eabuf);
    close(s);
    return eabuf;
}

const char *mac_addr(const char *ifname)
{
    static char eabuf[18];
    return get_mac(ifname, eabuf)[0] ? eabuf : "----";
}

const char *fw_region(void)
{
    const char *region = cat_file("/tmp/firmware_region");
    return region[0] ? region : "WW";
}

// "LANGUAGE: en,de,fr\n" gives "en,de,fr\n": the tag and the two characters after it go, the line end stays. A
// line with nothing after them leaves buf as it was; a list longer than the buffer is cut.
static void take_language(const char *line, char *buf, size_t size)
{
    if (strncmp(line, "LANGUAGE", 8) == 0 && line[8] && line[9] && line[10])
        copy_text(buf, size, line + 10);
}

// The list stays from one call to the next, for when the tool has nothing to say.
const char *language_list(void)
{
    static char buf[128];
    char line[256];

    scratch_lock();
    if (run_into(kLanguageScratch.command, kLanguageScratch.file) &&
        read_first_line(kLanguageScratch.file, line, sizeof line))
        take_language(line, buf, sizeof buf);
    unlink(kLanguageScratch.file);
    scratch_unlock();
    return buf;
}
