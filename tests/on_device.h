// For tests that run inside a simulated device (sim/korvalt-sim ... -- device_test): set what the device's store,
// tools and files hold.
#ifndef KORVALT_TESTS_ON_DEVICE_H
#define KORVALT_TESTS_ON_DEVICE_H

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

inline void put_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out)
        std::abort();
}

inline void set_store(const std::string &lines)
{
    put_file("/var/config/store", lines);
}

// What a stand-in tool prints for the device: path relative to the description (radio/11g/status,
// artmtd/language). A null text makes the tool print nothing.
inline void tool_answer(const std::string &path, const char *text)
{
    std::string full = std::string(std::getenv("KORVALT_SIM_DEVICE")) + "/" + path;
    if (text) {
        std::filesystem::create_directories(std::filesystem::path(full).parent_path());
        put_file(full, text);
    } else {
        std::remove(full.c_str());
    }
}

inline bool exists(const std::string &path)
{
    return std::ifstream(path).good();
}

#endif
