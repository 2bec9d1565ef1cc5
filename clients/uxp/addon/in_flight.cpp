#include "in_flight.h"

#include <exception>
#include <utility>

namespace {

// Joins the threads that have finished, so a long session does not collect them.
void joinFinished(std::vector<InFlight>& running) {
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

bool startRequest(Requests& requests, std::string binaryPath, std::string request,
                  std::chrono::milliseconds timeout, std::function<void(ToolAnswer)> settle) {
    const std::lock_guard<std::mutex> lock(requests.mutex);
    if (requests.stopping.load()) {
        return false;
    }
    joinFinished(requests.running);
    try {
        // Room first: a thread that could not be kept would end the host as it is destroyed.
        requests.running.reserve(requests.running.size() + 1);
        auto finished = std::make_shared<std::atomic<bool>>(false);
        std::thread thread([&requests, binaryPath = std::move(binaryPath),
                            request = std::move(request), timeout, settle = std::move(settle),
                            finished] {
            // Nothing may leave this thread by an exception: it would end the host.
            try {
                ToolAnswer answer = askTool(binaryPath, request, timeout, requests.stopping);
                // The check and the hand-over are one step under the lock that stopAllRequests
                // takes to set `stopping`: once it has, no answer is handed over, so nothing of
                // this thread's is scheduled after the environment has been told to go.
                const std::lock_guard<std::mutex> handOver(requests.mutex);
                if (!requests.stopping.load()) {
                    settle(std::move(answer));
                }
            } catch (...) {
                // Out of memory: the request's promise stays unsettled rather than the host ending.
            }
            finished->store(true);
        });
        requests.running.push_back({std::move(thread), std::move(finished)});
    } catch (const std::exception&) {
        return false; // no thread, or no memory for one
    }
    return true;
}

void stopAllRequests(Requests& requests) {
    std::vector<InFlight> all;
    {
        const std::lock_guard<std::mutex> lock(requests.mutex);
        requests.stopping.store(true);
        all.swap(requests.running);
    }
    // Each tool sees `stopping` within a slice of its wait, and is killed and reaped.
    for (InFlight& request : all) {
        request.thread.join();
    }
}
