// The factory query library on a simulated device: the store, the radio and platform tools' answers and /tmp are
// the device's.

#include <gtest/gtest.h>

#include <string>

#include "on_device.h"
#include "util.h"

static void radio(const char *band, const char *status, const char *channel)
{
    tool_answer(std::string("radio/") + band + "/status", status);
    tool_answer(std::string("radio/") + band + "/channel", channel);
}

TEST(EnableAp, TheStatusLineMustBeginWithOn)
{
    struct Case {
        const char *status;
        int on;
    } cases[] = {
        {"ON\n", 1}, {"ON", 1}, {"ONLINE and more\n", 1}, {"OFF\n", 0}, {"", 0}, {nullptr, 0},
        {" ON\n", 0}, {"on\n", 0}, {"O\n", 0},
    };
    for (const Case &c : cases) {
        radio("11g", c.status, nullptr);
        radio("11a", "OFF\n", nullptr);
        EXPECT_EQ(enable_ap("bgn"), c.on) << (c.status ? c.status : "(nothing)");
        EXPECT_EQ(enable_ap("an"), 0);
        EXPECT_FALSE(exists("/tmp/enable_ap")) << "the scratch file goes in every case";
    }
    radio("11a", "ON\n", nullptr);
    EXPECT_EQ(enable_ap("xyz"), 1) << "any band but bgn is the 5 GHz radio";
}

TEST(WlFreqInfo, ReadsTheLeadingNumberAfterSpaces)
{
    struct Case {
        const char *line;
        int channel;
    } cases[] = {
        {"36\n", 36}, {" 36 \n", 36}, {"   149", 149}, {"11abc\n", 11}, {"\t6\n", 0}, {"", 0}, {"\n", 0},
        {"-5\n", 0}, {"x36\n", 0}, {"2147483647\n", 2147483647}, {"2147483648\n", 0}, {"99999999999999999999\n", 0},
        {nullptr, 0},
    };
    for (const Case &c : cases) {
        radio("11a", "ON\n", c.line);
        EXPECT_EQ(wl_freq_info("wla_"), c.channel) << (c.line ? c.line : "(nothing)");
        EXPECT_TRUE(exists("/tmp/wl_freq")) << "the scratch file stays";
    }
    radio("11g", "ON\n", "6\n");
    radio("11a", "ON\n", "44\n");
    EXPECT_EQ(wl_freq_info("wl_"), 6);
    EXPECT_EQ(wl_freq_info("wla"), 6) << "only wla_ itself is the 5 GHz radio";
    EXPECT_EQ(wl_freq_info("wla_"), 44);
}

TEST(WlChannel, FixedAndAutomaticTexts)
{
    struct Case {
        const char *mode, *hidden, *flag, *status, *channel, *text;
    } cases[] = {
        {"6", "6", "1", "ON\n", nullptr, "6(P) + 10(S)"},
        {"6", "7", "1", "ON\n", nullptr, "7(P) + 3(S)"},
        {"6", "7", "2", "ON\n", nullptr, "7(P) + 11(S)"},
        {"6", "8", "2", "ON\n", nullptr, "8(P) + 4(S)"},
        {"6", "4", "", "ON\n", nullptr, "4(P) + 8(S)"},
        {"6", "5", "0", "ON\n", nullptr, "5(P) + 1(S)"},
        {"3", "1", "3", "ON\n", nullptr, "1(P) + 5(S)"},
        {"5", "13", "1", "ON\n", nullptr, "13(P) + 9(S)"},
        {"6", "0", "", "ON\n", "11\n", "Auto ( 11(P)+7(S) )"},
        {"6", "", "1", "ON\n", " 6\n", "Auto ( 6(P)+10(S) )"},
        {"6", "0", "", "ON\n", nullptr, "--"},
        {"1", "0", "", "ON\n", nullptr, "--"},
        {"1", "0", "", "ON\n", "\t11\n", "--"},
        {"1", "0", "", "ON\n", "  3 \n", "Auto ( 3 )"},
        {"1", "11", "", "ON\n", "3\n", "11"},
        {"7", "9", "", "ON\n", nullptr, "9"},
        {"", "", "", "ON\n", "1\n", "Auto ( 1 )"},
        {"6", "6", "1", "OFF\n", "6\n", "--"},
        {"1", "11", "", "", "6\n", "--"},
        {"1", "99999999999", "", "ON\n", "4\n", "Auto ( 4 )"},
    };
    for (const Case &c : cases) {
        set_store(std::string("wl_simple_mode=") + c.mode + "\nwl_hidden_channel=" + c.hidden +
                  "\nhidden_channel_flag=" + c.flag + "\nwla_simple_mode=9\nwla_hidden_channel=36\n");
        radio("11g", c.status, c.channel);
        radio("11a", "ON\n", "100\n");
        EXPECT_STREQ(wl_channel(), c.text) << "mode " << c.mode << " channel " << c.hidden << " flag " << c.flag;
        EXPECT_FALSE(exists("/tmp/enable_ap"));
    }
}

