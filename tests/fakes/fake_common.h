// Helpers shared by the loadable test doubles: a line-based configuration file named by an
// environment variable, and an append-only call log that tests read back.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fake {

inline std::vector<std::string> Split(const std::string& s, char separator) {
    std::vector<std::string> out;
    std::string part;
    std::istringstream in(s);
    while (std::getline(in, part, separator)) out.push_back(part);
    if (!s.empty() && s.back() == separator) out.emplace_back();
    return out;
}

// Lines of the configuration file as (keyword, rest) pairs; '#' starts a comment line.
inline std::vector<std::pair<std::string, std::string>> ReadConfig(const char* envName) {
    std::vector<std::pair<std::string, std::string>> lines;
    const char* path = std::getenv(envName);
    if (!path) return lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const auto space = line.find(' ');
        if (space == std::string::npos)
            lines.emplace_back(line, "");
        else
            lines.emplace_back(line.substr(0, space), line.substr(space + 1));
    }
    return lines;
}

inline void Log(const std::string& path, const std::string& line) {
    if (path.empty()) return;
    if (FILE* f = std::fopen(path.c_str(), "a")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

inline unsigned long Number(const std::string& text) {
    return std::strtoul(text.c_str(), nullptr, 0);
}

inline std::vector<unsigned char> Hex(const std::string& text) {
    std::vector<unsigned char> out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(
            static_cast<unsigned char>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
    return out;
}

}  // namespace fake
