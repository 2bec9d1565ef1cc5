// The requests in flight for one JavaScript environment: each on a thread of its own, all
// stopped when the environment goes.
#pragma once

#include "ask_tool.h"

#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct InFlight {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
};

// Destroy only after stopAllRequests: a thread still joinable when its owner goes ends the
// process.
struct Requests {
    std::mutex mutex; // held to start a request, to hand over an answer, and to stop
    std::vector<InFlight> running;
    std::atomic<bool> stopping{false};
};

// Asks the tool on a new thread, then hands the answer to `settle` on that thread, with the
// lock held and only if stopAllRequests has not begun. False when no thread could be started
// or the requests are stopped; `settle` is then never called.
bool startRequest(Requests& requests, std::string binaryPath, std::string request,
                  std::chrono::milliseconds timeout, std::function<void(ToolAnswer)> settle);

// Kills and reaps every running tool and joins every thread; no answer is handed over once it
// has begun, and later requests are refused.
void stopAllRequests(Requests& requests);