TEST(WlaChannel, PairTableAndSingleChannels)
{
    struct Case {
        const char *mode, *hidden, *status, *channel, *text;
    } cases[] = {
        {"9", "149", "ON\n", nullptr, "149(P)+153(S)"},
        {"9", "165", "ON\n", nullptr, " -- "},
        {"9", "140", "ON\n", nullptr, " -- "},
        {"9", "144", "ON\n", nullptr, " -- "},
        {"7", "36", "ON\n", nullptr, "36(P)+40(S)"},
        {"7", "64", "ON\n", nullptr, "64(P)+60(S)"},
        {"8", "161", "ON\n", nullptr, "161(P)+157(S)"},
        {"8", "136", "ON\n", nullptr, "136(P)+132(S)"},
        {"8", "0", "ON\n", "44\n", "Auto ( 44(P)+48(S) )"},
        {"8", "", "ON\n", " 100 \n", "Auto ( 100(P)+104(S) )"},
        {"9", "0", "ON\n", "165\n", " -- "},
        {"9", "0", "ON\n", nullptr, " -- "},
        {"3", "100", "ON\n", nullptr, "100"},
        {"3", "165", "ON\n", nullptr, "165"},
        {"3", "0", "ON\n", "36\n", "Auto ( 36 )"},
        {"1", "0", "ON\n", "\t36\n", " -- "},
        {"", "", "ON\n", "149\n", "Auto ( 149 )"},
        {"9", "149", "OFF\n", "149\n", " -- "},
        {"3", "100", nullptr, "100\n", " -- "},
    };
    for (const Case &c : cases) {
        set_store(std::string("wla_simple_mode=") + c.mode + "\nwla_hidden_channel=" + c.hidden +
                  "\nwl_simple_mode=6\nwl_hidden_channel=6\n");
        radio("11a", c.status, c.channel);
        radio("11g", "ON\n", "6\n");
        EXPECT_STREQ(wla_channel(), c.text) << "mode " << c.mode << " channel " << c.hidden;
    }
}

