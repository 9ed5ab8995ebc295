// The JSON codec: what a request decodes to, and what encoding produces.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "fake_platform.h"
#include "frames.h"
#include "host/framing.h"
#include "host/host.h"
#include "reference_decoder.h"

namespace tarnwick::testing {
namespace {

class Json : public ::testing::Test {
 protected:
  FakePlatform platform;
};

// A request is its top-level string members, the last of repeated keys
// winning, with escapes and non-ASCII text decoded; anything else is no
// member, and a top-level array has none.
TEST_F(Json, DecodesToTheTopLevelStringMembers) {
  const std::pair<std::string, MessageObject> cases[] = {
      {R"({"type":"ping","n":1,"b":true,"z":null,"a":["x"],"o":{"type":"open","browser":"edge"},)"
       R"("browser":"chrome","url":""})",
       {{"type", "ping"}, {"browser", "chrome"}, {"url", ""}}},
      {R"({"type":"open","type":"ping"})", {{"type", "ping"}}},
      {R"({"type":"ping","type":[]})", {}},
      {R"({"type":{},"type":"ping"})", {{"type", "ping"}}},
      {R"(["type","ping"])", {}},
      {R"([{"type":"ping"}])", {}},
      {R"({"url":"a\u0000b","filename":"\u00e9t\u00e9 \ud83d\ude00 \"q\" \\ \/","referrer":"日本"})",
       {{"url", std::string("a\0b", 3)},
        {"filename", "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80 \"q\" \\ /"},
        {"referrer", "日本"}}},
  };
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(decodeRequest(input), expected) << input;
  }
}

// The decoder against the JSON library's strict parser, which it replaced:
// the same verdict and the same members for every kind of text that either
// could get wrong. (The decode fuzz target does the same on any input.)
TEST_F(Json, DecodesExactlyAsTheLibrary) {
  const std::string nul("{\"url\":\"a\0\"}", 12);
  const std::string inputs[] = {
      "{}",
      "[]",
      " \t\r\n{ } ",
      "",
      " ",
      "{}{}",
      "{} x",
      "{},",
      "[1,]",
      "{\"a\":1,}",
      "{,}",
      "{\"type\" \"ping\"}",
      "{\"type\":}",
      "{type:\"ping\"}",
      "{'type':'ping'}",
      "\f{}",
      "{}\f",
      "1",
      "\"type\"",
      "true",
      "null",
      "-0",
      "[-0, 0.5e+3, 1E-2, 10]",
      "[01]",
      "[1.]",
      "[.5]",
      "[-]",
      "[1e]",
      "[1e+]",
      "[+1]",
      "[0x1]",
      "[1e400]",
      "[-1e400]",
      "[1e-400]",
      "[" + std::string(400, '9') + "]",
      "[" + std::string(299, '9') + "]",
      "[1" + std::string(320, '0') + ".5]",
      "[NaN]",
      "[Infinity]",
      "[tru]",
      "[nul]",
      "[True]",
      "\xEF\xBB\xBF{\"type\":\"ping\"}",
      "\xEF\xBB{}",
      "\xEF\xBB\xBF",
      " \xEF\xBB\xBF{}",
      R"({"\u0074ype":"ping","br\u006fwser":"chr\u006Fme"})",
      R"({"url":"\ud83d\ude00"})",
      R"({"url":"\ud83d"})",
      R"({"url":"\ude00"})",
      R"({"url":"\ude00\ud83d"})",
      R"({"url":"\ud83dx"})",
      R"({"url":"\ud83d\u0041"})",
      R"({"url":"\u00"})",
      R"({"url":"\x41"})",
      R"({"url":"\U0041"})",
      R"({"url":"\u00G0"})",
      "{\"url\":\"a\tb\"}",
      "{\"url\":\"a\x7F\"}",
      "{\"url\":\"\xC3\xA9\"}",
      "{\"url\":\"\xC3\"}",
      "{\"url\":\"\xED\xA0\x80\"}",
      "{\"url\":\"\xF4\x90\x80\x80\"}",
      "{\"url\":\"\xE2\x82\xAC\xF0\x9F\x98\x80\"}",
      "{\"u\xFFrl\":\"\"}",
      nul,
      R"({"type":"ping","type":"open"})",
      R"({"type":"ping","type":1})",
      R"({"type":[{"type":"x"}],"url":"u","type":"open"})",
      R"({"a":{"url":"inner"},"url":"outer"})",
      R"({"filename":"x\"y\\z\/\b\f\n\r\t"})",
      R"(["url","u"])",
      R"({"url":"u")",
      R"({"url":"u)",
      R"({"url":"u"]})",
      R"([{"url":"u"}])",
      R"({"referrer":"r","other":"o"})",
      std::string("{\"url\":\"") + std::string(5000, 'a') + "\\n" + std::string(5000, 'b') + "\"}",
      // Runs of brackets, which the decoder takes in tight loops.
      R"({"x":[[]],"type":"ping"})",
      R"({"x":[[],[[1]],2],"type":"ping"})",
      R"({"x":[[[{"type":"no"}]]],"type":"ping"})",
      R"({"x":[[ ]],"type":"ping"})",
      R"({"x":[[[]]]],"type":"ping"})",
      R"({"x":[[}],"type":"ping"})",
      R"({"x":[[1]})",
      R"({"x":[[],]})",
      R"([[[[]]],[{}]])",
      R"([[[]])",
  };
  for (const std::string& input : inputs) {
    EXPECT_EQ(decodeRequest(input), referenceRequest(input)) << "input: " << input;
  }
}

