// Reading and validating the one request of this run.
#pragma once

#include "platform/json.h"

#include <string>

struct ValidRequest {
    std::string host;
    std::string op;
    Json object;
};

// Reads standard input to its end within the size limit, parses it and checks "host"
// and "op". Ends the process on a refused request; throws when standard input cannot be
// read or the input is not JSON with an array or object at the top.
ValidRequest takeRequest();
