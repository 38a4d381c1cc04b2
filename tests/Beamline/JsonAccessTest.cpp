#include "Beamline/JsonAccess.h"

#include <gtest/gtest.h>

using JsonAccess::ReadError;

TEST(JsonAccess, WrongTypesAreErrorsNeverExceptions)
{
    // Every shape a peer could put where a boolean belongs.
    for (const char* text :
         {R"({"v":"yes"})", R"({"v":1})", R"({"v":[]})", R"({"v":{}})", R"({"v":"true"})", R"({"v":1.5})"}) {
        const Json j = Json::parse(text);
        const auto r = JsonAccess::boolean(j, "v");
        EXPECT_FALSE(r) << text;
        EXPECT_EQ(r.error, ReadError::WrongType) << text;
        EXPECT_FALSE(r.orIfMissing(false).has_value()) << text;
        EXPECT_FALSE(JsonAccess::string(j, "v", 100).value.has_value() && !j["v"].is_string()) << text;
    }
    // null counts as absent, so optional members fall back.
    const Json withNull = Json::parse(R"({"v":null})");
    EXPECT_EQ(JsonAccess::boolean(withNull, "v").error, ReadError::Missing);
    EXPECT_EQ(JsonAccess::boolean(withNull, "v").orIfMissing(true), std::optional<bool>(true));
    // A container that is not an object.
    for (const char* text : {"[]", "3", "\"s\"", "null"})
        EXPECT_EQ(JsonAccess::integer(Json::parse(text), "v", 0, 10).error, ReadError::NotAnObject) << text;
}

TEST(JsonAccess, IntegersAreRangeCheckedBeforeNarrowing)
{
    const Json j = Json::parse(
        R"({"big":4294967298,"huge":18446744073709551615,"neg":-1,"frac":2.5,"ok":42,"min":-9223372036854775808})");
    // 2^32 + 2 would wrap to 2 as a 32-bit int; it must be out of range instead.
    EXPECT_EQ(JsonAccess::integer(j, "big", 1, 16384).error, ReadError::OutOfRange);
    EXPECT_EQ(JsonAccess::integer(j, "huge", 0, INT64_MAX).error, ReadError::OutOfRange);
    EXPECT_EQ(JsonAccess::integer(j, "neg", 0, 10).error, ReadError::OutOfRange);
    EXPECT_EQ(JsonAccess::integer(j, "frac", 0, 10).error, ReadError::WrongType);
    EXPECT_EQ(*JsonAccess::integer(j, "ok", 0, 100), 42);
    EXPECT_EQ(*JsonAccess::integer(j, "min", INT64_MIN, 0), INT64_MIN);
    EXPECT_EQ(JsonAccess::integer(j, "absent", 0, 1).error, ReadError::Missing);
}

TEST(JsonAccess, NumbersMustBeFiniteAndBounded)
{
    const Json j = Json::parse(R"({"x":1e300,"y":-3.5,"z":7,"s":"7"})");
    EXPECT_EQ(JsonAccess::number(j, "x", -1e5, 1e5).error, ReadError::OutOfRange);
    EXPECT_DOUBLE_EQ(*JsonAccess::number(j, "y", -1e5, 1e5), -3.5);
    EXPECT_DOUBLE_EQ(*JsonAccess::number(j, "z", 0, 10), 7.0);
    EXPECT_EQ(JsonAccess::number(j, "s", 0, 10).error, ReadError::WrongType);
    Json nan = Json::object();
    nan["n"] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(JsonAccess::number(nan, "n", -1, 1).error, ReadError::OutOfRange);
}

TEST(JsonAccess, StringsObjectsAndArrays)
{
    const Json j = Json::parse(R"({"s":"abcdef","o":{"k":1},"a":[1,2]})");
    EXPECT_EQ(*JsonAccess::string(j, "s", 6), "abcdef");
    EXPECT_EQ(JsonAccess::string(j, "s", 5).error, ReadError::OutOfRange);
    EXPECT_EQ(JsonAccess::string(j, "o", 5).error, ReadError::WrongType);
    ASSERT_TRUE(JsonAccess::objectMember(j, "o"));
    EXPECT_EQ(**JsonAccess::objectMember(j, "o"), Json::parse(R"({"k":1})"));
    EXPECT_EQ(JsonAccess::objectMember(j, "a").error, ReadError::WrongType);
    ASSERT_TRUE(JsonAccess::arrayMember(j, "a"));
    EXPECT_EQ((*JsonAccess::arrayMember(j, "a"))->size(), 2u);
    EXPECT_EQ(JsonAccess::describe(ReadError::WrongType, "fullscreen"), "\"fullscreen\" has the wrong type");
}
