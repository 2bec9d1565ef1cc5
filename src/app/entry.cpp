#include "app/entry.h"

#include "app/envelope.h"
#include "app/intake.h"
#include "app/session.h"
#include "platform/keychain.h"
#include "platform/process.h"

namespace {

void disableLegacyKeychainUI() {
    static_cast<void>(keychainSetUserInteractionAllowed(false));
}

} // namespace

void serveOneRequest() {
    hardenProcess();
    protectStandardStreams();
    disableLegacyKeychainUI();
    try {
        const ValidRequest request = takeRequest();
        runLockedSection(request.host, request.op, request.object);
    } catch (const std::exception&) {
        // The one catch-all: its kind and text never reach the response.
        fail(Message::storageUnavailable);
    }
}
