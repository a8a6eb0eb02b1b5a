#include "formats/CHCSVParser.h"
#include "formats/NSArrayCHCSVAggregator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace norvane;

namespace {

CHCSVRows rowsOf(std::string_view text, std::string_view delimiter = ",")
{
    ErrorValue error;
    auto rows = arrayWithContentsOfCSVString(text, CHCSVEncoding::UTF8, &error, delimiter);
    EXPECT_TRUE(rows.has_value()) << "input: " << text << " error: " << error.description;
    return rows.value_or(CHCSVRows {});
}

ErrorValue failureOf(std::string_view text)
{
    ErrorValue error;
    auto rows = arrayWithContentsOfCSVString(text, CHCSVEncoding::UTF8, &error);
    EXPECT_FALSE(rows.has_value()) << "input: " << text;
    EXPECT_EQ(error.domain, "CHCSVErrorDomain");
    return error;
}

// Writes every event as one line of text, and can cancel or change the delimiter mid-parse.
struct Recorder : CHCSVParserDelegate {
    std::vector<std::string> events;
    std::string cancelOn; // an event after which to cancel
    std::optional<ErrorValue> delimiterRefusal;

    void record(CHCSVParser& parser, std::string event)
    {
        events.push_back(std::move(event));
        if (events.back() == cancelOn)
            parser.cancelParsing();
    }
    void parserDidStartDocument(CHCSVParser&) override { events.push_back("doc"); }
    void parserDidStartLine(CHCSVParser& parser, std::uint64_t line) override
    {
        delimiterRefusal = parser.setDelimiter(";");
        record(parser, "line " + std::to_string(line));
    }
    void parserDidReadField(CHCSVParser& parser, const std::string& field) override
    {
        record(parser, "field " + field);
    }
    void parserDidEndLine(CHCSVParser& parser, std::uint64_t line) override
    {
        record(parser, "end " + std::to_string(line));
    }
    void parserDidEndDocument(CHCSVParser&) override { events.push_back("enddoc"); }
    void parserDidFailWithError(CHCSVParser&, const ErrorValue& e) override
    {
        events.push_back("fail " + std::to_string(e.code));
    }
};

} // namespace

TEST(CHCSVParserTest, FieldsAndDelimitersAtLineEdges)
{
    EXPECT_EQ(rowsOf("a,b"), (CHCSVRows { { "a", "b" } }));
    EXPECT_EQ(rowsOf("a,"), (CHCSVRows { { "a" } }));
    EXPECT_EQ(rowsOf("a,\n"), (CHCSVRows { { "a", "" } }));
    EXPECT_EQ(rowsOf(",a"), (CHCSVRows { { "", "a" } }));
    EXPECT_EQ(rowsOf("a,,b"), (CHCSVRows { { "a", "", "b" } }));
    EXPECT_EQ(rowsOf("a,b\nc,d\n"), (CHCSVRows { { "a", "b" }, { "c", "d" } }));
    // CR LF is one line break: no extra row after the last line.
    EXPECT_EQ(rowsOf("a,b\r\nc\r\n"), (CHCSVRows { { "a", "b" }, { "c" } }));
    EXPECT_EQ(rowsOf("a#,b"), (CHCSVRows { { "a#", "b" } }));
    EXPECT_TRUE(rowsOf("").empty());
}

TEST(CHCSVParserTest, QuotedFieldsKeepDelimitersLineBreaksAndQuotes)
{
    EXPECT_EQ(rowsOf("\"x,y\",z"), (CHCSVRows { { "x,y", "z" } }));
    EXPECT_EQ(rowsOf("\"line1\nline2\",z\nnext"), (CHCSVRows { { "line1\nline2", "z" }, { "next" } }));
    EXPECT_EQ(rowsOf("\"say \"\"hi\"\"\",x"), (CHCSVRows { { "say \"hi\"", "x" } }));
    EXPECT_EQ(rowsOf("\"  padded \t\",  plain  "), (CHCSVRows { { "padded", "plain" } }));
    // Ideographic and no-break spaces are white space too.
    EXPECT_EQ(rowsOf("\u3000名前\u3000,\u00A0x"), (CHCSVRows { { "名前", "x" } }));
    // An opening quote that never closes must not break the field trimming.
    EXPECT_EQ(rowsOf("\""), (CHCSVRows { { "" } }));
    EXPECT_EQ(rowsOf("a,\""), (CHCSVRows { { "a", "" } }));
}

TEST(CHCSVParserTest, BlankLinesAndLeadingLineBreak)
{
    EXPECT_EQ(rowsOf("a\n\nb"), (CHCSVRows { { "a" }, { "b" } }));
    EXPECT_EQ(rowsOf("\n"), (CHCSVRows { { "" } }));
    EXPECT_EQ(rowsOf("\nx,y"), (CHCSVRows { { "" }, { "x", "y" } }));
}

TEST(CHCSVParserTest, CommentLines)
{
    EXPECT_EQ(rowsOf("#a,b,c\nx,y"), (CHCSVRows { { "x", "y" } }));
    EXPECT_EQ(rowsOf("x\n#skip me\ny\n"), (CHCSVRows { { "x" }, { "y" } }));
    const ErrorValue error = failureOf("#say \"x\" here");
    EXPECT_EQ(error.code, 2);
}

