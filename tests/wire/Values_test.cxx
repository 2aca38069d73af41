#include <soa/common/BadLexicalCast.hxx>
#include <soa/common/DateTime.hxx>
#include <soa/common/LexicalCast.hxx>
#include <soa/common/QmStrX.hxx>
#include <soa/common/Utf8String.hxx>

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>

namespace {

using Quillomark::Soa::Common::DateTime;
using Quillomark::Soa::Common::Exceptions::BadLexicalCast;
using Quillomark::Soa::Common::Xml::lexical_cast;
using Quillomark::Soa::Common::Xml::QmStrX;
using Quillomark::Soa::Common::Xml::Utf8String;

template <typename T>
std::string rejected(const std::string& text) {
    try {
        lexical_cast<T>(text);
    } catch (const BadLexicalCast& e) {
        return e.getMessage();
    }
    ADD_FAILURE() << "accepted \"" << text << "\"";
    return "";
}

TEST(LexicalCast, Int) {
    EXPECT_EQ(lexical_cast<int>(std::string("42")), 42);
    EXPECT_EQ(lexical_cast<int>(std::string("-2147483648")), std::numeric_limits<int>::min());
    EXPECT_EQ(lexical_cast<int>(std::string("")), 0);
    EXPECT_NE(rejected<int>("12x").find("\"12x\""), std::string::npos);
    for (const char* bad : {" 1", "1 ", "+1", "2147483648", "1.5", "0x10", "-"}) {
        rejected<int>(bad);
    }
    EXPECT_EQ(lexical_cast<std::string>(-17), "-17");
    EXPECT_EQ(lexical_cast<std::string>(std::numeric_limits<int>::max()), "2147483647");
}

TEST(LexicalCast, FloatingPointRoundTripsAndIgnoresLocale) {
    for (double value : {0.1, -1234.5678, 1e300, 5e-324, 0.0, 1.0 / 3.0}) {
        EXPECT_EQ(lexical_cast<double>(lexical_cast<std::string>(value)), value);
    }
    for (float value : {0.1f, 3.4e38f, -2.5f, 1.0f / 3.0f}) {
        EXPECT_EQ(lexical_cast<float>(lexical_cast<std::string>(value)), value);
    }
    EXPECT_EQ(lexical_cast<std::string>(2.5), "2.5");
    EXPECT_EQ(lexical_cast<double>(std::string("1.5e3")), 1500.0);
    EXPECT_EQ(lexical_cast<double>(std::string("")), 0.0);
    EXPECT_TRUE(std::isinf(lexical_cast<double>(lexical_cast<std::string>(HUGE_VAL))));
    EXPECT_TRUE(std::isnan(lexical_cast<float>(lexical_cast<std::string>(std::nanf("")))));
    for (const char* bad : {"1,5", "abc", "1.5 ", "1e999"}) rejected<double>(bad);
    rejected<float>("1e39");

    // A decimal comma locale changes nothing.
    const char* previous = std::setlocale(LC_ALL, nullptr);
    std::string saved = previous != nullptr ? previous : "C";
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr) {
        EXPECT_EQ(lexical_cast<std::string>(2.5), "2.5");
        EXPECT_EQ(lexical_cast<double>(std::string("2.5")), 2.5);
    }
    std::setlocale(LC_ALL, saved.c_str());
}

TEST(LexicalCast, Bool) {
    EXPECT_TRUE(lexical_cast<bool>(std::string("true")));
    EXPECT_TRUE(lexical_cast<bool>(std::string("1")));
    EXPECT_FALSE(lexical_cast<bool>(std::string("false")));
    EXPECT_FALSE(lexical_cast<bool>(std::string("0")));
    EXPECT_FALSE(lexical_cast<bool>(std::string("")));
    for (const char* bad : {"TRUE", "yes", "2", " true"}) rejected<bool>(bad);
    EXPECT_EQ(lexical_cast<std::string>(true), "true");
    EXPECT_EQ(lexical_cast<std::string>(false), "false");
}

TEST(LexicalCast, DateTime) {
    DateTime date = lexical_cast<DateTime>(std::string("2008-03-12T14:20:05"));
    EXPECT_EQ(date, DateTime(2008, 3, 12, 14, 20, 5));
    EXPECT_EQ(lexical_cast<std::string>(date), "2008-03-12T14:20:05");
    EXPECT_EQ(lexical_cast<DateTime>(std::string("2008-03-12T14:20:05.123+01:00")), date);
    EXPECT_EQ(lexical_cast<DateTime>(std::string("2008-03-12T14:20:05Z")), date);
    EXPECT_EQ(lexical_cast<DateTime>(std::string("2008-03-12T14:20:05-11:30")), date);
    EXPECT_EQ(lexical_cast<DateTime>(std::string("2000-02-29T00:00:00")),
              DateTime(2000, 2, 29, 0, 0, 0));
    EXPECT_EQ(lexical_cast<DateTime>(std::string("")), DateTime());
    EXPECT_EQ(lexical_cast<DateTime>(lexical_cast<std::string>(DateTime())), DateTime());
    for (const char* bad :
         {"2008-03-12", "2008-03-12 14:20:05", "2008-13-01T00:00:00", "2008-00-10T00:00:00",
          "1900-02-29T00:00:00", "2008-04-31T00:00:00", "2008-03-12T24:00:00",
          "2008-03-12T14:60:00", "2008-03-12T14:20:05.", "2008-03-12T14:20:05+1",
          "2008-3-12T14:20:05", "2008-03-12T14:20:05Zjunk", "08-03-12T14:20:05"}) {
        EXPECT_NE(rejected<DateTime>(bad).find(bad), std::string::npos);
    }
}

