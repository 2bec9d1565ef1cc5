#pragma once

// The whole run: start-up, intake, the locked section and exactly one response.
[[noreturn]] void serveOneRequest();
