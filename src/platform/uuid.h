#pragma once

#include <string>

// The upper-case canonical text of a fresh random (version 4) UUID.
std::string newRandomUuid();
