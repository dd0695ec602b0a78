// The first-line reader and the shell quoting helper.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "util.h"

namespace fs = std::filesystem;

static std::string scratch(const std::string &name, const std::string &content)
{
    fs::create_directories(std::string(WORK_ROOT) + "/unit");
    std::string path = std::string(WORK_ROOT) + "/unit/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

TEST(CatFile, GivesTheFirstLineWithoutItsLineEnd)
{
    struct Case {
        std::string content, line;
    } cases[] = {
        {"WW\n", "WW"},
        {"2\r\n", "2"},
        {"US\rEU\n", "US"},
        {"one\ntwo\n", "one"},
        {"no newline", "no newline"},
        {"", ""},
        {"\n", ""},
        {"\r\n", ""},
        {std::string("ab\0cd\n", 6), "ab"},
        {std::string(511, 'x') + "yz\n", std::string(511, 'x')},
        {std::string(510, 'x') + "\n", std::string(510, 'x')},
    };
    for (const Case &c : cases) {
        const char *text = cat_file(scratch("cat_file", c.content).c_str());
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::string(text), c.line) << c.content;
    }
}

TEST(CatFile, MissingAndUnreadableFilesGiveTheEmptyText)
{
    fs::create_directories(std::string(WORK_ROOT) + "/unit/a-folder");
    for (std::string path : {std::string(WORK_ROOT) + "/unit/missing", std::string(WORK_ROOT) + "/unit/a-folder"}) {
        cat_file(scratch("full", "full\n").c_str());
        const char *text = cat_file(path.c_str());
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, "") << path;
    }
}

TEST(CatFile, OneBufferServesEveryCall)
{
    const char *first = cat_file(scratch("first", "first\n").c_str());
    const char *second = cat_file(scratch("second", "second\n").c_str());
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "second");
}

static std::string shell_echo(const char *quoted)
{
    std::string cmd = std::string("printf '%s' ") + quoted;
    FILE *p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

// What the shell makes of the quoted word must be the word itself, as one argument. The payloads only print, so
// a broken quote shows as a different output and does no harm.
TEST(ShellQuote, TheShellGetsBackExactlyTheWord)
{
    const std::string words[] = {
        "",
        "plain",
        "AB CD",
        "'",
        "''",
        "X';echo INJECTED;'",
        "$(echo INJECTED)",
        "`echo INJECTED`",
        "${HOME}",
        "$IFS",
        "\"quoted\"",
        "back\\slash\\",
        "-v",
        "--help",
        "a;b|c&d>e<f",
        "*",
        "[a-z]?",
        "~root",
        "#comment",
        "line\nbreak",
        "tab\there",
        "!event",
        std::string(112, '\''),
        "\x01\x7f\xff",
    };
    for (const std::string &word : words) {
        char quoted[SHELL_QUOTED_SIZE(120)];
        int n = shell_quote(quoted, sizeof quoted, word.c_str());
        ASSERT_GE(n, 0) << word;
        EXPECT_EQ((size_t)n, strlen(quoted));
        EXPECT_EQ(quoted[0], '\'') << "a word that begins with a dash must not reach a command as an option";
        EXPECT_EQ(shell_echo(quoted), word) << quoted;
        // one word: printf prints every further argument again through its format
        EXPECT_EQ(shell_echo((std::string(quoted) + " ").c_str()), word) << quoted;
    }
}

TEST(ShellQuote, AWordThatDoesNotFitIsRefusedNotCut)
{
    char out[8];
    EXPECT_EQ(shell_quote(out, sizeof out, "abcde"), 7);
    EXPECT_STREQ(out, "'abcde'");
    EXPECT_EQ(shell_quote(out, sizeof out, "abcdef"), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(shell_quote(out, sizeof out, "a'b"), -1);  // 'a'\''b' needs 9 bytes
    EXPECT_STREQ(out, "");
    EXPECT_EQ(shell_quote(out, 0, "a"), -1);

    std::string worst(100, '\'');
    std::string room(SHELL_QUOTED_SIZE(100), '#');
    EXPECT_EQ(shell_quote(room.data(), room.size(), worst.c_str()), SHELL_QUOTED_SIZE(100) - 1);
}
