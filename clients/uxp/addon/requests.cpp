#include "requests.h"

#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace {

struct InFlight {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
};

std::mutex runningMutex;
std::vector<InFlight> running;
std::atomic<bool> stopping{false};

// Joins the threads that have finished, so a long session does not collect them.
void joinFinished() {
    for (auto it = running.begin(); it != running.end();) {
        if (it->finished->load()) {
            it->thread.join();
            it = running.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace

bool startRequest(std::string binaryPath, std::string request, std::chrono::milliseconds timeout,
                  std::function<void(ToolAnswer)> settle) {
    const std::lock_guard<std::mutex> lock(runningMutex);
    if (stopping.load()) {
        return false;
    }
    joinFinished();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    try {
        std::thread thread([binaryPath = std::move(binaryPath), request = std::move(request),
                            timeout, settle = std::move(settle), finished] {
            // Nothing may leave this thread by an exception: it would end the host.
            try {
                ToolAnswer answer = askTool(binaryPath, request, timeout, stopping);
                if (!stopping.load()) {
                    settle(std::move(answer));
                }
            } catch (...) {
                // Out of memory: the request's promise stays unsettled rather than the host ending.
            }
            finished->store(true);
        });
        running.push_back({std::move(thread), std::move(finished)});
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void stopAllRequests() {
    std::vector<InFlight> all;
    {
        const std::lock_guard<std::mutex> lock(runningMutex);
        stopping.store(true);
        all.swap(running);
    }
    for (InFlight& request : all) {
        request.thread.join();
    }
}

void allowRequests() {
    const std::lock_guard<std::mutex> lock(runningMutex);
    stopping.store(false);
}
