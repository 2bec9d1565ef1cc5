// How a DPAPI refusal of an item's blob is judged: lost for good, or passing.
#pragma once

#include "platform/keychain.h"

#include <windows.h>

// -25293 (the caller drops the item) only for errors that say the data is altered or not for
// this user's key; -25291 (nothing deleted) for every other.
KeychainStatus statusOfUnprotectFailure(DWORD error);
