// The rewrite of one line of a file: every other byte kept, lines of any width
// replaced whole, the file replaced atomically and in place of the file a link names.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "boxtest.h"
#include "file_param.h"

using boxtest::read_file;
using boxtest::root;
using boxtest::write_file;

namespace {

class LineRewrite : public ::testing::Test {
  protected:
    void SetUp() override { boxtest::reset_root(); }
    const std::string path = root("/home/KELDRAN/DATA/PRODUCTION.txt");
};

TEST_F(LineRewrite, KeepsNulBytesLongLinesAndMatchesOnlyAtTheStartOfALine) {
    // A 1500-byte line whose middle holds the tag, NUL bytes, and the tag's real line last.
    std::string long_line = std::string(1000, 'a') + "#031#9" + std::string(494, 'b') + "\n";
    std::string with_nul = std::string("x\0y\0z", 5) + "\n";
    write_file(path, long_line + with_nul + "#031#0\n");
    ASSERT_STREQ(write_code_param_file("#031#", "1", path.c_str(), 10), "ok");
    EXPECT_EQ(read_file(path), long_line + with_nul + "#031#1         \n");
}

TEST_F(LineRewrite, ReplacesShorterAndLongerLinesWholeAndAppendsMissingOnes) {
    write_file(path, "#032#1\r\n#002#4" + std::string(40, ' ') + "\n#040#last");
    write_code_param_file("#032#", "2", path.c_str(), 40);
    write_code_param_file("#002#", "1", path.c_str(), 10);
    write_code_param_file("#050#", "new", path.c_str(), 10);
    EXPECT_EQ(read_file(path), "#032#2" + std::string(39, ' ') + "\n#002#1" + std::string(9, ' ') +
                                   "\n#040#last\n#050#new       \n");
}

TEST_F(LineRewrite, FollowsALinkAndKeepsTheModeWithoutLeavingATemporaryFile) {
    std::string target = root("/etc/real_board_id");
    std::string link = root("/etc/board_id");
    write_file(target, "export REV=3\n");
    chmod(target.c_str(), 0640);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(
        replace_line_in_file(link.c_str(), "export SERIAL_NUMBER=", "export SERIAL_NUMBER=\"5\"\n"),
        0);
    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_file(target), "export REV=3\nexport SERIAL_NUMBER=\"5\"\n");
    ASSERT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(boxtest::list_dir(root("/etc")),
              (std::vector<std::string>{"board_id", "real_board_id"}));
}

TEST_F(LineRewrite, MissingFileIsNeitherCreatedNorReportedAsWritten) {
    EXPECT_STREQ(write_code_param_file("#031#", "1", path.c_str(), 40), "");
    EXPECT_EQ(replace_line_in_file(path.c_str(), "#031#", "#031#1\n"), -1);
    EXPECT_FALSE(boxtest::exists(path));
    EXPECT_EQ(boxtest::list_dir(root("/home/KELDRAN/DATA")), (std::vector<std::string>{"log"}));
}

} // namespace