TEST(WlMode, RateLabelsByModeAndModel)
{
    struct Case {
        const char *mode, *model, *label;
    } cases[] = {
        {"3", "", "Up to 450 Mbps"},        {"3", "TN5180m4", "Up to 600 Mbps"},
        {"5", "TN5180m4", "Up to 600 Mbps"}, {"6", "TN5180m4 ", "Up to 450 Mbps"},
        {"6", "TN2960", "Up to 450 Mbps"},   {"2", "TN5180m4", "Up to 289 Mbps"},
        {"7", "", "Up to 347 Mbps"},         {"8", "", "Up to 800 Mbps"},
        {"9", "", "Up to 1733 Mbps"},        {"9", "TN2960", "Up to 1300 Mbps"},
        {"9", "TN5180m4", "Up to 1733 Mbps"}, {"1", "", "Up to 54 Mbps"},
        {"", "", "Up to 54 Mbps"},           {"03", "", "Up to 54 Mbps"},
        {" 3", "", "Up to 54 Mbps"},         {"3 ", "", "Up to 54 Mbps"},
        {"10", "", "Up to 54 Mbps"},
    };
    for (const Case &c : cases) {
        set_store(std::string("wla_simple_mode=") + c.mode + "\ncgi_module_id=" + c.model + "\nwl_simple_mode=1\n");
        EXPECT_STREQ(wl_mode("wla_"), c.label) << "mode '" << c.mode << "' model '" << c.model << "'";
        EXPECT_STREQ(wl_mode("wl_"), "Up to 54 Mbps");
    }
    set_store("wla_simple_mode=8\n");
    EXPECT_STREQ(wl_mode("wl_"), "Up to 54 Mbps") << "wl_ reads only wl_simple_mode";
    EXPECT_STREQ(wl_mode("wla"), "Up to 54 Mbps");
}

TEST(WlCoexistAndStatus, ReadTheRadiosOwnKeys)
{
    struct Case {
        const char *store, *pre, *coexist;
        int status;
    } cases[] = {
        {"", "wl_", "enable", 0},
        {"wl_disablecoext=1\nendis_wl_radio=1\n", "wl_", "disable", 1},
        {"wl_disablecoext=0\nendis_wl_radio=0\n", "wl_", "enable", 0},
        {"wl_disablecoext=11\nendis_wl_radio=yes\n", "wl_", "enable", 0},
        {"wl_disablecoext=1\nendis_wl_radio=1\n", "wla_", "enable", 0},
        {"wla_disablecoext=1\nendis_wla_radio=1\n", "wla_", "disable", 1},
        {"wla_disablecoext=1\nendis_wla_radio=1\n", "WLA_", "enable", 0},
        {"wla_disablecoext=1\nendis_wla_radio=1\nwl_disablecoext=1\nendis_wl_radio=1\n", "", "disable", 1},
    };
    for (const Case &c : cases) {
        set_store(c.store);
        EXPECT_STREQ(wl_coexist(c.pre), c.coexist) << c.store << " " << c.pre;
        EXPECT_EQ(wl_status(c.pre), c.status) << c.store << " " << c.pre;
    }
}

TEST(Decoders, EveryEscapeFormAndCutEscapes)
{
    struct Case {
        const char *stored, *ssid, *passphrase;
    } cases[] = {
        {"plain text", "plain text", "plain text"},
        {"", "", ""},
        {"a\\\"b", "a\"b", "a\"b"},
        {"\\\\\\`", "`", "\\`"},
        {"\\\\\\\\", "\\", "\\\\"},
        {"\\xyz!", "\\!", "\\yz!"},
        {"\\`", "", "`"},
        {"\\$HOME", "\\ME", "\\HOME"},
        {"\\\\", "", "\\"},
        {"end\\", "end", "end"},
        {"end\\\\\\", "end", "end\\"},
        {"end\\ab", "end", "end\\b"},
        {"\\\"\\\"", "\"\"", "\"\""},
        {"x\\\\\\\"y", "x\\y", "x\\\"y"},
    };
    for (const Case &c : cases) {
        EXPECT_STREQ(sed_ssid_abg_items(c.stored), c.ssid) << c.stored;
        EXPECT_STREQ(sed_passphrase_abg_items(c.stored), c.passphrase) << c.stored;
    }
}

TEST(Decoders, OverlongInputIsCutToTheBuffer)
{
    std::string stored(40000, 'n');
    EXPECT_EQ(std::string(sed_ssid_abg_items(stored.c_str())), std::string(32767, 'n'));
    EXPECT_EQ(std::string(sed_passphrase_abg_items(stored.c_str())), std::string(32767, 'n'));
    std::string escaped;
    for (int i = 0; i < 20000; i++)
        escaped += "\\\"";
    EXPECT_EQ(std::string(sed_passphrase_abg_items(escaped.c_str())), std::string(20000, '"'));
}