TEST(CHCSVParserTest, ClosingQuoteFollowedByTextFailsNamingLineAndField)
{
    ErrorValue error = failureOf("ok,1\n\"a\"b,c");
    EXPECT_EQ(error.code, 2);
    EXPECT_EQ(error.description, "Invalid CSV format on line #2 immediately after \"\"a\"\"");
    EXPECT_EQ(failureOf("\"a\" ,b").code, 2);
}

TEST(CHCSVParserTest, BackslashEscapes)
{
    EXPECT_EQ(rowsOf("a\\,b,c"), (CHCSVRows { { "a,b", "c" } }));
    EXPECT_EQ(rowsOf("a\\\\b"), (CHCSVRows { { "a\\b" } }));
    EXPECT_EQ(rowsOf("\"q\\\"x\""), (CHCSVRows { { "q\"x" } }));
    EXPECT_EQ(rowsOf("\\\"start,z"), (CHCSVRows { { "\"start", "z" } }));
    EXPECT_EQ(rowsOf("end\\"), (CHCSVRows { { "end" } }));
}

TEST(CHCSVParserTest, DelimiterRules)
{
    EXPECT_EQ(rowsOf("a;b,c", ";"), (CHCSVRows { { "a", "b,c" } }));
    EXPECT_EQ(rowsOf("a\tb", "\t"), (CHCSVRows { { "a", "b" } }));
    // A delimiter of several code points is matched as a whole character.
    EXPECT_EQ(rowsOf("xe\u0301ye", "e\u0301"), (CHCSVRows { { "x", "ye" } }));

    auto parser = CHCSVParser::fromString("a");
    ASSERT_TRUE(parser);
    for (std::string bad : { "", ";;", "\n", "\r\n", "\u2028", "#", "\"", "\\" }) {
        auto refusal = parser->setDelimiter(bad);
        ASSERT_TRUE(refusal.has_value()) << bad;
        EXPECT_EQ(refusal->description, bad + " cannot be used as a delimiter");
    }
    EXPECT_EQ(parser->delimiter(), ",");

    ErrorValue error;
    EXPECT_FALSE(arrayWithContentsOfCSVString("a", CHCSVEncoding::UTF8, &error, "#"));
    EXPECT_EQ(error.description, "# cannot be used as a delimiter");
}

TEST(CHCSVParserTest, EventsAndDelimiterLockedWhileParsing)
{
    auto parser = CHCSVParser::fromString("a,b\n#c\nd;e");
    Recorder recorder;
    parser->setParserDelegate(&recorder);
    EXPECT_TRUE(parser->parse());
    EXPECT_EQ(recorder.events,
        (std::vector<std::string> {
            "doc", "line 1", "field a", "field b", "end 1", "line 2", "field d;e", "end 2", "enddoc" }));
    ASSERT_TRUE(recorder.delimiterRefusal.has_value());
    EXPECT_EQ(recorder.delimiterRefusal->description, "You cannot set a delimiter after parsing has started");
    EXPECT_FALSE(parser->parse()); // parses once
    EXPECT_TRUE(parser->setDelimiter(";").has_value());
}

TEST(CHCSVParserTest, CancelStopsWithCodeThree)
{
    // Nothing is reported after the cancel, not even the end of the line whose last field it was.
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        { "field b", { "doc", "line 1", "field a", "field b", "fail 3" } },
        { "field c", { "doc", "line 1", "field a", "field b", "field c", "fail 3" } },
        { "line 2", { "doc", "line 1", "field a", "field b", "field c", "end 1", "line 2", "fail 3" } },
    };
    for (const auto& [cancelOn, expected] : cases) {
        auto parser = CHCSVParser::fromString("a,b,c\nd,e\n");
        Recorder recorder;
        recorder.cancelOn = cancelOn;
        parser->setParserDelegate(&recorder);
        EXPECT_FALSE(parser->parse());
        EXPECT_EQ(recorder.events, expected);
        ASSERT_TRUE(parser->error());
        EXPECT_EQ(parser->error()->code, 3);
        EXPECT_EQ(parser->error()->description, "");
    }
}

TEST(CHCSVParserTest, SearchResultRows)
{
    const std::vector<std::string> columns
        = { "1", "2024-05-01 10:00:00", "見積書, 第2版.xlsx", "123456", "file", "u001", "山田 太郎",
              "2024-04-01 09:00:00", "/FOLDER/営業部/見積書, 第2版.xlsx", "u002", "佐藤 花子", "1714550400", "uk-1",
              "0", "", "u003", "鈴木 一郎", "2024-05-02", "move", "50", "file", "/FOLDER/a", "/FOLDER/b" };
    std::string row;
    for (const std::string& column : columns)
        row += (row.empty() ? "\"" : ",\"") + column + "\"";
    const CHCSVRows rows = rowsOf(row + "\r\n" + row + "\r\n");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], columns);
    EXPECT_EQ(rows[1], columns);
}

TEST(CHCSVParserTest, ManyRowsStayInOrder)
{
    // Enough text that consumed input is dropped several times while parsing.
    std::string text;
    for (int i = 0; i < 20000; ++i)
        text += std::to_string(i) + ",\"名前 " + std::to_string(i) + "\"\n";
    const CHCSVRows rows = rowsOf(text);
    ASSERT_EQ(rows.size(), 20000u);
    for (std::size_t i = 0; i < rows.size(); i += 997)
        EXPECT_EQ(rows[i], (CHCSVRow { std::to_string(i), "名前 " + std::to_string(i) }));
    EXPECT_EQ(rows.back(), (CHCSVRow { "19999", "名前 19999" }));
}