// A date is written only when its text is one the reader takes back; the
// "no date" value is written as the wire has it.
TEST(LexicalCast, ADateTimeIsWrittenOnlyAsTextThatReadsBack) {
    for (const DateTime& date :
         {DateTime(), DateTime(0, 0, 0, 12, 30, 0), DateTime(2024, 2, 29, 23, 59, 60),
          DateTime(0, 1, 1, 0, 0, 0), DateTime(9999, 12, 31, 0, 0, 0)}) {
        EXPECT_EQ(lexical_cast<DateTime>(lexical_cast<std::string>(date)), date);
    }
    EXPECT_EQ(lexical_cast<std::string>(DateTime()), "0000-00-00T00:00:00");
    EXPECT_EQ(lexical_cast<std::string>(DateTime(0, 1, 1, 0, 0, 0)), "0000-01-01T00:00:00");

    const int low = std::numeric_limits<int>::min(), high = std::numeric_limits<int>::max();
    for (const DateTime& date :
         {DateTime(low, low, low, low, low, low), DateTime(high, high, high, high, high, high),
          DateTime(-1, 1, 1, 0, 0, 0), DateTime(10000, 1, 1, 0, 0, 0),
          DateTime(2023, 2, 29, 0, 0, 0), DateTime(1900, 2, 29, 0, 0, 0),
          DateTime(2023, 13, 1, 0, 0, 0), DateTime(2023, 4, 31, 0, 0, 0),
          DateTime(2023, 1, 0, 0, 0, 0), DateTime(2023, 0, 5, 0, 0, 0), DateTime(0, 0, 1, 0, 0, 0),
          DateTime(2023, 1, 1, -1, 0, 0), DateTime(2023, 1, 1, 24, 0, 0),
          DateTime(2023, 1, 1, 0, 60, 0), DateTime(2023, 1, 1, 0, -5, 0),
          DateTime(2023, 1, 1, 0, 0, 61), DateTime(0, 0, 0, 0, 0, -1)}) {
        try {
            const std::string text = lexical_cast<std::string>(date);
            ADD_FAILURE() << "wrote \"" << text << "\" for " << date.year() << " " << date.month()
                          << " " << date.day() << " " << date.hour();
        } catch (const BadLexicalCast& e) {
            EXPECT_EQ(e.getMessage().rfind("Cannot convert DateTime(", 0), 0u) << e.getMessage();
        }
    }
    try {
        lexical_cast<std::string>(DateTime(2023, 2, 29, 7, 8, 9));
    } catch (const BadLexicalCast& e) {
        EXPECT_EQ(e.getMessage(), "Cannot convert DateTime(2023, 2, 29, 7, 8, 9) to string");
    }
}

TEST(DateTime, ComparesFieldByFieldFromTheYear) {
    DateTime a(2008, 3, 12, 14, 20, 5), same(2008, 3, 12, 14, 20, 5);
    EXPECT_TRUE(a == same);
    EXPECT_FALSE(a != same);
    EXPECT_TRUE(a >= same);
    EXPECT_TRUE(a <= same);
    DateTime laterSecond(2008, 3, 12, 14, 20, 6), earlierYear(2007, 12, 31, 23, 59, 59);
    EXPECT_TRUE(a < laterSecond);
    EXPECT_TRUE(laterSecond > a);
    EXPECT_TRUE(earlierYear < a);
    EXPECT_FALSE(earlierYear >= a);
    EXPECT_TRUE(a != laterSecond);
    DateTime copy;
    copy = a;
    EXPECT_EQ(copy.year() * 100 + copy.month(), 200803);
    EXPECT_EQ(DateTime().second(), 0);
}

TEST(Utf8String, PassesUtf8ThroughAndTranscodesLatin1) {
    std::string utf8 = "plain \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
    EXPECT_EQ(Utf8String::encode(utf8), utf8);
    EXPECT_EQ(Utf8String::encode(""), "");
    EXPECT_EQ(Utf8String::encode("caf\xE9"), "caf\xC3\xA9");
    // Valid parts stay, stray bytes become their Latin-1 characters.
    EXPECT_EQ(Utf8String::encode("\xC3\xA9 \xFF"), "\xC3\xA9 \xC3\xBF");
    // Overlong forms, surrogates and truncated sequences are not UTF-8.
    EXPECT_EQ(Utf8String::encode("\xC0\xAF"), "\xC3\x80\xC2\xAF");
    EXPECT_EQ(Utf8String::encode("\xED\xA0\x80"), "\xC3\xAD\xC2\xA0\xC2\x80");
    EXPECT_EQ(Utf8String::encode("\xE2\x82"), "\xC3\xA2\xC2\x82");
    EXPECT_EQ(Utf8String::encode(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(QmStrX, TranscodesToUtf8WhateverTheLocale) {
    const XMLCh text[] = {u'a', 0xE9, 0x20AC, 0xD83D, 0xDE00, 0xD800, u'z', 0};
    QmStrX converted(text);
    EXPECT_EQ(static_cast<const std::string&>(converted),
              "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBDz");
    EXPECT_STREQ(converted.localForm(), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBDz");
}

}  // namespace