TEST(Decoders, EachHasItsOwnBuffer)
{
    const char *ssid = sed_ssid_abg_items("one");
    const char *passphrase = sed_passphrase_abg_items("two");
    EXPECT_STREQ(ssid, "one");
    EXPECT_STREQ(passphrase, "two");
    EXPECT_EQ(sed_ssid_abg_items("three"), ssid);
}

TEST(SsidAbgMsg, DecodesAnyKeyAsANetworkName)
{
    set_store("wl_ssid=Lab \\\"5\\\" \\\\\\`x\\\\\\`\nwla_ssid=plain\n");
    EXPECT_STREQ(ssid_abg_msg("wl_ssid"), "Lab \"5\" `x`");
    EXPECT_STREQ(ssid_abg_msg("wla_ssid"), "plain");
    sed_ssid_abg_items("left over");
    EXPECT_STREQ(ssid_abg_msg("unset_key"), "") << "an unset key decodes nothing";
    EXPECT_STREQ(sed_ssid_abg_items(""), "") ;
}

TEST(Passphrase, EverySecurityTypeOnBothRadios)
{
    const std::string keys =
        "wl_key1=wep\\$key\nwl_wpa1_psk=wpa1\\`\nwl_wpa2_psk=wpa2\\\"\nwl_wpas_psk=mixed\\\\\n"
        "wl_radiusSecret=rad\\\"ius\\\\\\`\n"
        "wla_key1=a-wep\nwla_wpa1_psk=a-wpa1\nwla_wpa2_psk=a-wpa2\nwla_wpas_psk=a-mixed\nwla_radiusSecret=a\\\"rad\n";
    struct Case {
        const char *type, *bg, *ag;
    } cases[] = {
        {"1", "none", "none"},
        {"2", "wep\\key", "a-wep"},
        {"3", "wpa1`", "a-wpa1"},
        {"4", "wpa2\"", "a-wpa2"},
        {"5", "mixed\\", "a-mixed"},
        {"6", "rad\"ius`", "a\"rad"},
        {"7", "", ""},
        {"0", "", ""},
        {"", "", ""},
        {"4 ", "", ""},
    };
    for (const Case &c : cases) {
        set_store(keys + "wl_sectype=" + c.type + "\nwla_sectype=" + c.type + "\n");
        EXPECT_STREQ(passphrase_bg_msg(), c.bg) << "type " << c.type;
        EXPECT_STREQ(passphrase_ag_msg(), c.ag) << "type " << c.type;
    }
    for (const char *type : {"2", "3", "4", "5", "6"}) {
        set_store(std::string("wl_sectype=") + type + "\nwla_sectype=" + type + "\n");
        EXPECT_STREQ(passphrase_bg_msg(), "") << "type " << type << " with its key empty";
        EXPECT_STREQ(passphrase_ag_msg(), "") << "type " << type << " with its key empty";
    }
}

TEST(Passphrase, TheResultOutlivesLaterStoreCalls)
{
    set_store("wl_sectype=4\nwl_wpa2_psk=secret\n");
    const char *secret = passphrase_bg_msg();
    set_store("wl_sectype=4\nwl_wpa2_psk=other\n");
    passphrase_ag_msg();
    EXPECT_STREQ(secret, "secret");
}

TEST(FwRegion, FirstLineOrWW)
{
    struct Case {
        const char *content, *region;
    } cases[] = {
        {"US\n", "US"}, {"EU\r\n", "EU"}, {"", "WW"}, {"\n", "WW"}, {nullptr, "WW"}, {"NA\nEU\n", "NA"},
    };
    for (const Case &c : cases) {
        if (c.content)
            put_file("/tmp/firmware_region", c.content);
        else
            std::remove("/tmp/firmware_region");
        EXPECT_STREQ(fw_region(), c.region) << (c.content ? c.content : "(missing)");
    }
}

