#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "PortMdlPaths.h"
#include "platform/CatalogLookup.h"
#include "portmdl/PortMdl.h"

namespace {

constexpr int16_t kVol = -1;
constexpr char kGuard = 0x5A;

// Lays a fsSpec out byte by byte as the host does: int16 volume at 0, int32 directory at 2, name
// length byte at 6 and its characters from 7.
void PutSpec(char* buffer, int16_t vRefNum, int32_t parID, const std::string& name)
{
    std::memcpy(buffer, &vRefNum, 2);
    std::memcpy(buffer + 2, &parID, 4);
    buffer[6] = static_cast<char>(name.size());
    std::memcpy(buffer + 7, name.data(), name.size());
}

// A host buffer well past the path limit, filled with a guard byte, handed over unaligned.
struct HostBuffer {
    std::vector<char> storage = std::vector<char>(1025, kGuard);
    char* data() { return storage.data() + 1; }
    bool UntouchedFrom(std::size_t offset) const
    {
        for (std::size_t i = offset + 1; i < storage.size(); ++i) {
            if (storage[i] != kGuard) {
                return false;
            }
        }
        return true;
    }
};

std::string WithoutName(int16_t vol, int32_t parID, const std::string& name)
{
    HostBuffer host;
    PutSpec(host.data(), vol, parID, name);
    EXPECT_EQ(PM_ConvertFSSpecWithoutName(host.data()), host.data());
    EXPECT_TRUE(host.UntouchedFrom(kMaxPathLength + 1));
    return host.data();
}

std::string WithName(int16_t vol, int32_t parID, const std::string& name)
{
    HostBuffer host;
    PutSpec(host.data(), vol, parID, name);
    EXPECT_EQ(PM_ConvertFSSpecWithName(host.data()), host.data());
    EXPECT_TRUE(host.UntouchedFrom(kMaxNamedPathLength + 1));
    return host.data();
}

class Paths : public ::testing::Test {
  protected:
    void SetUp() override
    {
        table.Add(kVol, kRootDirID, "HD", 1);
        table.Add(kVol, 100, "Users", kRootDirID);
        table.Add(kVol, 101, "kim", 100);
        table.Add(kVol, 300, "Lost", 301); // 301 is missing
        table.Add(kVol, 500, "A", 501);    // a cycle of two
        table.Add(kVol, 501, "B", 500);
        table.Add(kVol, 600, "", 600); // its own parent, adding only ':' per pass
        // Four levels of 62-character names below the root: exactly 255 characters.
        int32_t parent = kRootDirID;
        for (int32_t id = 700; id < 704; ++id) {
            table.Add(kVol, id, std::string(62, static_cast<char>('a' + id - 700)), parent);
            parent = id;
        }
        table.Add(kVol, 704, std::string(63, 'e'), 703); // one more passes the limit
        table.Add(2, kRootDirID, "Other", 1);
        SetCatalogLookup(&table);
    }
    void TearDown() override { SetCatalogLookup(nullptr); }

    CatalogTable table;
};

} // namespace

TEST(PathsLayout, SpecFieldsSitWhereTheHostPutsThem)
{
    char bytes[70] = {};
    PutSpec(bytes, -7, 0x12345678, "Logs");
    FSSpec fsSpec;
    std::memcpy(&fsSpec, bytes, sizeof fsSpec);
    // Copied out: the test macros take references, which a packed field cannot bind safely.
    const int16_t vRefNum = fsSpec.vRefNum;
    const int32_t parID = fsSpec.parID;
    EXPECT_EQ(vRefNum, -7);
    EXPECT_EQ(parID, 0x12345678);
    EXPECT_EQ(fsSpec.name[0], 4);
    EXPECT_EQ(std::memcmp(fsSpec.name + 1, "Logs", 4), 0);
}

TEST_F(Paths, ConvertsBothForms)
{
    struct Case {
        int16_t vol;
        int32_t parID;
        const char* name;
        const char* without;
        const char* with;
    };
    const Case cases[] = {
        {kVol, kRootDirID, "Data", "HD:", "HD:Data:"},
        {kVol, 101, "Logs", "HD:Users:kim:", "HD:Users:kim:Logs:"}, // a folder three levels down
        {2, kRootDirID, "Data", "Other:", "Other:Data:"},           // the volume counts
        {kVol, 999, "Data", "", "Data:"},                           // first lookup fails
        {2, 101, "Data", "", "Data:"},                              // directory of another volume
        {kVol, 300, "Data", "Lost:", "Lost:Data:"},                 // fails higher up
        {kVol, kRootDirID, "", "HD:", "HD::"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.with));
        EXPECT_EQ(WithoutName(c.vol, c.parID, c.name), c.without);
        EXPECT_EQ(WithName(c.vol, c.parID, c.name), c.with);
    }
}

TEST_F(Paths, InternalConversionReportsLookupFailure)
{
    struct Case {
        int32_t parID;
        int result;
        const char* path;
    };
    const Case cases[] = {
        {101, 0, "HD:Users:kim:"},
        {999, -1, ""},
        {300, -1, "Lost:"},
    };
    for (const auto& c : cases) {
        FSSpec fsSpec = {kVol, c.parID, {0}};
        char out[kMaxPathLength + 1];
        EXPECT_EQ(ConvertFSSpecToFullPath(out, &fsSpec), c.result) << c.parID;
        EXPECT_STREQ(out, c.path);
    }
}

