// korvalt-query: one factory query library operation from the shell.
//
// Usage: korvalt-query OPERATION [ARG]
//
// Prints the operation's text, or its number for enable_ap, wl_freq_info and wl_status, and a newline unless the
// text ends in one already; disk_ports its lines, or nothing when there is no disk. config_get KEY prints a store
// value as stored, escapes and all, and a newline; config_keys the store keys that korvalt and the library read, one
// a line, each secret one followed by " secret". An unknown operation or a wrong number of arguments prints the usage
// to standard error and exits with status 2; a text that cannot be written to standard output exits with status 1.

#include <stdio.h>
#include <string.h>

#include "config.h"
#include "util.h"

static void text(const char *t)
{
    size_t len = strlen(t);
    fputs(t, stdout);
    if (len == 0 || t[len - 1] != '\n')
        putchar('\n');
}

static void number(int n)
{
    printf("%d\n", n);
}

static void store_keys()
{
    int secret = 0;
    for (int i = 0; const char *key = config_key(i, &secret); i++)
        printf(secret ? "%s secret\n" : "%s\n", key);
}

struct Operation {
    const char *name;
    const char *arg;  // what the one argument is, or null for none
    void (*print)(const char *arg);
};

static constexpr Operation kOperations[] = {
    {"cat_file", "FILE", [](const char *a) { text(cat_file(a)); }},
    {"enable_ap", "BAND", [](const char *a) { number(enable_ap(a)); }},
    {"wl_freq_info", "PREFIX", [](const char *a) { number(wl_freq_info(a)); }},
    {"wl_channel", nullptr, [](const char *) { text(wl_channel()); }},
    {"wla_channel", nullptr, [](const char *) { text(wla_channel()); }},
    {"wl_mode", "PREFIX", [](const char *a) { text(wl_mode(a)); }},
    {"wl_coexist", "PREFIX", [](const char *a) { text(wl_coexist(a)); }},
    {"wl_status", "PREFIX", [](const char *a) { number(wl_status(a)); }},
    {"sed_ssid_abg_items", "TEXT", [](const char *a) { text(sed_ssid_abg_items(a)); }},
    {"sed_passphrase_abg_items", "TEXT", [](const char *a) { text(sed_passphrase_abg_items(a)); }},
    {"ssid_abg_msg", "KEY", [](const char *a) { text(ssid_abg_msg(a)); }},
    {"passphrase_bg_msg", nullptr, [](const char *) { text(passphrase_bg_msg()); }},
    {"passphrase_ag_msg", nullptr, [](const char *) { text(passphrase_ag_msg()); }},
    {"get_mac", "IFNAME", [](const char *a) {
         char eabuf[18];
         text(get_mac(a, eabuf));
     }},
    {"mac_addr", "IFNAME", [](const char *a) { text(mac_addr(a)); }},
    {"fw_region", nullptr, [](const char *) { text(fw_region()); }},
    {"language_list", nullptr, [](const char *) { text(language_list()); }},
    {"disk_ports", nullptr, [](const char *) { fputs(disk_ports(), stdout); }},
    {"config_get", "KEY", [](const char *a) { printf("%s\n", config_get(a)); }},
    {"config_keys", nullptr, [](const char *) { store_keys(); }},
};

static int usage()
{
    fputs("usage: korvalt-query OPERATION [ARG], OPERATION one of:", stderr);
    const char *sep = " ";
    for (const Operation &op : kOperations) {
        fprintf(stderr, op.arg ? "%s%s %s" : "%s%s", sep, op.name, op.arg);
        sep = ", ";
    }
    fputs("\n", stderr);
    return 2;
}

int main(int argc, char **argv)
{
    for (const Operation &op : kOperations) {
        if (argc < 2 || strcmp(argv[1], op.name) != 0)
            continue;
        if (argc != (op.arg ? 3 : 2))
            return usage();
        op.print(op.arg ? argv[2] : nullptr);
        return fflush(stdout) != 0 || ferror(stdout) ? 1 : 0;
    }
    return usage();
}
