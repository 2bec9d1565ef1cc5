// Concurrent panels against the real Secret Service: no write is lost, none is applied twice,
// and hosts do not wait for each other. Prints what it proved.
#include "envelope_check.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <map>
#include <mutex>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// Sized to prove each property in seconds; a sanitized tool is several times slower, so its
// runs are smaller, and the figures say so.
#if defined(SANDREL_SANITIZED)
constexpr int racers = 12;
constexpr int workers = 3;
constexpr int updatesEach = 8;
const std::string sizing = " (smaller under the sanitizers)";
#else
constexpr int racers = 32;
constexpr int workers = 4;
constexpr int updatesEach = 20;
const std::string sizing;
#endif

json call(const json& request) {
    return responseOf(runTool(request.dump()));
}

json writeRequest(const json& expected, int value) {
    return {{"host", "AEFT"},
            {"op", "write"},
            {"expectedRevision", expected},
            {"session", {{"value", value}}}};
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// What was proved, on standard output and, for scripts/test, in $SANDREL_REPORT.
void report(const std::string& line) {
    std::cout << line << "\n";
    if (const char* path = std::getenv("SANDREL_REPORT")) {
        std::ofstream(path, std::ios::app) << line << "\n";
    }
}

TEST(Concurrency, OfManyWritesFromOneRevisionExactlyOneWins) {
    const json start = call(writeRequest(nullptr, -1)).at("record");
    const auto began = Clock::now();
    std::vector<StartedTool> tools;
    for (int i = 0; i < racers; ++i) {
        tools.push_back(startTool(writeRequest(start.at("revision"), i).dump()));
    }
    std::vector<json> winners;
    int conflicts = 0;
    for (StartedTool& tool : tools) {
        const json response = responseOf(finishTool(tool));
        if (response.value("ok", false)) {
            winners.push_back(response.at("record"));
        } else {
            EXPECT_EQ(response.at("error"), conflictMessage);
            ++conflicts;
        }
    }
    ASSERT_EQ(winners.size(), 1U);
    EXPECT_EQ(conflicts, racers - 1);
    EXPECT_EQ(call({{"host", "AEFT"}, {"op", "read"}}).at("record"), winners.front());
    report("same-revision race: " + std::to_string(racers) + " processes, 1 success, " +
           std::to_string(conflicts) + " conflicts, " + std::to_string(secondsSince(began)) + " s" +
           sizing);
}

TEST(Concurrency, RetryingWritersFormOneLinearHistory) {
    constexpr int maximumAttempts = 20 * updatesEach;
    std::mutex mutex;
    std::map<std::string, std::string> nextOf; // expected revision -> revision it became
    int conflicts = 0;
    bool branched = false;

    const json initial = call({{"host", "AEFT"}, {"op", "read"}}).at("record");
    const json initialRevision = initial.is_null() ? json(nullptr) : initial.at("revision");
    const auto began = Clock::now();
    std::vector<std::thread> threads;
    for (int worker = 0; worker < workers; ++worker) {
        threads.emplace_back([&, worker] {
            // Bounded, so a fault shows as a failure with the answer rather than a time-out.
            for (int done = 0, attempts = 0; done < updatesEach; ++attempts) {
                if (attempts == maximumAttempts) {
                    ADD_FAILURE() << "worker " << worker << " gave up after " << attempts;
                    return;
                }
                const json current =
                    call({{"host", "AEFT"}, {"op", "read"}}).value("record", json());
                const json expected = current.is_null() ? json(nullptr) : current.at("revision");
                const json response = call(writeRequest(expected, worker * 1000 + done));
                const std::lock_guard<std::mutex> guard(mutex);
                if (response.value("ok", false)) {
                    const std::string key = expected.is_null() ? "" : expected.get<std::string>();
                    branched |= !nextOf.emplace(key, response.at("record").at("revision")).second;
                    ++done;
                } else if (response.value("error", "") == conflictMessage) {
                    ++conflicts;
                } else {
                    ADD_FAILURE() << "worker " << worker << " was answered " << response.dump();
                    return;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(branched) << "two writes replaced the same revision";
    ASSERT_EQ(nextOf.size(), static_cast<std::size_t>(workers * updatesEach));
    // Follow the chain from the initial revision: it must pass through every success.
    std::string at = initialRevision.is_null() ? "" : initialRevision.get<std::string>();
    std::size_t length = 0;
    for (auto next = nextOf.find(at); next != nextOf.end(); next = nextOf.find(at)) {
        at = next->second;
        ++length;
    }
    EXPECT_EQ(length, nextOf.size());
    EXPECT_EQ(call({{"host", "AEFT"}, {"op", "read"}}).at("record").at("revision"), at);
    report("retrying writers: " + std::to_string(workers) + " workers, " +
           std::to_string(nextOf.size()) + " successes in one chain, " + std::to_string(conflicts) +
           " conflicts, " + std::to_string(secondsSince(began)) + " s" + sizing);
}

TEST(Concurrency, HostsDoNotWaitForEachOther) {
    ASSERT_TRUE(call({{"host", "AEFT"}, {"op", "read"}}).value("ok", false));
    const std::string lockFile =
        privateHome() + "/Library/Application Support/Sandrel Adobe Auth/AEFT.lock";
    const int held = open(lockFile.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    StartedTool waiting = startTool(writeRequest(nullptr, 0).dump());
    int pproDone = 0;
    json revision = nullptr;
    for (int i = 0; i < 10; ++i) {
        const json response = call({{"host", "PPRO"},
                                    {"op", "write"},
                                    {"expectedRevision", revision},
                                    {"session", json::object()}});
        ASSERT_TRUE(response.value("ok", false));
        revision = response.at("record").at("revision");
        ++pproDone;
    }
    EXPECT_FALSE(answeredWithin(waiting, std::chrono::milliseconds(0)));
    close(held);
    const json late = responseOf(finishTool(waiting));
    EXPECT_TRUE(late.contains("ok"));
    report("independent hosts: " + std::to_string(pproDone) +
           " PPRO writes completed while AEFT.lock was held");
}

} // namespace
