// Item addressing and the stored record format.
#include "store/items.h"
#include "store/record.h"

#include <gtest/gtest.h>

namespace {

std::vector<AttrKey> keysOf(const Dictionary& dictionary) {
    std::vector<AttrKey> keys;
    for (const auto& entry : dictionary) {
        keys.push_back(entry.first);
    }
    return keys;
}

std::string padded(std::size_t size) {
    // {"revision":"r","session":"…"} padded with session text to exactly `size` bytes.
    const std::string head = R"({"revision":"r","session":")";
    const std::string tail = R"("})";
    return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

TEST(Dictionaries, HaveTheirShapesAndTheInterfaceFlagOnlyWhereItemsAreSelected) {
    using K = AttrKey;
    EXPECT_EQ(keysOf(itemAttributes(serviceV1, "AEFT")),
              (std::vector{K::itemClass, K::service, K::account}));
    const Dictionary lookup = lookupQuery(serviceV2, "PPRO");
    EXPECT_EQ(keysOf(lookup),
              (std::vector{K::itemClass, K::service, K::account, K::useAuthenticationUI}));
    EXPECT_EQ(*findAttr<AttrConstant>(lookup, K::useAuthenticationUI),
              AttrConstant::authenticationUIFail);
    EXPECT_EQ(*findAttr<std::string>(lookup, K::service), serviceV2);
    EXPECT_EQ(*findAttr<std::string>(lookup, K::account), "PPRO");

    const Dictionary read = readQuery(serviceV1, "AEFT");
    EXPECT_EQ(keysOf(read), (std::vector{K::itemClass, K::service, K::account,
                                         K::useAuthenticationUI, K::returnData, K::matchLimit}));
    EXPECT_TRUE(*findAttr<bool>(read, K::returnData));
    EXPECT_EQ(*findAttr<AttrConstant>(read, K::matchLimit), AttrConstant::matchLimitOne);

    const Dictionary created = creationAttributes("PPRO", std::string("a\0b", 3));
    EXPECT_EQ(keysOf(created),
              (std::vector{K::itemClass, K::service, K::account, K::valueData, K::label}));
    EXPECT_EQ(*findAttr<std::string>(created, K::service), serviceV2);
    EXPECT_EQ(findAttr<ItemBytes>(created, K::valueData)->bytes, std::string("a\0b", 3));
    EXPECT_EQ(*findAttr<std::string>(created, K::label), "Pellimar sign-in (Premiere Pro)");

    EXPECT_EQ(keysOf(updateAttributes("x")), (std::vector{K::valueData}));
}

TEST(Dictionaries, LabelIsPremiereProOnlyForPPRO) {
    EXPECT_EQ(itemLabel("PPRO"), "Pellimar sign-in (Premiere Pro)");
    for (const char* other : {"AEFT", "", "ppro", "PPRO "}) {
        EXPECT_EQ(itemLabel(other), "Pellimar sign-in (After Effects)") << other;
    }
}

TEST(DecodeRecord, AcceptsRecordsUpToTheLimitWithEveryMember) {
    EXPECT_TRUE(decodeRecord(padded(32768)).has_value());
    EXPECT_FALSE(decodeRecord(padded(32769)).has_value());
    // Over the limit is refused whatever the content, even white space after a record.
    EXPECT_FALSE(decodeRecord(R"({"revision":"r","session":null})" + std::string(32768, ' ')));

    const auto minimal = decodeRecord(std::string(R"({"revision":"","session":null})"));
    ASSERT_TRUE(minimal.has_value());
    EXPECT_EQ(minimal->at("revision"), "");
    EXPECT_TRUE(minimal->contains("session"));

    const auto extra =
        decodeRecord(std::string(R"({"revision":"r","session":[1,{"a":2}],"extra":{"k":true}})"));
    ASSERT_TRUE(extra.has_value());
    EXPECT_EQ(extra->size(), 3U);
    EXPECT_EQ(extra->at("extra"), Json::parse(R"({"k":true})"));
}

TEST(DecodeRecord, RefusesEveryOtherShape) {
    EXPECT_FALSE(decodeRecord(std::nullopt));
    for (const char* bytes : {
             "",
             R"({"revision":"r","session":)",
             "not json",
             R"([{"revision":"r","session":null}])",
             R"("text")",
             "12",
             R"({"revision":null,"session":null})",
             R"({"revision":7,"session":null})",
             R"({"revision":{},"session":null})",
             R"({"revision":"r"})",
             R"({"session":null})",
             R"({"revision":"r","session":null} trailing)",
             "{\"revision\":\"\xff\",\"session\":null}",
         }) {
        EXPECT_FALSE(decodeRecord(std::string(bytes)).has_value()) << bytes;
    }
    // A NUL byte ends nothing: what follows a record is still there, and refused.
    EXPECT_FALSE(decodeRecord(std::string("{\"revision\":\"R\",\"session\":{}}\0text", 34)));
}

} // namespace
