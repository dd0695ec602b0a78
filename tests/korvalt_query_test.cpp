// korvalt-query run end to end: the library's operations as a test script on the device sees them.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_device.h"

TEST(KorvaltQuery, EveryOperationOnTheDemoDevice)
{
    struct Case {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"wl_channel"}, "6(P) + 10(S)\n"},
        {{"wla_channel"}, "Auto ( 44(P)+48(S) )\n"},
        {{"enable_ap", "bgn"}, "1\n"},
        {{"wl_freq_info", "wla_"}, "44\n"},
        {{"wl_freq_info", "wl_"}, "6\n"},
        {{"wl_mode", "wl_"}, "Up to 450 Mbps\n"},
        {{"wl_mode", "wla_"}, "Up to 1300 Mbps\n"},
        {{"wl_coexist", "wl_"}, "disable\n"},
        {{"wl_coexist", "wla_"}, "enable\n"},
        {{"wl_status", "wla_"}, "1\n"},
        {{"sed_ssid_abg_items", "a\\\"b\\\\\\`c"}, "a\"b`c\n"},
        {{"sed_passphrase_abg_items", "a\\\"b\\`c\\$"}, "a\"b`c\\\n"},
        {{"ssid_abg_msg", "wl_ssid"}, "Factory \"Lab\" `2G`\n"},
        {{"ssid_abg_msg", "no_such_key"}, "\n"},
        {{"passphrase_bg_msg"}, "pa\"ss`wo\\rd\n"},
        {{"passphrase_ag_msg"}, "r\"adius\\\n"},
        {{"get_mac", "lo"}, "00:00:00:00:00:00\n"},
        {{"mac_addr", "eth0"}, "----\n"},
        {{"fw_region"}, "NA\n"},
        {{"language_list"}, "en,de,fr,es,it\n"},
        {{"cat_file", "/tmp/usbdisknum"}, "5\n"},
        {{"cat_file", "/tmp/missing"}, "\n"},
    };
    for (const Case &c : cases) {
        Outcome r = run_demo("KorvaltQueryDemo", c.args, KORVALT_QUERY_BIN);
        EXPECT_EQ(r.status, 0) << c.args[0];
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(r.err, "") << c.args[0];
    }
}

TEST(KorvaltQuery, WrongUseGivesTheUsageAndStatus2)
{
    const std::vector<std::vector<std::string>> uses = {
        {}, {"nosuch"}, {"wl_channel", "extra"}, {"wl_mode"}, {"mac_addr", "eth0", "eth1"}, {"--help"}, {""},
    };
    for (const auto &args : uses) {
        Outcome r = run_demo("KorvaltQueryUsage", args, KORVALT_QUERY_BIN);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("usage: korvalt-query OPERATION [ARG], OPERATION one of: cat_file FILE,", 0), 0u) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line";
        for (const char *op : {"cat_file FILE", "wl_channel", "get_mac IFNAME", "language_list"})
            EXPECT_NE(r.err.find(op), std::string::npos) << op;
    }
}

TEST(KorvaltQuery, MacAddressOfAnInterfaceMadeOnTheDevice)
{
    SimDevice dev;
    Outcome r = dev.run_shell("ip link add k0 type veth peer name k1 && ip link set k0 address 0a:ff:00:11:22:33 &&"
                              " \"$@\" mac_addr k0 && \"$@\" get_mac k1x && \"$@\" mac_addr k1x",
                              KORVALT_QUERY_BIN);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0A:FF:00:11:22:33\n\n----\n");
}

TEST(KorvaltQuery, RadioOffAndSilentTools)
{
    SimDevice dev;
    dev.store("wl_simple_mode", "6");
    dev.store("wla_simple_mode", "9");
    dev.radio("11g", "OFF\n", "6\n");
    dev.radio("11a", "ON\n");
    struct Case {
        const char *op, *out, *stays, *goes;  // the scratch files left and removed in the device's /tmp
    } cases[] = {
        {"wl_channel", "--\n", nullptr, "enable_ap"},
        {"wla_channel", " -- \n", "wl_freq", "enable_ap"},
        {"language_list", "\n", nullptr, "language_list"},
        {"fw_region", "WW\n", nullptr, nullptr},
    };
    for (const Case &c : cases) {
        Outcome r = dev.run({c.op}, KORVALT_QUERY_BIN);
        EXPECT_EQ(r.out, c.out) << c.op;
        EXPECT_EQ(r.err, "") << c.op;
        if (c.stays)
            EXPECT_TRUE(dev.tmp_has(c.stays)) << c.op;
        if (c.goes)
            EXPECT_FALSE(dev.tmp_has(c.goes)) << c.op;
    }
}
