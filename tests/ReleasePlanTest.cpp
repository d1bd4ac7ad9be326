#include "support/UpdateFixture.h"
#include "system/SafeWrite.h"

using nlohmann::json;

// What the plan decides for b.bin from what the disk holds before any file moves.
struct PlanCase {
    const char* name;
    std::function<void(class ReleasePlanTest&)> arrange;
    FileAction action;
    std::uint64_t bytesToCome;
    const char* copiedFrom; // the first copy source's name as listed, for Copy
};

class ReleasePlanTest : public UpdateFixture, public testing::WithParamInterface<PlanCase> {
public:
    using UpdateFixture::local;
    using UpdateFixture::simulatorFolder;
    using UpdateFixture::tempFolder;
    static const std::string& newBytes() {
        static const std::string bytes(4096, 'n');
        return bytes;
    }
    static std::string md5Of(const std::string& bytes) {
        return manifestEntry("", "x", bytes)["MD5Hash"].get<std::string>();
    }
    void put(const std::string& folder, const std::string& name, const std::string& bytes) {
        writeFile(local(folder + name), bytes);
    }
    std::vector<json> entries = {manifestEntry("", "a.bin", "other"),
                                 manifestEntry("", "b.bin", newBytes())};
    LocalSources sources;
};

TEST_P(ReleasePlanTest, EachFileIsPlannedFromTheDisk) {
    GetParam().arrange(*this);
    const ReleasePlan plan = planRelease(manifestOf(json(entries)), sources, folders());
    ASSERT_EQ(plan.files.size(), entries.size());
    const PlannedFile& b = plan.files[1];
    EXPECT_EQ(b.action, GetParam().action);
    EXPECT_EQ(b.bytesToCome, GetParam().bytesToCome);
    if (GetParam().action == FileAction::Copy) {
        ASSERT_FALSE(b.copySources.empty());
        EXPECT_EQ(b.copySources[0].listedPath, GetParam().copiedFrom);
    }
    // The entry before is nowhere on the disk: it comes whole, and the plan's total counts both.
    EXPECT_EQ(plan.files[0].action, FileAction::Download);
    EXPECT_EQ(plan.bytesToCome(), plan.files[0].bytesToCome + GetParam().bytesToCome);
}

using T = ReleasePlanTest;

INSTANTIATE_TEST_SUITE_P(
    OnTheDisk, ReleasePlanTest,
    testing::Values(
        PlanCase{"nothing", [](ReleasePlanTest&) {}, FileAction::Download, 4096, ""},
        PlanCase{"atItsPlace",
                 [](ReleasePlanTest& t) { t.put(t.simulatorFolder(), "b.bin", T::newBytes()); },
                 FileAction::UpToDate, 0, ""},
        PlanCase{"downloadedBefore",
                 [](ReleasePlanTest& t) { t.put(t.tempFolder(), "b.bin", T::newBytes()); },
                 FileAction::Kept, 0, ""},
        PlanCase{"renamed",
                 [](ReleasePlanTest& t) {
                     t.put(t.simulatorFolder(), "Old\\b.bin", T::newBytes());
                     t.sources.removalList =
                         std::vector<ListedFile>{{"Old\\b.bin", T::md5Of(T::newBytes())}};
                 },
                 FileAction::Copy, 0, "Old\\b.bin"},
        PlanCase{"renamedButChanged",
                 [](ReleasePlanTest& t) {
                     t.put(t.simulatorFolder(), "Old\\b.bin", "changed by the user");
                     t.sources.removalList =
                         std::vector<ListedFile>{{"Old\\b.bin", T::md5Of(T::newBytes())}};
                 },
                 FileAction::Download, 4096, ""},
        PlanCase{
            "sameBytesAsAnEarlierEntry",
            [](ReleasePlanTest& t) { t.entries[0] = manifestEntry("", "0.bin", T::newBytes()); },
            FileAction::Copy, 0, "0.bin"},
        PlanCase{"patched",
                 [](ReleasePlanTest& t) {
                     t.put(t.simulatorFolder(), "b.bin", std::string(4096, 'o'));
                     t.sources.patches = {
                         ListedPatch{"b.bin", T::md5Of(std::string(4096, 'o')), 300, "00"}};
                 },
                 FileAction::Patch, 300, ""},
        PlanCase{"partlyDownloaded",
                 [](ReleasePlanTest& t) {
                     writeFile(T::local(partialDataPath(t.tempFolder(), T::md5Of(T::newBytes()))),
                               std::string(1000, 'n'));
                 },
                 FileAction::Download, 3096, ""}),
    [](const testing::TestParamInfo<PlanCase>& info) { return std::string(info.param.name); });

// What is at a name listed twice may be the earlier entry's by then: it is looked at in its turn.
class ReleasePlanNamesTest : public UpdateFixture {};

TEST_F(ReleasePlanNamesTest, ANameListedTwiceIsPlannedAtItsTurn) {
    const ReleasePlan plan =
        planRelease(manifestOf(json::array(
                        {manifestEntry("", "a.bin", "one"), manifestEntry("", "A.bin", "two")})),
                    {}, folders());
    EXPECT_FALSE(plan.files[0].planAtItsTurn);
    EXPECT_TRUE(plan.files[1].planAtItsTurn);
    EXPECT_EQ(plan.bytesToCome(), 2 * 1024u); // sizes are listed in whole KiB
}

// A big aircraft's release, planned in a moment rather than the square of its files: each file
// with an earlier one's digest comes as a copy of that one, every other file whole.
TEST_F(ReleasePlanNamesTest, InABigReleaseAFileWithAnEarlierOnesDigestIsCopiedFromIt) {
    json entries = json::array();
    for (int i = 0; i < 20000; ++i) {
        const std::string bytes = "bytes " + std::to_string(i % 1000 == 999 ? 0 : i);
        entries.push_back(manifestEntry("Folder", "Folder\\file" + std::to_string(i), bytes));
    }
    const ReleasePlan plan = planRelease(manifestOf(entries), {}, folders());
    ASSERT_EQ(plan.files.size(), 20000u);
    for (std::size_t k = 0; k < plan.files.size(); ++k) {
        const bool copy = k % 1000 == 999;
        ASSERT_EQ(plan.files[k].action, copy ? FileAction::Copy : FileAction::Download) << k;
        if (copy) {
            ASSERT_EQ(plan.files[k].copySources.size(), 1u + k / 1000) << k;
            EXPECT_EQ(plan.files[k].copySources.front().listedPath, "Folder\\file0");
        }
    }
}
