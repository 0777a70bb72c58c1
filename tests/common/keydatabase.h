// The key database the CS cache tests share: build 5 with keys of every
// shape the checks care about; builds 7 and 9, the same, for version
// mismatches.
#ifndef NVT_TESTS_COMMON_KEYDATABASE_H
#define NVT_TESTS_COMMON_KEYDATABASE_H

#include "cscache/cskeysinfo.h"
#include "keydbgen.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <string>

namespace cstest {

enum : uint16_t {
    kIdNamed = 0x123,  // PSKEY_A, 2 words, label "My label"
    kIdPair = 1,       // KEY_ONE, 2 words
    kIdTrim = 2,       // TRIM, 1 word, range 0x10-0x20
    kIdNoLabel = 3,    // NOLABEL, 1 word
    kIdBig = 4,        // BIG, 12 words
    kIdTriple = 5,     // TRIPLE, 3 words, range 0-1 that is never checked
    kIdAddress = 6     // BDADDR, 4 words
};

inline keydbgen::Database TestDatabase()
{
    using keydbgen::Key;
    keydbgen::Database db;
    for (uint16_t build : {5, 7, 9}) {
        keydbgen::Build b = keydbgen::Build::Make(build);
        b.keys.push_back(Key::Make("PSKEY_A", kIdNamed, 1, 2).Defaults({1, 2}).Text("My label", "named key"));
        b.keys.push_back(Key::Make("KEY_ONE", kIdPair, 3, 2).Defaults({0xAAAA, 0xBBBB}).Text("Pair", "pair"));
        b.keys.push_back(Key::Make("TRIM", kIdTrim, 5, 1).Range(0x10, 0x20).Defaults({0x18}).Text("Trim", "trim"));
        b.keys.push_back(Key::Make("NOLABEL", kIdNoLabel, 6, 1).Defaults({7}));
        b.keys.back().description = "a key without a label";
        b.keys.push_back(Key::Make("BIG", kIdBig, 7, 12).Defaults(std::vector<uint16_t>(12, 0x0C0C)));
        b.keys.push_back(Key::Make("TRIPLE", kIdTriple, 19, 3).Range(0, 1).Defaults({0, 1, 0}));
        b.keys.push_back(Key::Make("BDADDR", kIdAddress, 22, 4).Defaults({0, 0x5B00, 2, 0x5B}));
        db.builds.push_back(b);
    }
    return db;
}

// Number of CS data words build 5 lays out (version word included).
constexpr uint16_t kCsWords = 26;

inline std::string WriteTestDatabase(const std::string& aDir)
{
    const std::string path = aDir + "/cskey_db.xml";
    keydbgen::WriteFile(path, keydbgen::ToXml(TestDatabase()));
    return path;
}

// A key database loaded from TestDatabase with build 5 selected.
class KeysFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::ResetErrors();
        const std::string xml = keydbgen::ToXml(TestDatabase());
        ASSERT_EQ(kCsOk, keys.LoadXMLFromBuffer(xml.data(), xml.size(), "test.xml"));
        ASSERT_EQ(kCsOk, keys.SetInterestedVersion(5));
    }
    std::string Path(const std::string& aName) const { return scratch.File(aName); }

    testsupport::ScratchDir scratch;
    CCsKeysInfo keys{TheMsgHnd::Instance().SharedHandler()};
};

}  // namespace cstest

#endif
