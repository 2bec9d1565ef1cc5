#include "app/entry.h"

#include "app/envelope.h"
#include "app/intake.h"
#include "app/session.h"
#include "platform/keychain.h"
#include "platform/process.h"

namespace {

// Whether keychain UI is off. On macOS this is what keeps the file-based keychain from
// prompting, so without it no item may be touched.
bool disableLegacyKeychainUI() {
    return keychainSetUserInteractionAllowed(false) == keychain::success;
}

} // namespace

void serveOneRequest() {
    hardenProcess();
    protectStandardStreams();
    const bool interactionOff = disableLegacyKeychainUI();
    try {
        const ValidRequest request = takeRequest();
        if (!interactionOff) {
            fail(Message::keychainUnavailable);
        }
        runLockedSection(request.host, request.op, request.object);
    } catch (const std::exception&) {
        // The one catch-all: its kind and text never reach the response.
        fail(Message::storageUnavailable);
    }
}
