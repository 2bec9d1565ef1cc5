// The response envelope: every run ends here, with one JSON object on standard output.
#pragma once

#include "platform/json.h"

#include <string_view>

// Every message the tool can answer with. Texts live in one table in envelope.cpp.
enum class Message {
    invalidRequest,
    storageUnavailable,
    lockFolderNotPrivate,
    cannotLock,
    keychainUnavailable,
    unreadable,
    changedElsewhere,
    tooLarge,
    saveFailed,
    notVerified,
};

std::string_view messageText(Message message);

// Writes the response object compactly to standard output and ends the process with status 0.
[[noreturn]] void respond(const Json& response);

// Responds with "ok" false and the message.
[[noreturn]] void fail(Message message);
