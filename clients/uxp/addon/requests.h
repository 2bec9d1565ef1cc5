// The add-on's requests in flight: each on a thread of its own, all stopped on unload.
#pragma once

#include "ask_tool.h"

#include <functional>

// Asks the tool on a new thread, then hands the answer to `settle` on that thread. False when
// no thread could be started or the add-on is being unloaded; `settle` is then never called.
bool startRequest(std::string binaryPath, std::string request, std::chrono::milliseconds timeout,
                  std::function<void(ToolAnswer)> settle);

// Kills and reaps every running tool and joins every thread; answers still to come are
// dropped. Later requests are refused until allowRequests.
void stopAllRequests();
void allowRequests();
