#include "platform/process.h"

#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <stdexcept>
#include <windows.h>

void hardenProcess() {
    // No error dialog and no Windows Error Reporting window for a crash: the panel gets empty
    // output instead of a window it cannot see. The tool reads no environment variable, and the
    // system libraries it uses take none that change what it stores or prints.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

void protectStandardStreams() {
    // Bytes, not text: no CR is added to the answer and none is taken from the request.
    static_cast<void>(_setmode(_fileno(stdin), _O_BINARY));
    static_cast<void>(_setmode(_fileno(stdout), _O_BINARY));
}

std::string readInput(std::size_t count) {
    std::string chunk(count, '\0');
    DWORD got = 0;
    if (ReadFile(GetStdHandle(STD_INPUT_HANDLE), chunk.data(), static_cast<DWORD>(count), &got,
                 nullptr) == FALSE) {
        // A pipe whose writer has closed its end is the end of input.
        if (GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_HANDLE_EOF) {
            return {};
        }
        throw std::runtime_error("read standard input");
    }
    chunk.resize(got);
    return chunk;
}

void finishProcess(std::string_view output) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    while (!output.empty()) {
        DWORD written = 0;
        if (WriteFile(out, output.data(), static_cast<DWORD>(output.size()), &written, nullptr) ==
                FALSE ||
            written == 0) {
            break; // the reader has gone; there is nobody left to tell
        }
        output.remove_prefix(written);
    }
    std::exit(0); // NOLINT(concurrency-mt-unsafe): the tool has one thread
}
