// Reading the parent's real user id from a /proc status file, whatever the
// file holds.
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "core_process.h"
#include "privilege_drop.h"

namespace {

class PrivilegeParentUserId : public ::testing::Test {
protected:
    uint32_t UserIdIn(const std::string& content)
    {
        const std::string path = dir_ / "status";
        dvrtest::WriteFile(path, content);
        return ParentUserId(path.c_str());
    }

    dvrtest::TempDir dir_;
};

TEST_F(PrivilegeParentUserId, TakesTheFirstNumberOfTheFirstUidLine)
{
    EXPECT_EQ(ParentUserId("/proc/self/status"), ::getuid());
    EXPECT_EQ(UserIdIn("Name:\tvigild\nUmask:\t0022\nState:\tS (sleeping)\nTgid:\t812\n"
                       "Uid:\t1000\t1001\t1002\t1003\nGid:\t100\t100\t100\t100\n"),
              1000u);
    EXPECT_EQ(UserIdIn("Uid:5\n"), 5u);
    EXPECT_EQ(UserIdIn("Uid: 12abc\n"), 12u);
    EXPECT_EQ(UserIdIn("Uid:\t4294967295"), 4294967295u);  // no final line break
    EXPECT_EQ(UserIdIn("Uid: 7\nUid: 8\n"), 7u);
    // Lines that do not qualify are passed over, not taken as the end.
    EXPECT_EQ(UserIdIn("Uid: 4294967296\nUid:\n5\nUid: -3\nUid: 9\n"), 9u);
}

TEST_F(PrivilegeParentUserId, IsRootWithoutAQualifyingLine)
{
    EXPECT_EQ(ParentUserId((dir_ / "missing").c_str()), 0u);
    EXPECT_EQ(UserIdIn(""), 0u);
    EXPECT_EQ(UserIdIn("Name:\tvigild\nGid:\t100\n"), 0u);
    EXPECT_EQ(UserIdIn(" Uid: 5\nuid: 6\nGid: 3 Uid: 4\nUid: x7\n"), 0u);
    EXPECT_EQ(UserIdIn(std::string("Uid:\0 5\n", 8)), 0u);
}

TEST_F(PrivilegeParentUserId, SurvivesGarbageAndHugeFiles)
{
    std::mt19937 random(20240611);
    std::string garbage(1 << 20, '\0');
    for (auto& byte : garbage) {
        byte = static_cast<char>(random());
    }
    EXPECT_EQ(UserIdIn(garbage), 0u);
    EXPECT_EQ(UserIdIn(garbage + "\nUid:\t31\n"), 31u);

    // One 16 MiB line that mentions the label, then the real line.
    std::string huge = "Gid: " + std::string(16 << 20, 'x') + " Uid: 5\nUid:\t42\t42\t42\t42\n";
    EXPECT_EQ(UserIdIn(huge), 42u);

    // Blanks and digits across every buffer boundary a reader might use.
    for (std::size_t blanks = 4080; blanks < 4100; ++blanks) {
        ASSERT_EQ(UserIdIn("Uid:" + std::string(blanks, ' ') + "123456\n"), 123456u) << blanks;
    }
}

}  // namespace
