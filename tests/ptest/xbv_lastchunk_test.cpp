// The last chunk of a list: broken, it is dropped when the download does not
// need it, and makes the file corrupt when it does. A path that is a folder
// cannot be opened.
#include "ptest/xbvfile.h"
#include "testsupport.h"
#include "xbvbuilder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using fixtures::FwdlBody;
using fixtures::TextBody;
using fixtures::WordsBody;
using fixtures::XbvWriter;

namespace {

XbvFile Parse(const std::vector<uint8_t>& aBytes)
{
    return XbvFile(aBytes.data(), aBytes.size(), "fw.xbv");
}

// XBV1 { LIST "FW  " { FWDL, SLTP, LIST "INFO" { IBIS, aInfoLast }, aFwLast } }
std::vector<uint8_t> File(const std::string& aInfoLastId, const std::vector<uint8_t>& aInfoLast,
                          const std::string& aFwLastId, const std::vector<uint8_t>& aFwLast)
{
    XbvWriter w;
    size_t root = w.Begin("XBV1");
    size_t fw = w.BeginList("FW  ");
    w.Chunk("FWDL", FwdlBody(0x04000010, {1, 2, 3}));
    w.Chunk("SLTP", WordsBody({0x0200, 0x0400}));
    size_t info = w.BeginList("INFO");
    w.Chunk("IBIS", TextBody("build 42"));
    if (!aInfoLastId.empty()) w.Chunk(aInfoLastId, aInfoLast);
    w.End(info);
    if (!aFwLastId.empty()) w.Chunk(aFwLastId, aFwLast);
    w.End(fw);
    w.End(root);
    return w.bytes();
}

const std::vector<uint8_t> kOdd = {1, 2, 3};  // an odd byte count: no words

}  // namespace

TEST(XbvLastChunkTest, ABrokenLastChunkTheDownloadDoesNotNeedIsDropped)
{
    struct Case {
        const char* what;
        std::string infoId;
        std::string fwId;
    } cases[] = {
        {"info item", "ICMT", ""},
        {"unknown chunk in the firmware list", "", "ABCD"},
        {"version", "", "VERF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        XbvFile file = Parse(File(c.infoId, c.infoId.empty() ? std::vector<uint8_t>() : kOdd, c.fwId,
                                  c.fwId.empty() ? std::vector<uint8_t>() : std::vector<uint8_t>{1}));
        ASSERT_EQ(XbvFile::kNoError, file.ErrorCode()) << file.ErrorMessage();
        ASSERT_NE(nullptr, file.NextFirmwareBlock(nullptr));
        EXPECT_EQ(3u, file.NextFirmwareBlock(nullptr)->WordCount());
        EXPECT_EQ(0x04000200u, file.GetSltp());
        char build[16] = {};
        EXPECT_TRUE(file.GetInfo("IBIS", build, sizeof build));
        EXPECT_STREQ("build 42", build);
    }
}

TEST(XbvLastChunkTest, ABrokenLastChunkTheDownloadNeedsMakesTheFileCorrupt)
{
    EXPECT_EQ(XbvFile::kCorrupt, Parse(File("", {}, "FWDL", {0, 0, 0, 4, 1})).ErrorCode());
    EXPECT_EQ(XbvFile::kCorrupt, Parse(File("", {}, "SLTP", {0, 2})).ErrorCode());
    // The firmware list itself, last in the root, too short for its type.
    XbvWriter w;
    size_t root = w.Begin("XBV1");
    w.Chunk("VERF", WordsBody({1}));
    w.Chunk("LIST", {'F', 'W'});
    w.End(root);
    XbvFile file = Parse(w.bytes());
    EXPECT_EQ(XbvFile::kCorrupt, file.ErrorCode());
    EXPECT_STREQ("fw.xbv corrupt", file.ErrorMessage());
}

TEST(XbvLastChunkTest, AFolderCannotBeOpened)
{
    testsupport::ScratchDir dir("xbv_folder");
    const std::string path = dir.File("firmware.xbv");
    std::filesystem::create_directories(path);
    XbvFile file(path.c_str());
    EXPECT_EQ(XbvFile::kCannotOpen, file.ErrorCode());
    EXPECT_EQ("Couldn't open " + path, std::string(file.ErrorMessage()));
}
