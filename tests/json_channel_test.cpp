// The request reader and the document writer.
#include <gtest/gtest.h>

#include "cli/json_channel.h"

namespace ravu {
namespace {

TEST(ParseRequest, AnythingButAnObjectIsTheEmptyObject) {
    for (const char* bytes :
         {"", "  \n", "[]", "[1,2]", "42", "\"text\"", "null", "{\"a\":", "{\"a\":1,}",
          "{\"a\":1} // comment", "{'a':1}", "{\"a\":\"\xff\"}"}) {
        EXPECT_EQ(parseRequest(bytes), Json::object()) << bytes;
    }
}

TEST(ParseRequest, KeepsNestedValuesWhole) {
    const Json request = parseRequest(R"({"Pending":[{"a":[1,{"b":null}]}],"x":"y"})");
    EXPECT_EQ(request["Pending"][0]["a"][1]["b"], nullptr);
    EXPECT_EQ(request["x"], "y");
    EXPECT_FALSE(request.contains("pending"));
}

TEST(ParseRequest, DeepNestingIsUnreadableNotACrash) {
    const std::string deep = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
    EXPECT_EQ(parseRequest(deep), Json::object());
    const std::string fine = "{\"a\":" + std::string(100, '[') + std::string(100, ']') + "}";
    EXPECT_TRUE(parseRequest(fine).contains("a"));
    // Brackets inside strings do not count.
    EXPECT_TRUE(parseRequest("{\"a\":\"" + std::string(1000, '[') + "\"}").contains("a"));
}

TEST(SerializeDocument, CompactUtf8WithEscapedSlashes) {
    EXPECT_EQ(serializeDocument(Json::object()), "{}");
    EXPECT_EQ(serializeDocument(Json{{"error", "x"}}), R"({"error":"x"})");
    EXPECT_EQ(serializeDocument(Json{{"a/b", "c/d"}}), R"({"a\/b":"c\/d"})");
    EXPECT_EQ(serializeDocument(Json{{"t", "Café \"x\""}}), "{\"t\":\"Café \\\"x\\\"\"}");
}

TEST(SerializeDocument, BadUtf8BecomesReplacementCharacter) {
    EXPECT_EQ(serializeDocument(Json{{"t", std::string{"a\xff"
                                                       "b"}}}),
              "{\"t\":\"a\xef\xbf\xbd"
              "b\"}");
}

}  // namespace
}  // namespace ravu
