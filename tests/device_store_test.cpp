// The configuration store stand-in. Runs inside a simulated device, whose store file it rewrites.

#include <gtest/gtest.h>

#include <string>

#include "config.h"
#include "on_device.h"

TEST(Store, ReadsKeyValueLines)
{
    set_store("wl_ssid=Factory \"Net\"\n"
          "wl_key1=a=b=c\n"
          "wl_key=short\n"
          "spaces=  padded  \n"
          "cr=ends in cr\r\n"
          "empty=\n"
          "no equals sign\n"
          "=orphan value\n"
          "dup=first\n"
          "dup=last\n"
          "tail=no newline");
    struct Case {
        const char *key, *value;
    } cases[] = {
        {"wl_ssid", "Factory \"Net\""},
        {"wl_key1", "a=b=c"},
        {"wl_key", "short"},
        {"wl_ke", ""},
        {"spaces", "  padded  "},
        {"cr", "ends in cr\r"},
        {"empty", ""},
        {"no equals sign", ""},
        {"", ""},
        {"dup", "last"},
        {"tail", "no newline"},
        {"unset", ""},
        {"wl_key1=a", ""},
    };
    for (const Case &c : cases) {
        const char *value = config_get(c.key);
        ASSERT_NE(value, nullptr) << c.key;
        EXPECT_STREQ(value, c.value) << c.key;
        EXPECT_TRUE(config_match(c.key, c.value)) << c.key;
        EXPECT_FALSE(config_match(c.key, "something else")) << c.key;
    }
}

TEST(Store, AValueStaysValidAfterLaterCallsAndChanges)
{
    set_store("a=first\nb=other\n");
    const char *a = config_get("a");
    config_get("b");
    config_match("a", "first");
    set_store("a=second\n");
    EXPECT_STREQ(config_get("a"), "second");
    EXPECT_STREQ(a, "first");
    EXPECT_EQ(config_get("b")[0], '\0');
    set_store("a=first\n");
    EXPECT_EQ(config_get("a"), a) << "the same value is handed out again, not copied anew";
}

TEST(Store, LongValuesComeWhole)
{
    std::string secret(40000, 'k');
    secret[20000] = '\\';
    set_store("wl_radiusSecret=" + secret + "\n");
    EXPECT_EQ(std::string(config_get("wl_radiusSecret")), secret);
    EXPECT_TRUE(config_match("wl_radiusSecret", secret.c_str()));
}

TEST(Store, AnEmptyStoreHasNoValues)
{
    set_store("");
    EXPECT_STREQ(config_get("sata_diskname"), "");
    EXPECT_TRUE(config_match("sata_diskname", ""));
    EXPECT_FALSE(config_match("sata_diskname", "sdb"));
}
