#include "sim_device.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;

std::string figures_masked(const std::string &text)
{
    static const std::regex line("(\\S+ \\S+ \\S+ \\S+ )(\\S+) (\\S+)( pass| extra| fail:\\S+)"),
        figure("[0-9]+\\.[0-9]"), rate("at [0-9]+\\.[0-9] MB/s"),
        json("(\"(write|read|seconds)\":)[0-9]+\\.[0-9]");
    std::istringstream lines(text);
    std::string masked;
    std::smatch m;
    for (std::string l; std::getline(lines, l);) {
        auto mask = [](const std::string &field) { return std::regex_match(field, figure) ? "#.#" : field; };
        if (std::regex_match(l, m, line))
            l = m.str(1) + mask(m.str(2)) + " " + mask(m.str(3)) + m.str(4);
        masked += std::regex_replace(std::regex_replace(l, rate, "at #.# MB/s"), json, "$1#.#") + "\n";
    }
    return masked;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

static std::string quote(const std::string &word)
{
    std::string q = "'";
    for (char c : word)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

static std::string test_name()
{
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char &c : name)
        if (c == '/')
            c = '_';
    return name;
}

std::vector<std::string> command_of(const std::string &program)
{
    std::vector<std::string> words;
    if (program == KORVALT_BIN || program == KORVALT_QUERY_BIN || program == KORVALT_PORTS_BIN) {
        std::istringstream runner(KORVALT_RUNNER);
        for (std::string w; runner >> w;)
            words.push_back(w);
    }
    words.push_back(program);
    return words;
}

// Runs program on the description dir, with WORK under root; the sandbox's status and both outputs come back.
static Outcome run_in_sandbox(const std::string &dir, const std::string &root, const std::string &program,
                          const std::vector<std::string> &args)
{
    std::string cmd = "KORVALT_SIM_USERLAND=" KORVALT_USERLAND " " + quote(SIM_LAUNCHER) + " " + quote(dir) + " " +
                      quote(root + "/run") + " --";
    for (const auto &w : command_of(program))
        cmd += " " + quote(w);
    for (const auto &a : args)
        cmd += " " + quote(a);
    cmd += " >" + quote(root + "/stdout") + " 2>" + quote(root + "/stderr");
    int status = std::system(cmd.c_str());
    Outcome r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = read_file(root + "/stdout");
    r.err = read_file(root + "/stderr");
    if (r.status == 125)
        ADD_FAILURE() << "the sandbox did not start: " << r.err;
    return r;
}

SimDevice::SimDevice(std::string name)
{
    root_ = std::string(WORK_ROOT) + "/" + (name.empty() ? test_name() : name);
    fs::remove_all(root_);
    start_board(board_, root_ + "/device");
}

void SimDevice::write(const std::string &path, const std::string &text)
{
    put_file(board_, path, text, true);
}

void SimDevice::add(const Disk &disk)
{
    std::string wrong = add_disk(board_, disk);
    if (!wrong.empty())
        ADD_FAILURE() << wrong;
}

void SimDevice::store(const std::string &key, const std::string &value)
{
    board_.store += key + "=" + value + "\n";
}

void SimDevice::radio(const std::string &band, const char *status, const char *channel)
{
    if (status)
        write("radio/" + band + "/status", status);
    if (channel)
        write("radio/" + band + "/channel", channel);
}

Outcome SimDevice::run(const std::vector<std::string> &args, const std::string &program)
{
    write_lists(board_);
    return run_in_sandbox(board_.dir, root_, program, args);
}

Outcome SimDevice::run_shell(const std::string &script, const std::string &program,
                             const std::vector<std::string> &args)
{
    std::vector<std::string> words = {"-c", script, "sh"};
    for (const std::string &word : command_of(program))
        words.push_back(word);
    words.insert(words.end(), args.begin(), args.end());
    return run(words, "/bin/sh");
}

std::string SimDevice::tmp(const std::string &name) const
{
    return read_file(tmp_path(name));
}

bool SimDevice::tmp_has(const std::string &name) const
{
    return fs::exists(tmp_path(name));
}

std::set<std::string> SimDevice::tmp_entries() const
{
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(root_ + "/run/tmp"))
        names.insert(e.path().filename().string());
    return names;
}

Outcome run_description(const std::string &dir, const std::string &work_name, const std::vector<std::string> &args,
                        const std::string &program)
{
    std::string root = std::string(WORK_ROOT) + "/" + work_name;
    fs::remove_all(root);
    fs::create_directories(root);
    return run_in_sandbox(dir, root, program, args);
}

Outcome run_demo(const std::string &work_name, const std::vector<std::string> &args, const std::string &program)
{
    return run_description(DEMO_DEVICE, work_name, args, program);
}

// Every file, folder and link below dir by relative path, with what it holds.
static std::map<std::string, std::string> tree(const std::string &dir)
{
    std::map<std::string, std::string> entries;
    if (!fs::exists(dir))
        return entries;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
        std::string rel = fs::relative(it->path(), dir).string();
        if (it->is_symlink())
            entries[rel] = "link " + fs::read_symlink(it->path()).string();
        else if (it->is_directory())
            entries[rel] = "folder";
        else
            entries[rel] = read_file(it->path().string());
    }
    return entries;
}

std::vector<std::string> SimDevice::changed_outside_tmp() const
{
    std::vector<std::string> changed;
    for (const char *part : {"proc", "sys", "radio", "artmtd"}) {
        auto before = tree(board_.dir + "/" + part);
        auto after = tree(root_ + "/run/" + part);
        // the sandbox's own way to the real procfs, for the sanitizers
        for (const char *own : {".real", "self", "thread-self"})
            if (std::string(part) == "proc")
                after.erase(own);
        // the sandbox numbers a mounted partition as the folders of its /mnt are numbered
        for (const auto &[path, content] : after)
            if (!before.count(path) || (before[path] != content && before[path].rfind("@mnt", 0) != 0))
                changed.push_back(std::string(part) + "/" + path);
        for (const auto &[path, content] : before)
            if (!after.count(path))
                changed.push_back(std::string(part) + "/" + path + " (gone)");
    }
    for (const char *file : {"df", "store"})
        if (read_file(board_.dir + "/" + file) != read_file(root_ + "/run/" + file))
            changed.push_back(file);
    return changed;
}