TEST_F(Paths, PathKeepsTo255Characters)
{
    const std::string full = "HD:" + std::string(62, 'a') + ":" + std::string(62, 'b') + ":" +
                             std::string(62, 'c') + ":" + std::string(62, 'd') + ":";
    ASSERT_EQ(full.size(), 255u);

    FSSpec fsSpec = {kVol, 703, {0}};
    std::vector<char> out(1024, kGuard);
    EXPECT_EQ(ConvertFSSpecToFullPath(out.data(), &fsSpec), 0);
    EXPECT_EQ(std::string(out.data()), full);

    // One level deeper: the volume no longer fits; the lower part is kept, nothing past 256 bytes.
    fsSpec.parID = 704;
    out.assign(1024, kGuard);
    EXPECT_EQ(ConvertFSSpecToFullPath(out.data(), &fsSpec), -1);
    EXPECT_EQ(std::string(out.data()), full.substr(3 + 63) + std::string(63, 'e') + ":");
    for (std::size_t i = kMaxPathLength + 1; i < out.size(); ++i) {
        ASSERT_EQ(out[i], kGuard) << i;
    }

    EXPECT_EQ(WithoutName(kVol, 703, "x"), full);
    // The limit is the directories'; the name and ':' follow a full-length path whole.
    EXPECT_EQ(WithName(kVol, 703, ""), full + ":");
    const std::string name(63, 'n');
    HostBuffer host;
    PutSpec(host.data(), kVol, 703, name);
    PM_ConvertFSSpecWithName(host.data());
    EXPECT_EQ(std::string(host.data()), full + name + ":");
    EXPECT_EQ(std::strlen(host.data()), kMaxNamedPathLength);
    EXPECT_TRUE(host.UntouchedFrom(kMaxNamedPathLength + 1)); // within the documented 320 bytes
}

TEST_F(Paths, LoopingCatalogEndsAtTheLimit)
{
    for (int32_t parID : {500, 600}) {
        FSSpec fsSpec = {kVol, parID, {0}};
        char out[kMaxPathLength + 1];
        EXPECT_EQ(ConvertFSSpecToFullPath(out, &fsSpec), -1) << parID;
        EXPECT_LE(std::strlen(out), kMaxPathLength);
        EXPECT_LE(WithName(kVol, parID, "n").size(), kMaxPathLength + 2);
    }
    EXPECT_EQ(WithoutName(kVol, 600, "n"), std::string(255, ':'));
}

TEST_F(Paths, NameLengthAboveTheFieldIsCut)
{
    HostBuffer host;
    PutSpec(host.data(), kVol, kRootDirID, std::string(63, 'x'));
    host.data()[6] = static_cast<char>(200);
    std::memset(host.data() + 70, 'Y', 300); // bytes after the fsSpec must not be taken as name
    PM_ConvertFSSpecWithName(host.data());
    EXPECT_EQ(std::string(host.data()), "HD:" + std::string(63, 'x') + ":");
}

TEST_F(Paths, CatalogNamesAreCutToTheField)
{
    table.Add(kVol, 800, std::string(100, 'z'), kRootDirID);
    EXPECT_EQ(WithoutName(kVol, 800, "n"), "HD:" + std::string(63, 'z') + ":");
}

TEST(PathsNoCatalog, EveryLookupFails)
{
    unsigned char name[64];
    int32_t parent = 0;
    EXPECT_EQ(CatalogGetDirInfo(kVol, kRootDirID, name, parent), kCatalogNoVolume);
    EXPECT_EQ(WithoutName(kVol, kRootDirID, "Data"), "");
    EXPECT_EQ(WithName(kVol, kRootDirID, "Data"), "Data:");
}

TEST(PathsNoCatalog, GarbageBufferGivesDefinedText)
{
    HostBuffer host;
    std::memset(host.data(), 0xFF, 70);
    PM_ConvertFSSpecWithName(host.data());
    EXPECT_EQ(std::string(host.data()), std::string(63, '\xFF') + ":");
    EXPECT_EQ(PM_ConvertFSSpecWithoutName(nullptr), nullptr);
    EXPECT_EQ(PM_ConvertFSSpecWithName(nullptr), nullptr);
}

TEST(PathsExchange, SwapsTheFirstCountBytes)
{
    struct Case {
        int count;
        const char* a;
        const char* b;
    };
    const Case cases[] = {
        {8, "BBBBBBBB", "AAAAAAAA"},
        {3, "BBBAAAAA", "AAABBBBB"},
        {0, "AAAAAAAA", "BBBBBBBB"},
        {-5, "AAAAAAAA", "BBBBBBBB"},
    };
    for (const auto& c : cases) {
        char a[8], b[8];
        std::memset(a, 'A', 8);
        std::memset(b, 'B', 8);
        PM_ExchangePath(a, b, c.count);
        EXPECT_EQ(std::string(a, 8), c.a) << c.count;
        EXPECT_EQ(std::string(b, 8), c.b) << c.count;
    }
}
