// One request served in-process against the in-memory keychain, for instruction counts under
// callgrind: the tool's own work, without the daemon's and the bus's.
//   inprocess read|write
#include "fake_process.h"
#include "memory_keychain.h"
#include "store/items.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    const std::string op = argc > 1 ? argv[1] : "read";
    const std::string record = R"({"revision":"R1","session":{"token":")" + std::string(2000, 't') +
                               R"(","user":{"id":42,"roles":["editor","admin"]}}})";
    memoryKeychain::put(std::string(serviceV2), "AEFT", record);
    const std::string request =
        op == "write"
            ? R"({"host":"AEFT","op":"write","expectedRevision":"R1","session":{"token":")" +
                  std::string(2000, 'u') + R"("}})"
            : R"({"host":"AEFT","op":"read"})";
    const std::string output = fakeProcess::serve(request);
    return output.find(R"("ok":true)") == std::string::npos ? 1 : 0;
}
