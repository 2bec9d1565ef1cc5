#include "app/envelope.h"

#include "platform/process.h"

#include <optional>
#include <string>

namespace {

std::optional<LockHandle> heldLock;

} // namespace

std::string_view messageText(Message message) {
    switch (message) {
    case Message::invalidRequest:
        return "Invalid session request.";
    case Message::storageUnavailable:
        return "Secure sign-in storage is unavailable. Retry after unlocking Keychain.";
    case Message::lockFolderNotPrivate:
        return "Session lock folder is not private.";
    case Message::cannotLock:
        return "Cannot lock saved sign-in.";
    case Message::keychainUnavailable:
        return "Keychain access unavailable. Unlock or allow access, then retry.";
    case Message::unreadable:
        return "Saved sign-in is unreadable.";
    case Message::changedElsewhere:
        return "Sign-in changed in another panel. Reopen Sandrel.";
    case Message::tooLarge:
        return "Saved sign-in is too large.";
    case Message::saveFailed:
        return "Could not save sign-in in Keychain. Retry after allowing access.";
    case Message::notVerified:
        return "Saved sign-in could not be verified. Reopen Sandrel.";
    }
    return "Secure sign-in storage is unavailable. Retry after unlocking Keychain.";
}

void releaseBeforeAnswer(LockHandle lock) {
    heldLock = lock;
}

void respond(const Json& response) {
    if (heldLock) {
        releaseSessionLock(*heldLock);
        heldLock.reset();
    }
    std::string output;
    try {
        output = encodeJson(response);
    } catch (const std::exception&) {
        // Nothing half-written: the panel sees empty output.
        output.clear();
    }
    finishProcess(output);
}

void fail(Message message) {
    respond(Json{{"ok", false}, {"error", messageText(message)}});
}
