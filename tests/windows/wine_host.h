// A Windows program run under Wine with frames on its standard input, for the tests of this folder.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

#include "host_process.h"

namespace winetest {

// Whether program (a Windows .exe) is built for x86-64: its PE header's machine field is 0x8664.
// scripts/windows-test runs a 64-bit build where Wine has no 32-bit loader.
inline bool is_64bit_program(const std::string& program) {
    std::ifstream in(program, std::ios::binary);
    uint8_t at[4] = {};
    in.seekg(0x3C);
    in.read(reinterpret_cast<char*>(at), 4);
    uint8_t machine[2] = {};
    in.seekg(at[0] | at[1] << 8 | at[2] << 16 | static_cast<uint32_t>(at[3]) << 24);
    in.seekg(4, std::ios::cur);
    in.read(reinterpret_cast<char*>(machine), 2);
    return in && (machine[0] | machine[1] << 8) == 0x8664;
}

// The options that run program (a Windows .exe) under Wine, its debug channels quiet.
inline hosttest::HostOptions wine_options(const std::string& program) {
    hosttest::HostOptions o;
    o.program = "/usr/bin/wine";
    o.args = {program};
    o.env["WINEDEBUG"] = "-all";
    o.limit = std::chrono::milliseconds(60000);
    return o;
}

}  // namespace winetest
