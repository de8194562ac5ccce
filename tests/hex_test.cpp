// Hex text: formatting a section and parsing the operator's text back.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "Harness.h"
#include "job/HexText.h"
#include "protocol/Commands.h"

namespace qmb::test {
namespace {

std::string Format(const Bytes& bytes) {
    char text[kHexFormatBufferSize];
    FormatHexText(bytes.data(), bytes.size(), text, sizeof text);
    return text;
}

// Parses into exactly destSize heap bytes, so AddressSanitizer catches any
// store past the end.
int Parse(const std::string& text, Bytes* out = nullptr, size_t destSize = kSectionBufferSize) {
    auto dest = std::make_unique<uint8_t[]>(destSize);
    int n = ParseHexDigits(text.data(), text.size(), dest.get(), destSize);
    if (out && n > 0) out->assign(dest.get(), dest.get() + std::min<size_t>(n, destSize));
    return n;
}

TEST(HexText, SeventeenBytesMakeAFullLineThenOnePairAndItsSpace) {
    Bytes bytes(17);
    for (int i = 0; i < 17; ++i)
        bytes[i] = static_cast<uint8_t>(i * 16 + 10);
    EXPECT_EQ(Format(bytes),
              "0A 1A 2A 3A 4A 5A 6A 7A 8A 9A AA BA CA DA EA FA\r\n"
              "0A ");
}

TEST(HexText, LengthsThatFillTheLastLineEndInCrLf) {
    EXPECT_EQ(Format(Bytes(16, 0xFF)).substr(45), "FF\r\n");
    EXPECT_EQ(Format(Bytes(32, 0)).size(), 2u * 49);
    EXPECT_EQ(Format(Bytes(255, 0)).size(), 780u);
}

TEST(HexText, FormatThenParseRoundTripsEveryLength) {
    std::mt19937 random(12345);
    for (size_t n = 1; n <= 255; ++n) {
        Bytes bytes(n);
        for (auto& b : bytes)
            b = static_cast<uint8_t>(random());
        Bytes back;
        ASSERT_EQ(Parse(Format(bytes), &back), static_cast<int>(n));
        ASSERT_EQ(back, bytes) << n;
    }
}

TEST(HexText, SeparatorsAreOptionalAndWhiteSpaceIsSkipped) {
    Bytes out;
    EXPECT_EQ(Parse("0102", &out), 2);
    EXPECT_EQ(out, (Bytes{0x01, 0x02}));
    EXPECT_EQ(Parse("0A\r\n\t1B", &out), 2);
    EXPECT_EQ(out, (Bytes{0x0A, 0x1B}));
    EXPECT_EQ(Parse("A\r\nB", &out), 1) << "a line break may split a byte";
    EXPECT_EQ(out, (Bytes{0xAB}));
    EXPECT_EQ(Parse(std::string("\x01"
                                "F\x7"
                                "F",
                                4),
                    &out),
              1);
}

TEST(HexText, EmptyOrBlankTextGivesZeroBytes) {
    EXPECT_EQ(Parse(""), 0);
    EXPECT_EQ(Parse(" \r\n\t "), 0);
}

TEST(HexText, OddDigitCountGivesMinusOne) {
    EXPECT_EQ(Parse("12 3"), -1);
    EXPECT_EQ(Parse("A"), -1);
}

TEST(HexText, EveryCharacterAboveSpaceThatIsNotADigitGivesMinusOne) {
    const std::string valid = "0123456789ABCDEF";
    for (int c = 0x21; c <= 0xFF; ++c) {
        std::string text = "00 ";
        text += static_cast<char>(c);
        text += "0";
        int want = valid.find(static_cast<char>(c)) != std::string::npos ? 2 : -1;
        EXPECT_EQ(Parse(text), want) << "character 0x" << std::hex << c;
    }
}

TEST(HexText, LowerCaseDigitIsBadText) {
    EXPECT_EQ(Parse("0a"), -1);
}

TEST(HexText, ParseKeepsTheOtherNibbleOfAByte) {
    uint8_t dest[2] = {0x5A, 0xA5};
    // An odd count still stores its digits before -1 is returned.
    EXPECT_EQ(ParseHexDigits("1", 1, dest, 2), -1);
    EXPECT_EQ(dest[0], 0x1A);
}

TEST(HexText, TextBeyondTheBufferIsCountedButNeverStored) {
    std::string text;
    for (int i = 0; i < 3000; ++i)
        text += "7E ";
    Bytes out;
    EXPECT_EQ(Parse(text, &out), 3000);
    EXPECT_EQ(out, Bytes(kSectionBufferSize, 0x7E));
    EXPECT_EQ(Parse(text + "Z"), -1);
    EXPECT_EQ(Parse(text + "1"), -1);
    EXPECT_EQ(Parse(std::string(5000, 'F'), nullptr, 16), 2500);
}

class HexPanelTest : public CoreTest {};

TEST_F(HexPanelTest, FormatHexDumpSetsTheWholeTextAtOnce) {
    const uint8_t bytes[8] = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
    FormatHexDump(bytes, 8);
    EXPECT_EQ(panel.Text(IDC_HEX), "A0 A1 A2 A3 A4 A5 A6 A7 ");
    EXPECT_EQ(panel.Ops().size(), 1u);
}

TEST_F(HexPanelTest, ParseHexTextFetchesAtMost16383Characters) {
    std::string text(16383, ' ');
    text += "0";  // the 16384th character is never fetched
    panel.Type(IDC_HEX, text);
    EXPECT_EQ(ParseHexText(SectionBuffer), 0);
    panel.Type(IDC_HEX, "DE AD");
    EXPECT_EQ(ParseHexText(SectionBuffer), 2);
    EXPECT_EQ(SectionBuffer[0], 0xDE);
    EXPECT_EQ(SectionBuffer[1], 0xAD);
}

}  // namespace
}  // namespace qmb::test
