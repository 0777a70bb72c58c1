// The XBV reader: layout, failure rules, hostile sizes, queries and ReadGP.
#include "xbvbuilder.h"
#include "ptest/xbvfile.h"
#include "testsupport.h"

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

// XBV1 { LIST "FW  " { chunks } } with the chunks written by aBody.
template <typename F>
std::vector<uint8_t> FirmwareFile(F aBody)
{
    XbvWriter w;
    size_t root = w.Begin("XBV1");
    size_t fw = w.BeginList("FW  ");
    aBody(w);
    w.End(fw);
    w.End(root);
    return w.bytes();
}

}  // namespace

TEST(XbvFileTest, ReadsSltpBlocksAndInfoItems)
{
    auto bytes = FirmwareFile([](XbvWriter& w) {
        w.Chunk("VERF", WordsBody({1}));
        w.Chunk("SLTP", WordsBody({0x0200, 0x0400}));
        w.Chunk("FWDL", FwdlBody(0x04000010, {1, 2, 3}));
        w.Chunk("FWDL", FwdlBody(0x02000000, {9}));
        size_t info = w.BeginList("INFO");
        w.Chunk("ICMT", TextBody("comment"));
        w.Chunk("IBIS", TextBody("build 42"));
        w.End(info);
    });
    XbvFile file = Parse(bytes);
    ASSERT_EQ(file.ErrorCode(), XbvFile::kNoError);
    EXPECT_STREQ(file.ErrorMessage(), "");
    EXPECT_EQ(file.GetSltp(), 0x04000200u);
    const XbvChunkFwdl* first = file.NextFirmwareBlock(nullptr);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->Space(), 4u);
    EXPECT_EQ(first->ByteAddress(), 0x10u);
    EXPECT_EQ(first->WordCount(), 3u);
    const XbvChunkFwdl* second = file.NextFirmwareBlock(first);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->Space(), 2u);
    EXPECT_EQ(file.NextFirmwareBlock(second), nullptr);
    // Asking out of walk order still answers by position.
    EXPECT_EQ(file.NextFirmwareBlock(first), second);
    EXPECT_EQ(file.NextFirmwareBlock(first), second);
    int unrelated = 0;
    EXPECT_EQ(file.NextFirmwareBlock(reinterpret_cast<const XbvChunkFwdl*>(&unrelated)), nullptr);

    char text[32];
    ASSERT_TRUE(file.GetInfo("IBIS", text, sizeof(text)));
    EXPECT_STREQ(text, "build 42");
    EXPECT_FALSE(file.GetInfo("IBIN", text, sizeof(text)));
    EXPECT_FALSE(file.GetInfo("FWDL", text, sizeof(text)));  // not an info id
}

TEST(XbvFileTest, IdsAndListTypesIgnoreCase)
{
    XbvWriter w;
    size_t root = w.Begin("xbv1");
    size_t fw = w.Begin("list");
    w.Tag("fw  ");
    w.Chunk("sltp", WordsBody({0x0002, 0x0400}));
    w.End(fw);
    w.End(root);
    XbvFile file = Parse(w.bytes());
    ASSERT_EQ(file.ErrorCode(), XbvFile::kNoError);
    EXPECT_EQ(file.GetSltp(), 0x04000002u);
}

TEST(XbvFileTest, BrokenFilesAreCorrupt)
{
    // Empty file.
    EXPECT_EQ(Parse({}).ErrorCode(), XbvFile::kCorrupt);
    EXPECT_STREQ(Parse({}).ErrorMessage(), "fw.xbv corrupt");
    // Chunks but no "XBV1".
    {
        XbvWriter w;
        w.Chunk("ABCD", WordsBody({1}));
        EXPECT_EQ(Parse(w.bytes()).ErrorCode(), XbvFile::kCorrupt);
    }
    // "XBV1" declares more than its children fill.
    {
        XbvWriter w;
        size_t root = w.Begin("XBV1");
        w.Chunk("VERF", WordsBody({1}));
        w.End(root, 4);
        EXPECT_EQ(Parse(w.bytes()).ErrorCode(), XbvFile::kCorrupt);
    }
    // A size far beyond the end of the file.
    {
        XbvWriter w;
        w.Tag("XBV1");
        w.U32(0x7FFFFFF0u);
        w.Chunk("VERF", WordsBody({1}));
        EXPECT_EQ(Parse(w.bytes()).ErrorCode(), XbvFile::kCorrupt);
    }
    // A list too small to hold its type.
    {
        XbvWriter w;
        size_t root = w.Begin("XBV1");
        w.ChunkWithSize("LIST", 2, {'F', 'W'});
        w.End(root);
        EXPECT_EQ(Parse(w.bytes()).ErrorCode(), XbvFile::kCorrupt);
    }
    // An odd-sized word chunk.
    {
        XbvWriter w;
        size_t root = w.Begin("XBV1");
        w.Chunk("ABCD", {1, 2, 3});
        w.Chunk("VERF", WordsBody({1}));
        w.End(root);
        EXPECT_EQ(Parse(w.bytes()).ErrorCode(), XbvFile::kCorrupt);
    }
}

