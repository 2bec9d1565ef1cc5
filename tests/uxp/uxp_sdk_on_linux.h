// Forced ahead of the UXP SDK's header when the add-on is built on Linux, only for the stand-in
// host's tests. The SDK's export macro has no branch for Linux, where its header writes a bare
// "UXP_EXTERN_API_STDCALL(type)": defined here, that line expands to nothing and each use to
// its plain return type.
#pragma once

#define UXP_EXTERN_API_STDCALL(type) UXP_EXPORTED_##type
#define UXP_EXPORTED_type
#define UXP_EXPORTED_addon_value addon_value
#define UXP_EXPORTED_void void
