// The response envelope: every run ends here, with one JSON object on standard output.
#pragma once

#include "lock/session_lock.h"
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
// A lock handed to releaseBeforeAnswer is released first.
[[noreturn]] void respond(const Json& response);

// Every answer given while this lock is held is final before it is written, so the lock is
// released then: an instance waiting for it starts at once, and the release never depends on
// how the process ends.
void releaseBeforeAnswer(LockHandle lock);

// Responds with "ok" false and the message.
[[noreturn]] void fail(Message message);