TEST(XbvFileTest, FirmwareBlockSizeRules)
{
    for (uint32_t size : {5u, 7u, 4u, 2u}) {
        std::vector<uint8_t> body = FwdlBody(0x04000000, {1, 2});
        body.resize(size);
        // Not the last chunk, and the last chunk of its list: both are corrupt,
        // so a truncated final block never loads half a firmware.
        auto middle = FirmwareFile([&](XbvWriter& w) {
            w.Chunk("FWDL", body);
            w.Chunk("SLTP", WordsBody({0, 0x0400}));
        });
        auto last = FirmwareFile([&](XbvWriter& w) { w.Chunk("FWDL", body); });
        EXPECT_EQ(Parse(middle).ErrorCode(), XbvFile::kCorrupt) << size;
        EXPECT_EQ(Parse(last).ErrorCode(), XbvFile::kCorrupt) << size;
    }
    XbvFile one = Parse(FirmwareFile([](XbvWriter& w) { w.Chunk("FWDL", FwdlBody(0x04000000, {0xBEEF})); }));
    ASSERT_EQ(one.ErrorCode(), XbvFile::kNoError);
    ASSERT_NE(one.NextFirmwareBlock(nullptr), nullptr);
    EXPECT_EQ(one.NextFirmwareBlock(nullptr)->WordCount(), 1u);
    EXPECT_EQ(one.NextFirmwareBlock(nullptr)->Words()[0], 0xBEEF);
}

TEST(XbvFileTest, VersionLimit)
{
    auto withVersion = [](uint16_t aVersion) {
        return FirmwareFile([&](XbvWriter& w) { w.Chunk("VERF", WordsBody({aVersion})); });
    };
    EXPECT_EQ(Parse(withVersion(255)).ErrorCode(), XbvFile::kNoError);
    XbvFile late = Parse(withVersion(0x0100));
    EXPECT_EQ(late.ErrorCode(), XbvFile::kVersionTooNew);
    EXPECT_STREQ(late.ErrorMessage(), "fw.xbv uses a version later than I know about");
}

TEST(XbvFileTest, TrailingBytesAfterTheRootAreIgnored)
{
    auto bytes = FirmwareFile([](XbvWriter& w) { w.Chunk("SLTP", WordsBody({0x10, 0x0400})); });
    bytes.insert(bytes.end(), {0xDE, 0xAD, 0xBE});
    XbvFile file = Parse(bytes);
    EXPECT_EQ(file.ErrorCode(), XbvFile::kNoError);
    EXPECT_EQ(file.GetSltp(), 0x04000010u);
}

TEST(XbvFileTest, HostileNestingAndChunkCountsDoNotExhaustTheStack)
{
    // Thousands of nested lists: refused as corrupt.
    {
        XbvWriter w;
        std::vector<size_t> marks;
        marks.push_back(w.Begin("XBV1"));
        for (int i = 0; i < 5000; ++i) marks.push_back(w.BeginList("DEEP"));
        for (auto it = marks.rbegin(); it != marks.rend(); ++it) w.End(*it);
        EXPECT_EQ(Parse(w.bytes()).ErrorCode(), XbvFile::kCorrupt);
    }
    // Two hundred thousand sibling chunks: read, then destroyed without recursion.
    {
        XbvWriter w;
        size_t root = w.Begin("XBV1");
        for (int i = 0; i < 200000; ++i) w.Chunk("NOTE", {});
        w.End(root);
        EXPECT_EQ(Parse(w.bytes()).ErrorCode(), XbvFile::kNoError);
    }
}

