#pragma once

#include <cstdio>
#include <memory>
#include <string>

// Standard output of a shell command (test helper for secret-tool).
inline std::string shellOutput(const std::string& command) {
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string output;
    char buffer[4096];
    std::size_t n = 0;
    while (pipe && (n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0) {
        output.append(buffer, n);
    }
    return output;
}
