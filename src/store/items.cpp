#include "store/items.h"

Dictionary itemAttributes(std::string_view service, std::string_view host) {
    return {
        {AttrKey::itemClass, AttrConstant::classGenericPassword},
        {AttrKey::service, std::string(service)},
        {AttrKey::account, std::string(host)},
    };
}

Dictionary lookupQuery(std::string_view service, std::string_view host) {
    Dictionary query = itemAttributes(service, host);
    query.emplace_back(AttrKey::useAuthenticationUI, AttrConstant::authenticationUIFail);
    return query;
}

Dictionary readQuery(std::string_view service, std::string_view host) {
    Dictionary query = lookupQuery(service, host);
    query.emplace_back(AttrKey::returnData, true);
    query.emplace_back(AttrKey::matchLimit, AttrConstant::matchLimitOne);
    return query;
}

Dictionary creationAttributes(std::string_view host, const std::string& bytes) {
    Dictionary attributes = itemAttributes(serviceV2, host);
    attributes.emplace_back(AttrKey::valueData, ItemBytes{bytes});
    attributes.emplace_back(AttrKey::label, std::string(itemLabel(host)));
    return attributes;
}

Dictionary updateAttributes(const std::string& bytes) {
    return {{AttrKey::valueData, ItemBytes{bytes}}};
}

std::string_view itemLabel(std::string_view host) {
    return host == "PPRO" ? "Pellimar sign-in (Premiere Pro)" : "Pellimar sign-in (After Effects)";
}

void deleteItem(std::string_view service, std::string_view host) {
    static_cast<void>(keychainDelete(lookupQuery(service, host)));
}