TEST(LanguageList, TheLineRulesAndTheScratchFile)
{
    struct Case {
        const char *answer, *list;
    } cases[] = {
        {"LANGUAGE: en,de,fr\n", "en,de,fr\n"},
        {"LANGUAGE\n", "en,de,fr\n"},           // 9 characters: the previous list stays
        {"LANGUAGE: ", "en,de,fr\n"},           // 10 characters at the end of the file
        {"", "en,de,fr\n"},                     // an empty answer
        {nullptr, "en,de,fr\n"},                // no answer at all
        {"language: xx\n", "en,de,fr\n"},       // not the tag
        {" LANGUAGE: xx\n", "en,de,fr\n"},
        {"LANGUAGE=|pt,es", "pt,es"},           // the two characters after the tag are not examined
        {"LANGUAGE: \n", "\n"},
        {"LANGUAGE: it\nLANGUAGE: xx\n", "it\n"},
    };
    for (const Case &c : cases) {
        tool_answer("artmtd/language", c.answer);
        EXPECT_STREQ(language_list(), c.list) << (c.answer ? c.answer : "(nothing)");
        EXPECT_FALSE(exists("/tmp/language_list")) << "the scratch file goes in every case";
    }
    std::string list(200, 'l');
    tool_answer("artmtd/language", ("LANGUAGE: " + list + "\n").c_str());
    EXPECT_EQ(std::string(language_list()), std::string(127, 'l')) << "a list too long for the buffer is cut";
}

// The sandbox has a network of its own, where an interface with any address can be made.
TEST(GetMac, TheKernelsAddressInUpperCaseHex)
{
    ASSERT_EQ(std::system("ip link add kv0 type veth peer name kv1 && ip link set kv0 address 0a:ff:00:1b:c2:d3 &&"
                          " ip link set kv1 address 00:00:00:00:00:01"),
              0);
    char eabuf[18] = "leftover";
    EXPECT_STREQ(get_mac("kv0", eabuf), "0A:FF:00:1B:C2:D3");
    EXPECT_STREQ(get_mac("kv1", eabuf), "00:00:00:00:00:01");
    EXPECT_STREQ(mac_addr("kv0"), "0A:FF:00:1B:C2:D3");

    struct Case {
        const char *ifname;
    } missing[] = {{"nosuch0"}, {""}, {"kv0\n"}, {"kv"}};
    for (const Case &c : missing) {
        EXPECT_STREQ(get_mac(c.ifname, eabuf), "") << c.ifname;
        EXPECT_STREQ(mac_addr(c.ifname), "----") << c.ifname;
    }
}

TEST(GetMac, ANameTooLongForTheRequestIsNotCutToAnotherInterface)
{
    // a 15-character name is the longest the kernel takes; cut to 16 bytes, the 16-character one would be it
    ASSERT_EQ(std::system("ip link add kvlongname01234 type veth peer name kv2 &&"
                          " ip link set kvlongname01234 address 02:00:00:00:00:ff"),
              0);
    char eabuf[18];
    EXPECT_STREQ(get_mac("kvlongname01234", eabuf), "02:00:00:00:00:FF");
    EXPECT_STREQ(get_mac("kvlongname01234X", eabuf), "");
    EXPECT_STREQ(mac_addr("kvlongname01234Xyz"), "----");
}

// Processes take turns with the scratch files through a lock on /tmp; a process that holds it may call operations
// that take it again.
TEST(ScratchLock, NestsWithinAProcessAndHoldsOthersOff)
{
    radio("11g", "ON\n", "6\n");
    const char *other = "flock -n /tmp true";  // another process that must not get the lock now
    scratch_lock();
    EXPECT_EQ(enable_ap("bgn"), 1);
    EXPECT_EQ(wl_freq_info("wl_"), 6);
    EXPECT_NE(std::system(other), 0) << "a nested operation let the lock go";
    scratch_unlock();
    EXPECT_EQ(std::system(other), 0) << "the lock outlived its holder";
}
