// Standard input, standard output and the end of the process.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Runs first, before any library can look. On macOS and Linux: keeps only the environment
// variables that locate the session bus, so no other variable can change what the tool stores
// or prints, and turns core files off, so a crash cannot put a session token on disk. On
// Windows: no crash dialog or error report window.
void hardenProcess();

// Makes the standard streams safe to use: descriptors 0 to 2 that the parent left closed are
// opened on /dev/null, so no file the tool opens later (the lock file, a bus socket) can take
// their place and receive the answer; and a panel that has gone away must not kill the tool
// with SIGPIPE.
void protectStandardStreams();

// Up to `count` bytes from standard input; empty at end of input. Throws on a read failure.
std::string readInput(std::size_t count);

// Writes every byte to standard output (a failure is given up on silently),
// then ends the process with status 0.
[[noreturn]] void finishProcess(std::string_view output);
