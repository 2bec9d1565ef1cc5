// Test stand-ins for standard input, standard output, the end of the process and the
// home folder, so a whole run can be served inside a test.
#pragma once

#include <cstddef>
#include <string>

// Thrown where the real tool would end the process. Not a std::exception, so the tool's
// own handlers let it pass.
struct ProcessEnded {
    std::string output;
};

namespace fakeProcess {

// Serves one request with this input and returns what the tool wrote.
std::string serve(const std::string& input);

// Bytes of input the last run consumed.
std::size_t bytesRead();

// The home folder the tool sees: a private temp folder made once per test process.
std::string home();

} // namespace fakeProcess