TEST(XbvFileTest, FileErrorsNameThePath)
{
    XbvFile missing("/nonexistent/dir/fw.xbv");
    EXPECT_EQ(missing.ErrorCode(), XbvFile::kCannotOpen);
    EXPECT_STREQ(missing.ErrorMessage(), "Couldn't open /nonexistent/dir/fw.xbv");

    fixtures::TempFile empty({});
    XbvFile corrupt(empty.c_str());
    EXPECT_EQ(corrupt.ErrorCode(), XbvFile::kCorrupt);
    EXPECT_EQ(std::string(corrupt.ErrorMessage()), empty.path() + " corrupt");

    // A long path is cut to 255 characters.
    std::string longPath = "/nonexistent/" + std::string(400, 'x');
    XbvFile longMissing(longPath.c_str());
    EXPECT_EQ(std::string(longMissing.ErrorMessage()).size(), 255u);

    // A file larger than the first read buffer is read whole.
    fixtures::PtFirmwareLayout plan;
    plan.firmwareWords = 3000;
    fixtures::TempFile big(fixtures::BuildPtFirmware(plan));
    XbvFile file(big.c_str());
    EXPECT_EQ(file.ErrorCode(), XbvFile::kNoError);
    uint16_t word = 0;
    file.ReadGP(4, 2 * 2999, 1, &word);
    EXPECT_NE(word, 0xFFFF);
}

TEST(XbvFileTest, ReadGPOverlaysBlocksAndFillsGaps)
{
    auto bytes = FirmwareFile([](XbvWriter& w) {
        w.Chunk("FWDL", FwdlBody(0x04000020, {0x11, 0x22, 0x33, 0x44}));
        w.Chunk("FWDL", FwdlBody(0x04000022, {0xAA}));  // later block wins
        w.Chunk("FWDL", FwdlBody(0x02000020, {0x99}));  // other space
    });
    XbvFile file = Parse(bytes);
    ASSERT_EQ(file.ErrorCode(), XbvFile::kNoError);
    uint16_t words[3] = {0, 0, 0};
    // One word before the block.
    EXPECT_TRUE(file.ReadGP(4, 0x1E, 3, words));
    EXPECT_EQ(words[0], 0xFFFF);
    EXPECT_EQ(words[1], 0x11);
    EXPECT_EQ(words[2], 0xAA);
    // Past the block's end.
    EXPECT_TRUE(file.ReadGP(4, 0x26, 3, words));
    EXPECT_EQ(words[0], 0x44);
    EXPECT_EQ(words[1], 0xFFFF);
    EXPECT_EQ(words[2], 0xFFFF);
    EXPECT_TRUE(file.ReadGP(2, 0x20, 1, words));
    EXPECT_EQ(words[0], 0x99);
}

TEST(XbvFileTest, GetInfoCutsToTheBufferAndSearchesDepthFirst)
{
    auto bytes = FirmwareFile([](XbvWriter& w) {
        size_t info = w.BeginList("INFO");
        w.Chunk("IBIS", {});  // carries no data: skipped
        size_t inner = w.BeginList("SUBL");
        w.Chunk("IBIS", TextBody("abcdefghijklmnopqrst"));
        w.End(inner);
        w.Chunk("IBIS", TextBody("later"));
        w.End(info);
    });
    XbvFile file = Parse(bytes);
    ASSERT_EQ(file.ErrorCode(), XbvFile::kNoError);
    char text[8];
    ASSERT_TRUE(file.GetInfo("ibis", text, sizeof(text)));
    EXPECT_STREQ(text, "abcdefg");
    EXPECT_FALSE(file.GetInfo("IBIS", text, 0));
}

TEST(XbvFileTest, ChunksWriteTheirBodiesBack)
{
    auto bytes = FirmwareFile([](XbvWriter& w) {
        w.Chunk("VERF", WordsBody({3}));
        w.Chunk("SLTP", WordsBody({0x1234, 0x0400}));
        w.Chunk("VMEQ", WordsBody({1, 2, 3, 4}));
        w.Chunk("FWDL", FwdlBody(0x04000100, {7, 8}));
    });
    XbvFile file = Parse(bytes);
    ASSERT_EQ(file.ErrorCode(), XbvFile::kNoError);
    const XbvChunk* list = file.Chunks()->FirstChild();
    ASSERT_NE(list, nullptr);
    std::vector<uint8_t> out;
    uint32_t total = 0;
    for (const XbvChunk* c = list->FirstChild(); c != nullptr; c = c->Next()) total += c->WriteBody(&out);
    EXPECT_EQ(total, 2u + 4u + 8u + 8u);
    std::vector<uint8_t> expected;
    for (auto part : {WordsBody({3}), WordsBody({0x1234, 0x0400}), WordsBody({1, 2, 3, 4}),
                      FwdlBody(0x04000100, {7, 8})})
        expected.insert(expected.end(), part.begin(), part.end());
    EXPECT_EQ(out, expected);
}

// The last chunk of a list: broken, it is dropped when the download does not
// need it, and makes the file corrupt when it does. A path that is a folder
// cannot be opened.
namespace {

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
