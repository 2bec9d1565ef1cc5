// How a host's saved sign-in is addressed in the keychain: every dictionary is built here.
#pragma once

#include "platform/keychain.h"

#include <string>
#include <string_view>

inline constexpr std::string_view serviceV2 = "com.pellimar.adobe.session.v2";
inline constexpr std::string_view serviceV1 = "com.sandrel.adobe.session.v1";

// Class, service and account: the identity of an item.
Dictionary itemAttributes(std::string_view service, std::string_view host);

// The item attributes, asking the keychain to fail rather than prompt.
Dictionary lookupQuery(std::string_view service, std::string_view host);

// The lookup query, asking for the data of one item.
Dictionary readQuery(std::string_view service, std::string_view host);

// A new item under the current service, holding `bytes`, labelled for the host.
Dictionary creationAttributes(std::string_view host, const std::string& bytes);

// The data of an existing item, and nothing else.
Dictionary updateAttributes(const std::string& bytes);

std::string_view itemLabel(std::string_view host);

// Removes the item if there is one; the outcome is deliberately not looked at.
void deleteItem(std::string_view service, std::string_view host);