TEST_F(Json, DeepestNestingThatFitsAFrameDecodes) {
  EXPECT_EQ(decodeRequest(deepArray(kMaxInboundLength)), MessageObject{});
  const std::string deepMember =
      R"({"type":"ping","deep":)" + deepArray(kMaxInboundLength - 40) + R"(,"browser":"edge"})";
  EXPECT_EQ(decodeRequest(deepMember), (MessageObject{{"type", "ping"}, {"browser", "edge"}}));
  EXPECT_FALSE(decodeRequest(std::string(kMaxInboundLength, '[')));
}

TEST_F(Json, EncodesCompactlyInTheOrderAsked) {
  const JsonObject object{
      {"url", std::string_view("a\0b\"\\/é", 8)}, {"lastSeen", 1700000000.25}, {"ok", true}};
  EXPECT_EQ(encodeObject(object, KeyOrder::AsGiven),
            R"({"url":"a\u0000b\"\\/é","lastSeen":1700000000.25,"ok":true})");
  EXPECT_EQ(encodeObject(object, KeyOrder::Sorted),
            R"({"lastSeen":1700000000.25,"ok":true,"url":"a\u0000b\"\\/é"})");
}

TEST_F(Json, NumbersReadBackAsTheSameDouble) {
  for (double seconds : {1700000000.123456789, 0.1, 1e-7, 4102444800.000001}) {
    const auto text = encodeObject({{"t", seconds}}, KeyOrder::AsGiven);
    ASSERT_TRUE(text);
    EXPECT_EQ(nlohmann::json::parse(*text).at("t").get<double>(), seconds) << *text;
  }
}

TEST_F(Json, EncodedTextReadsBackExactly) {
  std::string everyAscii;
  for (int c = 0; c < 0x80; ++c) everyAscii.push_back(static_cast<char>(c));
  for (const std::string& text :
       {everyAscii,
        std::string("\xC2\x80 \xDF\xBF \xE0\xA0\x80 \xED\x9F\xBF \xEE\x80\x80 "
                    "\xEF\xBF\xBF \xF0\x90\x80\x80 \xF4\x8F\xBF\xBF"),
        std::string(1000, '"') + std::string(1000, 'x')}) {
    const auto encoded = encodeObject({{"k", std::string_view(text)}}, KeyOrder::AsGiven);
    ASSERT_TRUE(encoded);
    EXPECT_EQ(nlohmann::json::parse(*encoded).at("k"), text);
    EXPECT_EQ(encoded->find_first_of("\n\t\r"), std::string::npos);
  }
}

TEST_F(Json, WholeSecondsStillReadAsAFraction) {
  EXPECT_EQ(encodeObject({{"t", 1700000000.0}}, KeyOrder::AsGiven), R"({"t":1700000000.0})");
  EXPECT_EQ(encodeObject({{"t", 1e300}}, KeyOrder::AsGiven), R"({"t":1e+300})");
}

TEST_F(Json, EncodingFailsForWhatJsonCannotHold) {
  for (std::string_view invalid :
       {"\xC3", "\x80", "\xC0\x80", "\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xF0\x8F\xBF\xBF",
        "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF", "ok\xE2\x82", "\xE2\x28\xA1"}) {
    EXPECT_FALSE(encodeObject({{"url", invalid}}, KeyOrder::AsGiven));
  }
  EXPECT_FALSE(encodeObject({{"t", std::numeric_limits<double>::infinity()}}, KeyOrder::AsGiven));
  EXPECT_FALSE(encodeObject({{"t", std::numeric_limits<double>::quiet_NaN()}}, KeyOrder::Sorted));
}

// A url, filename or referrer of any length reaches the capture file byte
// for byte: short ones and those long enough to be cut out of the frame in
// place, lengths on and beside 16-byte boundaries (where the scan for plain
// bytes changes pace), and multi-byte characters wherever the cut falls.
TEST_F(Json, MembersOfAnyLengthAreWrittenBackByteExact) {
  const std::string patterns[] = {"u", "\xC3\xA9", "ab\xE2\x82\xAC", "\xF0\x9F\x98\x80xyz"};
  const std::size_t lengths[] = {
      0,     1,     15,    16,    17,    31,    32,     33,
      65535, 65536, 65537, 65551, 65552, 65553, 300001, kMaxInboundLength - 120};
  for (const char* key : {"url", "filename", "referrer"}) {
    for (const std::string& pattern : patterns) {
      for (const std::size_t length : lengths) {
        std::string value;
        while (value.size() < length) value += pattern;
        // Cut back to whole characters, at or just below the length.
        while (value.size() > length) value.erase(value.size() - pattern.size());
        SCOPED_TRACE(std::string(key) + " of " + std::to_string(value.size()) + " bytes");
        nlohmann::json request{{"type", "capture"}, {"url", "u"}};
        request[key] = value;
        FakePlatform host;
        host.input = frame(request.dump());
        runHost(host);
        ASSERT_EQ(host.output(), kOkTrue);
        const auto written = nlohmann::json::parse(
            host.files.at("/home/user/Library/Application Support/Tarnwick/capture-request.json"));
        if (value.empty() && std::string_view(key) != "url") {
          EXPECT_FALSE(written.contains(key));
        } else {
          EXPECT_EQ(written.at(key).get<std::string>(), value);
        }
      }
    }
  }
}

}  // namespace
}  // namespace tarnwick::testing
