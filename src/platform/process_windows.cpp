#include "platform/process.h"

#include <cstdlib>
#include <stdexcept>
#include <windows.h>

void hardenProcess() {
    // No error dialog and no Windows Error Reporting window for a crash: the panel gets empty
    // output instead of a window it cannot see. The tool reads no environment variable, and the
    // system libraries it uses take none that change what it stores or prints.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

void protectStandardStreams() {
    // Nothing to do: the standard handles are read and written with ReadFile and WriteFile,
    // which carry bytes unchanged (no text-mode CR), and Windows never hands a closed standard
    // handle's number to a file the tool opens later.
}

std::string readInput(std::size_t count) {
    // On a pipe an empty read means the writer wrote zero bytes: only a writer that has gone
    // (a broken pipe, as ReadFile or PeekNamedPipe report it) is the end.
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    const bool pipe = GetFileType(input) == FILE_TYPE_PIPE;
    std::string chunk(count, '\0');
    for (;;) {
        DWORD got = 0;
        if (ReadFile(input, chunk.data(), static_cast<DWORD>(count), &got, nullptr) == FALSE) {
            // A pipe whose writer has closed its end is the end of input.
            if (GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_HANDLE_EOF) {
                return {};
            }
            throw std::runtime_error("read standard input");
        }
        if (got > 0 || !pipe) {
            chunk.resize(got);
            return chunk;
        }
        DWORD waiting = 0;
        if (PeekNamedPipe(input, nullptr, 0, nullptr, &waiting, nullptr) == FALSE) {
            return {}; // the writer has gone
        }
    }
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
